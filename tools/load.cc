// load: appends the records of JSON lines on standard input to a registry
// file, all or none. Every line is held to what REGISTER accepts before a
// byte is written, and the file's lock (the one a running server holds) is
// kept from before the first read of the file until the last write.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/platform.h"
#include "registry/indice.h"
#include "text/sha0.h"
#include "tools/records.h"
#include "util/calendario.h"

using namespace registro_campo;

namespace {

// One accepted line, in Latin-1, with the sizes REGISTER allows.
struct NewRecord {
    std::string email, name, info, note;
    uint8_t ip[4] = {0, 0, 0, 0};
    uint32_t date = 0;
    uint8_t state = 0;
    uint8_t digest[20];
};

void encode(const NewRecord& r, uint8_t* rec) {
    memset(rec, 0, kRecord);
    memcpy(rec + kEmail, r.email.data(), r.email.size());
    memcpy(rec + kNome, r.name.data(), r.name.size());
    memcpy(rec + kIp, r.ip, 4);
    for (int i = 0; i < 4; i++)
        rec[kData + i] = uint8_t(r.date >> (8 * i));
    memcpy(rec + kSenha, r.digest, 20);
    rec[kEstado] = r.state;
    memcpy(rec + kInfo, r.info.data(), r.info.size());
    memcpy(rec + kLogon, r.note.data(), r.note.size());
}

uint32_t minuteNow() {
    PlatformLocalTime t = platformLocalTime();
    return uint32_t(dateToMinutesWide(t.mday, t.mon, t.year) + t.hour * 60 + t.min);
}

// A text member in Latin-1 of at most `most` bytes.
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
    if (out.size() > most) {
        why = std::string("\"") + key + "\" is " + std::to_string(out.size()) + " bytes in Latin-1, more than " +
              std::to_string(most);
        return false;
    }
    return true;
}

bool hexDigest(const std::string& text, uint8_t out[20]) {
    if (text.size() != 40)
        return false;
    for (int i = 0; i < 40; i++) {
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

bool parseLine(const std::string& line, uint32_t now, NewRecord& r, std::string& why) {
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(line);
    } catch (const nlohmann::json::parse_error& e) {
        why = "not valid JSON: " + parseReason(e.what());
        return false;
    }
    if (!j.is_object()) {
        why = "not a JSON object";
        return false;
    }
    bool haveEmail = false, haveName = false, haveDigest = false, havePassword = false, haveDate = false;
    std::string password;
    for (const auto& item : j.items()) {
        const std::string& key = item.key();
        const nlohmann::json& v = item.value();
        if (key == "slot") {
            continue;  // the record goes after the file's last one, whatever it said
        } else if (key == "email") {
            if (!textOf(v, "email", kEmailLen - 1, r.email, why))
                return false;
            if (!cEmailValido(r.email.c_str())) {
                why = "email " + quoteBytes(r.email) + " breaks the address rule";
                return false;
            }
            haveEmail = true;
        } else if (key == "name") {
            if (!textOf(v, "name", kNomeLen - 1, r.name, why))
                return false;
            if (r.name.size() < 5) {
                why = "\"name\" has fewer than 5 characters";
                return false;
            }
            haveName = true;
        } else if (key == "address") {
            if (!v.is_string() || !parseAddress(v.get_ref<const std::string&>(), r.ip)) {
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
            r.state = uint8_t(v.get<int64_t>());
        } else if (key == "date") {
            if (!v.is_string() || !parseDate(v.get_ref<const std::string&>(), r.date)) {
                why = "\"date\" must be a local time YYYY-MM-DDTHH:MM from 1601 on";
                return false;
            }
            haveDate = true;
        } else if (key == "note") {
            if (!textOf(v, "note", kLogonLen - 1, r.note, why))
                return false;
        } else if (key == "info") {
            if (!v.is_array()) {
                why = "\"info\" must be an array of strings, one per line";
                return false;
            }
            r.info.clear();
            for (size_t i = 0; i < v.size(); i++) {
                std::string one;
                if (!textOf(v[i], "info", kInfoLen - 1, one, why))
                    return false;
                if (one.find('\n') != std::string::npos) {
                    why = "an \"info\" line holds a line feed; give each line as an element of its own";
                    return false;
                }
                r.info += (i > 0 ? "\n" : "") + one;
            }
            if (r.info.size() > size_t(kInfoLen - 1)) {
                why = "\"info\" comes to " + std::to_string(r.info.size()) + " bytes joined, more than " +
                      std::to_string(kInfoLen - 1);
                return false;
            }
        } else if (key == "digest") {
            if (!v.is_string() || !hexDigest(v.get_ref<const std::string&>(), r.digest)) {
                why = "\"digest\" must be 40 hexadecimal digits";
                return false;
            }
            haveDigest = true;
        } else if (key == "password") {
            if (!textOf(v, "password", SIZE_MAX, password, why))
                return false;
            havePassword = true;
        } else {
            why = "unknown key " + quoteBytes(key);
            return false;
        }
    }
    if (!haveEmail || !haveName) {
        why = haveEmail ? "\"name\" is missing" : "\"email\" is missing";
        return false;
    }
    if (haveDigest && havePassword) {
        why = "give \"digest\" or \"password\", not both";
        return false;
    }
    if (!haveDigest)
        digestText(password.c_str(), r.digest);  // no password: the digest of the empty text, as REGISTER stores
    if (!haveDate)
        r.date = now;
    return true;
}

// The load proper, once fd is open and locked. existingKeys comes from the
// file; nothing is written unless every line passed.
int appendAll(int fd, const std::string& file, int64_t records) {
    std::unordered_map<std::string, int64_t> existing;
    int64_t copyOf, failedSlot;
    bool whole = scanRecords(fd, records, copyOf, failedSlot, [&existing](int64_t slot, const uint8_t* rec) {
        existing.emplace(foldedKey(fieldText(rec, kEmail, kEmailLen)), slot);
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
    for (int n = 1; std::getline(std::cin, line); n++) {
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
    if (std::cin.bad()) {
        complain("reading standard input failed; nothing changed");
        return 1;
    }
    if (records + int64_t(added.size()) > kMaxRegistros) {
        complain(file + ": " + std::to_string(records + int64_t(added.size())) + " records would be more than the " +
                 std::to_string(kMaxRegistros) + " the server loads; nothing changed");
        return 1;
    }

    // Whole blocks at the end of the file, then one sync; any failure cuts
    // the file back to the length it had, so no part of the load remains.
    const int64_t oldLength = records * kRecord;
    constexpr size_t kPerBlock = 1248;
    std::vector<uint8_t> block(kPerBlock * kRecord);
    bool written = true;
    for (size_t first = 0; first < added.size() && written; first += kPerBlock) {
        size_t n = std::min(kPerBlock, added.size() - first);
        for (size_t i = 0; i < n; i++)
            encode(added[first + i], block.data() + i * kRecord);
        long want = long(n * kRecord);
        written = platformWriteAt(fd, block.data(), size_t(want), oldLength + int64_t(first) * kRecord) == want;
    }
    if (written && !added.empty())
        written = platformSync(fd);
    if (!written) {
        std::string reason = platformErrorText();
        if (platformTruncate(fd, oldLength) != 0 || !platformSync(fd)) {
            complain(file + ": writing failed (" + reason + ") and the file could not be cut back to " +
                     std::to_string(oldLength) + " bytes (" + platformErrorText() + ")");
            return 1;
        }
        complain(file + ": writing failed (" + reason + "); the file is back as it was");
        return 1;
    }
    printf("%s: %zu record%s added, %lld in all\n", file.c_str(), added.size(), added.size() == 1 ? "" : "s",
           static_cast<long long>(records + int64_t(added.size())));
    return 0;
}

}  // namespace

int runLoad(const std::string& file) {
    bool created = false;
    int fd = platformOpenFile(file.c_str(), false);
    if (fd < 0) {
        fd = platformOpenFile(file.c_str(), true);
        created = fd >= 0;
    }
    if (fd < 0) {
        complain(file + ": " + platformErrorText());
        return 1;
    }
    if (!platformLockFile(fd)) {
        complain(file + " is locked by another process (a running server, or another load); nothing changed");
        platformCloseFile(fd);
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
        status = appendAll(fd, file, size / kRecord);
    }
    // A file made for a load that failed would be a change; still locked,
    // so nobody else has come to use it.
    if (status != 0 && created)
        std::remove(file.c_str());
    platformCloseFile(fd);
    return status;
}
