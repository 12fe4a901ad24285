// dump: one JSON object per record and line, in slot order, holding what
// the server would serve from it; load reads the same form back. It takes
// no lock, so it may run beside the server: each record is written whole
// at its own offset.
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "engine/platform.h"
#include "text/format.h"
#include "tools/records.h"

using namespace registro_campo;

namespace {

nlohmann::ordered_json recordJson(int64_t slot, const uint8_t* rec, bool digests) {
    TFicha f;
    f.cDecodifica(rec);
    nlohmann::ordered_json j;
    j["slot"] = slot;
    j["email"] = latin1ToUtf8(f.email);
    j["name"] = latin1ToUtf8(f.nome);
    char dotted[16];
    formatDotted(dotted, f.ip);
    j["address"] = dotted;
    j["state"] = f.estado;
    j["date"] = formatDate(f.data);
    j["note"] = latin1ToUtf8(f.logon);
    // Empty information is no lines at all rather than one empty line.
    nlohmann::ordered_json lines = nlohmann::ordered_json::array();
    std::string info = f.info;
    if (!info.empty())
        for (size_t start = 0;;) {
            size_t end = info.find('\n', start);
            lines.push_back(latin1ToUtf8(info.substr(start, end == std::string::npos ? end : end - start)));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    j["info"] = std::move(lines);
    if (digests) {
        char hex[2 * kSenhaLen + 1];
        for (int i = 0; i < kSenhaLen; i++)
            snprintf(hex + 2 * i, 3, "%02x", unsigned(f.senha[i]));
        j["digest"] = hex;
    }
    return j;
}

}  // namespace

int runDump(const std::string& file, bool digests) {
    int fd = platformOpenReadOnly(file.c_str());
    int64_t size = fd < 0 ? -1 : platformFileSize(fd);
    if (size < 0) {
        complain(file + ": " + platformErrorText());
        platformCloseFile(fd);
        return 1;
    }
    int64_t records = size / kRecord;
    int64_t copyOf, failedSlot;
    bool whole = cPercorreRegistros(fd, records, copyOf, failedSlot, [digests](int64_t slot, const uint8_t* rec) {
        std::string line = recordJson(slot, rec, digests).dump();
        line += '\n';
        // A reader that went away (dump | head) ends the walk.
        return fwrite(line.data(), 1, line.size(), stdout) == line.size();
    });
    platformCloseFile(fd);
    if (!whole) {
        complain(file + ": cannot read slot " + std::to_string(failedSlot) + " (a read failed or the file shrank)");
        return 1;
    }
    // What the server leaves out when it loads the file is left out here
    // too, so that load rebuilds what the server would serve.
    if (size % kRecord != 0)
        complain(file + ": the last " + std::to_string(size % kRecord) + " bytes are not a whole record; left out");
    if (copyOf >= 0)
        complain(file + ": slot " + std::to_string(records - 1) + " repeats slot " + std::to_string(copyOf) +
                 " (a removal cut short); left out");
    if (fflush(stdout) != 0 || ferror(stdout)) {
        complain("writing standard output failed");
        return 1;
    }
    return 0;
}
