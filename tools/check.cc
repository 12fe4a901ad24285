// check: every problem of a registry file that the server would load
// silently or misread, one line each, in slot order. Duplicates are found
// by sorting the folded addresses, so a million records cost one sort.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/platform.h"
#include "registry/indice.h"
#include "text/email.h"
#include "text/fold.h"
#include "tools/records.h"

using namespace registro_campo;

namespace {

struct Problem {
    int64_t slot;
    std::string text;
};

// Each record's folded address and the address itself, all in one arena:
// a million std::strings would cost a million allocations.
struct Keys {
    struct Entry {
        uint32_t slot;
        uint32_t offset;  // the folded key, then the address
        uint8_t keyLength;
        uint8_t emailLength;
    };
    std::string arena;
    std::vector<Entry> entries;

    void add(int64_t slot, const std::string& email) {
        std::string key = foldedKey(email);
        entries.push_back({uint32_t(slot), uint32_t(arena.size()), uint8_t(key.size()), uint8_t(email.size())});
        arena += key;
        arena += email;
    }
    int compare(const Entry& a, const Entry& b) const {
        int r = memcmp(arena.data() + a.offset, arena.data() + b.offset, std::min(a.keyLength, b.keyLength));
        return r != 0 ? r : int(a.keyLength) - int(b.keyLength);
    }
    std::string email(const Entry& e) const { return arena.substr(e.offset + e.keyLength, e.emailLength); }
};

// rec's problems; ficha holds rec decoded.
void checkRecord(int64_t slot, const uint8_t* rec, const TFicha& ficha, std::vector<Problem>& problems) {
    const struct {
        const char* name;
        int offset, length;
        const char* text;  // as the server reads it
    } fields[] = {{"email", kEmail, kEmailLen, ficha.email},
                  {"name", kNome, kNomeLen, ficha.nome},
                  {"info", kInfo, kInfoLen, ficha.info},
                  {"note", kLogon, kLogonLen, ficha.logon}};
    if (!cEmailValido(ficha.email))
        problems.push_back({slot, "email " + quoteBytes(ficha.email) + " breaks the address rule"});
    for (const auto& f : fields) {
        if (!fieldTerminated(rec, f.offset, f.length))
            problems.push_back({slot, std::string(f.name) + " field has no terminator"});
        // Only what the server reads counts; line feeds separate the
        // information lines.
        if (findControlByte(f.text, f.offset == kInfo ? '\n' : '\0') != std::string::npos)
            problems.push_back({slot, std::string(f.name) + " holds control bytes"});
    }
    if (ficha.estado > kDesconectado)
        problems.push_back({slot, "state " + std::to_string(ficha.estado) + " is not 0, 1 or 2"});
}

// Each record whose address folds equal to an earlier slot's, against the
// first slot of its group.
void findDuplicates(Keys& keys, std::vector<Problem>& problems) {
    std::vector<Keys::Entry>& e = keys.entries;
    std::sort(e.begin(), e.end(), [&keys](const Keys::Entry& a, const Keys::Entry& b) {
        int r = keys.compare(a, b);
        return r != 0 ? r < 0 : a.slot < b.slot;
    });
    for (size_t i = 1, first = 0; i < e.size(); i++) {
        if (keys.compare(e[first], e[i]) != 0) {
            first = i;
            continue;
        }
        std::string a = keys.email(e[first]);
        std::string b = keys.email(e[i]);
        if (compareFolded(b.c_str(), a.c_str()) == 0)  // the server's own test has the last word
            problems.push_back({e[i].slot, "email " + quoteBytes(b) + " equals slot " + std::to_string(e[first].slot) +
                                               "'s " + quoteBytes(a) + " under folding"});
    }
}

}  // namespace

int runCheck(const std::string& file) {
    int fd = platformOpenReadOnly(file.c_str());
    if (fd < 0) {
        complain(file + ": " + platformErrorText());
        return 1;
    }
    int64_t size = platformFileSize(fd);
    if (size < 0) {
        complain(file + ": " + platformErrorText());
        platformCloseFile(fd);
        return 1;
    }
    int64_t records = size / kRecord;
    std::vector<Problem> problems;
    if (size % kRecord != 0)
        problems.push_back({records, std::to_string(size % kRecord) + " bytes, not a whole record (the file is " +
                                         std::to_string(size) + " bytes, not a multiple of " + std::to_string(kRecord) + ")"});
    if (records > kMaxRegistros)
        problems.push_back({kMaxRegistros, "the file holds " + std::to_string(records) + " records, more than the " +
                                               std::to_string(kMaxRegistros) + " the server loads (it refuses the file)"});

    Keys keys;
    int64_t copyOf = -1, failedSlot = -1;
    bool whole = records <= kMaxRegistros &&
                 cPercorreRegistros(fd, records, copyOf, failedSlot, [&](int64_t slot, const uint8_t* rec) {
                     TFicha ficha;
                     ficha.cDecodifica(rec);
                     checkRecord(slot, rec, ficha, problems);
                     keys.add(slot, ficha.email);
                     return true;
                 });
    platformCloseFile(fd);
    if (!whole && records <= kMaxRegistros) {
        complain(file + ": cannot read slot " + std::to_string(failedSlot) + " (a read failed or the file shrank)");
        return 1;
    }
    if (copyOf >= 0)
        problems.push_back({records - 1, "repeats slot " + std::to_string(copyOf) +
                                             " byte for byte (a removal cut short; the server drops it when it "
                                             "loads the file)"});
    findDuplicates(keys, problems);

    std::stable_sort(problems.begin(), problems.end(),
                     [](const Problem& a, const Problem& b) { return a.slot < b.slot; });
    for (const Problem& p : problems)
        printf("slot %lld: %s\n", static_cast<long long>(p.slot), p.text.c_str());
    return problems.empty() ? 0 : 1;
}
