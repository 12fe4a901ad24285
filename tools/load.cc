// load: appends the records of JSON lines on standard input to a registry
// file, all or none. Every line is held to what REGISTER accepts before a
// byte is written, and the file's lock (the one a running server holds) is
// kept from before the first read of the file until the new file, written
// beside it, has taken its place.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/platform.h"
#include "registry/indice.h"
#include "text/email.h"
#include "text/sha0.h"
#include "tools/records.h"
#include "tools/replace.h"
#include "util/calendario.h"

using namespace registro_campo;

namespace {

// One accepted line, in Latin-1, with the sizes REGISTER allows.
struct NewRecord {
    std::string email, name, info, note;
    uint8_t ip[4] = {0, 0, 0, 0};
    uint32_t date = 0;
    uint8_t state = 0;
    uint8_t digest[kSenhaLen];
};

// The record of an accepted line, laid out by the registry's own encoder.
// The texts fit their fields already and hold no NUL.
void encode(const NewRecord& r, uint8_t* rec) {
    TFicha f;
    r.email.copy(f.email, sizeof f.email - 1);
    r.name.copy(f.nome, sizeof f.nome - 1);
    memcpy(&f.ip, r.ip, 4);
    f.data = r.date;
    memcpy(f.senha, r.digest, kSenhaLen);
    f.estado = r.state;
    r.info.copy(f.info, sizeof f.info - 1);
    r.note.copy(f.logon, sizeof f.logon - 1);
    f.cCodifica(rec);
}

uint32_t minuteNow() {
    PlatformLocalTime t = platformLocalTime();
    return uint32_t(dateToMinutesWide(t.mday, t.mon, t.year) + t.hour * 60 + t.min);
}

// A text member in Latin-1 of at most `most` bytes, without control
// bytes: the server sends every text field on in its replies, where a CR
// or LF would end a line, or the reply, early.
bool textOf(const nlohmann::json& v, const char* key, size_t most, std::string& out, std::string& why) {
    if (!v.is_string()) {
        why = std::string("\"") + key + "\" must be a string";
        return false;
    }
    std::string bad;
    if (!utf8ToLatin1(v.get_ref<const std::string&>(), out, bad)) {
        why = std::string("\"") + key + "\" " + bad;
        return false;
    }
    size_t control = findControlByte(out);
    if (control != std::string::npos) {
        char u[16];
        snprintf(u, sizeof u, "U+%04X", unsigned(uint8_t(out[control])));
        why = std::string("\"") + key + "\" holds " + u + ", a control character";
        return false;
    }
    if (out.size() > most) {
        why = std::string("\"") + key + "\" is " + std::to_string(out.size()) + " bytes in Latin-1, more than " +
              std::to_string(most);
        return false;
    }
    return true;
}

bool hexDigest(const std::string& text, uint8_t out[kSenhaLen]) {
    if (text.size() != 2 * kSenhaLen)
        return false;
    for (int i = 0; i < 2 * kSenhaLen; i++) {
        char c = text[size_t(i)];
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (v < 0)
            return false;
        out[i / 2] = uint8_t(i % 2 == 0 ? v << 4 : out[i / 2] | v);
    }
    return true;
}

// The parser's message without its exception tag, and safe to print.
std::string parseReason(const char* what) {
    std::string s = what;
    size_t tag = s.find("] ");
    if (tag != std::string::npos)
        s.erase(0, tag + 2);
    // Each line is parsed alone, so its "line 1" would only mislead.
    if (s.compare(0, 23, "parse error at line 1, ") == 0)
        s.erase(0, 23);
    std::string q = quoteBytes(s);
    return q.substr(1, q.size() - 2);
}

// What one line has given so far, key by key.
struct LineRead {
    explicit LineRead(NewRecord& record) : r(record) {}
    NewRecord& r;
    bool haveEmail = false, haveName = false, haveDigest = false, havePassword = false, haveDate = false;
    std::string password;
};

// "email", "name" and "note".
bool readText(const std::string& key, const nlohmann::json& v, LineRead& l, std::string& why) {
    if (key == "email") {
        if (!textOf(v, "email", kEmailLen - 1, l.r.email, why))
            return false;
        if (!cEmailValido(l.r.email.c_str())) {
            why = "email " + quoteBytes(l.r.email) + " breaks the address rule";
            return false;
        }
        l.haveEmail = true;
    } else if (key == "name") {
        if (!textOf(v, "name", kNomeLen - 1, l.r.name, why))
            return false;
        if (l.r.name.size() < 5) {
            why = "\"name\" has fewer than 5 characters";
            return false;
        }
        l.haveName = true;
    } else {
        return textOf(v, "note", kLogonLen - 1, l.r.note, why);
    }
    return true;
}

// "info": its lines, joined by line feeds as the record keeps them.
bool readInfo(const nlohmann::json& v, LineRead& l, std::string& why) {
    if (!v.is_array()) {
        why = "\"info\" must be an array of strings, one per line";
        return false;
    }
    std::string& info = l.r.info;
    info.clear();
    for (size_t i = 0; i < v.size(); i++) {
        std::string one;
        if (v[i].is_string() && v[i].get_ref<const std::string&>().find('\n') != std::string::npos) {
            why = "an \"info\" line holds a line feed; give each line as an element of its own";
            return false;
        }
        if (!textOf(v[i], "info", kInfoLen - 1, one, why))
            return false;
        info += (i > 0 ? "\n" : "") + one;
    }
    if (info.size() > size_t(kInfoLen - 1)) {
        why = "\"info\" comes to " + std::to_string(info.size()) + " bytes joined, more than " +
              std::to_string(kInfoLen - 1);
        return false;
    }
    return true;
}

// "address", "state" and "date": where and when the user was last seen.
bool readPresence(const std::string& key, const nlohmann::json& v, LineRead& l, std::string& why) {
    if (key == "address") {
        if (!v.is_string() || !parseAddress(v.get_ref<const std::string&>(), l.r.ip)) {
            why = "\"address\" must be a dotted IPv4 address such as \"192.0.2.7\"";
            return false;
        }
    } else if (key == "state") {
        bool inRange = v.is_number_unsigned() ? v.get<uint64_t>() <= 2
                                              : v.is_number_integer() && v.get<int64_t>() >= 0 && v.get<int64_t>() <= 2;
        if (!inRange) {
            why = "\"state\" must be 0, 1 or 2";
            return false;
        }
        l.r.state = uint8_t(v.get<int64_t>());
    } else {
        if (!v.is_string() || !parseDate(v.get_ref<const std::string&>(), l.r.date)) {
            why = "\"date\" must be a local time YYYY-MM-DDTHH:MM from 1601 on";
            return false;
        }
        l.haveDate = true;
    }
    return true;
}

// "digest" and "password": the stored digest, given or computed later.
bool readSecret(const std::string& key, const nlohmann::json& v, LineRead& l, std::string& why) {
    if (key == "digest") {
        if (!v.is_string() || !hexDigest(v.get_ref<const std::string&>(), l.r.digest)) {
            why = "\"digest\" must be 40 hexadecimal digits";
            return false;
        }
        l.haveDigest = true;
        return true;
    }
    if (!textOf(v, "password", SIZE_MAX, l.password, why))
        return false;
    // A client's password ends at the first blank of its command line, so
    // no client could ever give this one. A ':' is carried.
    if (l.password.find(' ') != std::string::npos) {
        why = "\"password\" holds a blank, where a password on a command line ends";
        return false;
    }
    l.havePassword = true;
    return true;
}

bool readLine(const std::string& line, uint32_t now, NewRecord& r, std::string& why) {
    // The library keeps the last of two equal keys, so the first value
    // would pass unchecked and the reader would not see which was meant:
    // a key twice in one object refuses the line. One set of keys per
    // object being read, innermost last.
    std::vector<std::set<std::string>> open;
    std::string repeated;
    auto watch = [&open, &repeated](int, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        if (event == nlohmann::json::parse_event_t::object_start) {
            open.emplace_back();
        } else if (event == nlohmann::json::parse_event_t::object_end) {
            if (!open.empty())
                open.pop_back();
        } else if (event == nlohmann::json::parse_event_t::key && !open.empty()) {
            const std::string& key = parsed.get_ref<const std::string&>();
            if (!open.back().insert(key).second && repeated.empty())
                repeated = key;
        }
        return true;
    };
    nlohmann::json j = nlohmann::json::parse(line, watch);
    if (!repeated.empty()) {
        why = "key " + quoteBytes(repeated) + " appears twice in one object";
        return false;
    }
    if (!j.is_object()) {
        why = "not a JSON object";
        return false;
    }
    LineRead l(r);
    for (const auto& item : j.items()) {
        const std::string& key = item.key();
        const nlohmann::json& v = item.value();
        bool ok;
        if (key == "slot")
            ok = true;  // the record goes after the file's last one, whatever it said
        else if (key == "email" || key == "name" || key == "note")
            ok = readText(key, v, l, why);
        else if (key == "info")
            ok = readInfo(v, l, why);
        else if (key == "address" || key == "state" || key == "date")
            ok = readPresence(key, v, l, why);
        else if (key == "digest" || key == "password")
            ok = readSecret(key, v, l, why);
        else {
            why = "unknown key " + quoteBytes(key);
            ok = false;
        }
        if (!ok)
            return false;
    }
    if (!l.haveEmail || !l.haveName) {
        why = l.haveEmail ? "\"name\" is missing" : "\"email\" is missing";
        return false;
    }
    if (l.haveDigest && l.havePassword) {
        why = "give \"digest\" or \"password\", not both";
        return false;
    }
    if (!l.haveDigest)
        digestText(l.password.c_str(), r.digest);  // no password: the digest of the empty text, as REGISTER stores
    if (!l.haveDate)
        r.date = now;
    return true;
}

bool parseLine(const std::string& line, uint32_t now, NewRecord& r, std::string& why) {
    // The server core is built without exceptions; the tool uses them only
    // here, around the JSON library, and lets none of them out.
    try {
        return readLine(line, now, r, why);
    } catch (const nlohmann::json::parse_error& e) {
        why = "not valid JSON: " + parseReason(e.what());
    } catch (const nlohmann::json::exception& e) {
        // A number beyond what the library holds (1e400), or a wrong type.
        why = "cannot read the JSON: " + parseReason(e.what());
    }
    return false;
}

// The longest input line taken. A record's texts, even written as JSON
// escapes with a digest, come to a few KiB; a line beyond this is no record
// and is refused as soon as its first byte over the bound arrives, so a
// huge line costs neither memory nor the time to read it all.
constexpr size_t kMaxLine = 64 * 1024;

// Standard input in blocks, cut into lines of at most kMaxLine bytes.
class LineReader {
public:
    enum Outcome { kLine, kEnd, kTooLong, kFailed };
    // The next line without its line feed; a last line without one counts.
    Outcome next(std::string& line) {
        line.clear();
        for (;;) {
            if (at_ == have_) {
                long n = platformRead(0, buffer_, sizeof buffer_);
                if (n < 0)
                    return kFailed;
                if (n == 0)
                    return line.empty() ? kEnd : kLine;
                at_ = 0;
                have_ = size_t(n);
            }
            const char* start = buffer_ + at_;
            const char* end = static_cast<const char*>(memchr(start, '\n', have_ - at_));
            size_t take = end != nullptr ? size_t(end - start) : have_ - at_;
            if (line.size() + take > kMaxLine)
                return kTooLong;
            line.append(start, take);
            at_ += take;
            if (end != nullptr) {
                at_++;
                return kLine;
            }
        }
    }

private:
    char buffer_[64 * 1024];
    size_t at_ = 0, have_ = 0;
};

// The old file's bytes and then the new records into a new file, which
// then takes the old one's place. False, with the one line said, when the
// file is left as it was.
//
// Written aside and renamed rather than appended in place: a load killed
// while appending would leave part of its records and a piece of one in
// the registry, where only the next run of some program could cut them
// back, while a server started before that would serve them. The cost is
// room for a second copy of the file while the load runs.
bool replaceWith(int fd, const std::string& file, const std::string& path, int64_t oldLength,
                 const std::vector<NewRecord>& added) {
    Replacement r;
    r.path = path;
    r.oldFd = fd;
    std::string why;
    LockOutcome begun = beginReplacement(r, why);
    if (begun == LockOutcome::kBusy) {
        complain(file + " is locked by another process (a running server, or another load); nothing changed");
        return false;
    }
    if (begun != LockOutcome::kLocked) {
        complain(file + ": " + why + "; nothing changed");
        return false;
    }
    constexpr int64_t kPerBlock = kRegistrosPorBloco;
    std::vector<uint8_t> block(size_t(kPerBlock * kRecord));
    bool done = true;
    for (int64_t at = 0; at < oldLength && done; at += kPerBlock * kRecord) {
        long want = long(std::min(kPerBlock * kRecord, oldLength - at));
        if (platformReadAt(fd, block.data(), size_t(want), at) != want) {
            why = "reading it failed (" + std::string(platformErrorText()) + ")";
            done = false;
        } else if (platformWriteAt(r.newFd, block.data(), size_t(want), at) != want) {
            why = "writing failed (" + std::string(platformErrorText()) + ")";
            done = false;
        }
    }
    for (size_t first = 0; first < added.size() && done; first += size_t(kPerBlock)) {
        size_t n = std::min(size_t(kPerBlock), added.size() - first);
        for (size_t i = 0; i < n; i++)
            encode(added[first + i], block.data() + i * kRecord);
        long want = long(n * kRecord);
        if (platformWriteAt(r.newFd, block.data(), size_t(want), oldLength + int64_t(first) * kRecord) != want) {
            why = "writing failed (" + std::string(platformErrorText()) + ")";
            done = false;
        }
    }
    if (done)
        done = finishReplacement(r, why);
    if (!done) {
        abandonReplacement(r);
        complain(file + ": " + why + "; nothing changed");
        return false;
    }
    endReplacement(r);
    return true;
}

// The load proper, once the file (fd; -1 when there is none yet) is open
// and locked. Nothing is written unless every line passed.
int appendAll(int fd, const std::string& file, const std::string& path, int64_t records) {
    std::unordered_map<std::string, int64_t> existing;
    int64_t copyOf, failedSlot;
    bool whole = cPercorreRegistros(fd, records, copyOf, failedSlot, [&existing](int64_t slot, const uint8_t* rec) {
        char email[kEmailLen];
        cLeTexto(rec, kEmail, kEmailLen, email);
        existing.emplace(foldedKey(email), slot);
        return true;
    });
    if (!whole) {
        complain(file + ": cannot read slot " + std::to_string(failedSlot) + "; nothing changed");
        return 1;
    }
    if (copyOf >= 0) {
        // Appending would leave the copy in the middle, where the server
        // would load it as a second user.
        complain(file + ": its last record repeats slot " + std::to_string(copyOf) +
                 " (a removal cut short); start the server once to finish it; nothing changed");
        return 1;
    }

    std::vector<NewRecord> added;
    std::unordered_map<std::string, int> lineOf;
    uint32_t now = minuteNow();
    std::string line;
    LineReader input;
    for (int n = 1;; n++) {
        LineReader::Outcome got = input.next(line);
        if (got == LineReader::kEnd)
            break;
        if (got == LineReader::kFailed) {
            complain(std::string("reading standard input failed (") + platformErrorText() + "); nothing changed");
            return 1;
        }
        if (got == LineReader::kTooLong) {
            complain("line " + std::to_string(n) + ": longer than " + std::to_string(kMaxLine) +
                     " bytes, which no record comes near; nothing changed");
            return 1;
        }
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        NewRecord r;
        std::string why;
        if (!parseLine(line, now, r, why)) {
            complain("line " + std::to_string(n) + ": " + why + "; nothing changed");
            return 1;
        }
        std::string key = foldedKey(r.email);
        auto old = existing.find(key);
        if (old != existing.end()) {
            complain("line " + std::to_string(n) + ": email " + quoteBytes(r.email) + " is already in " + file +
                     " (slot " + std::to_string(old->second) + "); nothing changed");
            return 1;
        }
        auto earlier = lineOf.emplace(key, n);
        if (!earlier.second) {
            complain("line " + std::to_string(n) + ": email " + quoteBytes(r.email) + " repeats line " +
                     std::to_string(earlier.first->second) + "; nothing changed");
            return 1;
        }
        added.push_back(std::move(r));
    }
    if (records + int64_t(added.size()) > kMaxRegistros) {
        complain(file + ": " + std::to_string(records + int64_t(added.size())) + " records would be more than the " +
                 std::to_string(kMaxRegistros) + " the server loads; nothing changed");
        return 1;
    }

    // Nothing to add to a file that exists: it stays as it is.
    if ((fd < 0 || !added.empty()) && !replaceWith(fd, file, path, records * kRecord, added))
        return 1;
    printf("%s: %zu record%s added, %lld in all\n", file.c_str(), added.size(), added.size() == 1 ? "" : "s",
           static_cast<long long>(records + int64_t(added.size())));
    return 0;
}

}  // namespace

int runLoad(const std::string& file) {
    // A symbolic link keeps leading to the registry: the new file goes
    // beside the one it points at.
    std::string path = file;
    if (char* real = realpath(file.c_str(), nullptr)) {
        path = real;
        free(real);
    }
    int fd = -1;
    std::string why;
    switch (openLocked(path, fd, why)) {
        case LockOutcome::kLocked:
            break;
        case LockOutcome::kMissing:
            // Made at the end, whole, by the replacement.
            return appendAll(-1, file, path, 0);
        case LockOutcome::kBusy:
            complain(file + " is locked by another process (a running server, or another load); nothing changed");
            return 1;
        case LockOutcome::kFailed:
            complain(file + ": " + why);
            return 1;
    }
    int64_t size = platformFileSize(fd);
    int status;
    if (size < 0) {
        complain(file + ": " + platformErrorText());
        status = 1;
    } else if (size % kRecord != 0) {
        // Appending after a piece would put every new record off its slot.
        complain(file + ": its length, " + std::to_string(size) +
                 " bytes, is not a whole number of records (see quelta-registry check); nothing changed");
        status = 1;
    } else {
        status = appendAll(fd, file, path, size / kRecord);
    }
    // Only now does the old file's lock end: after the rename, when there
    // was one, so no server came to use the old file meanwhile.
    platformCloseFile(fd);
    return status;
}
