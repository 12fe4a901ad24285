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

namespace {

// Where the lines go: standard output, or a file of --output through the
// platform's calls, gathered into blocks of some 64 KiB.
class Sink {
public:
    explicit Sink(int fd) : fd_(fd) {}
    bool put(const std::string& line) {
        if (fd_ < 0)
            return fwrite(line.data(), 1, line.size(), stdout) == line.size();
        pending_ += line;
        return pending_.size() < kBlock || flush();
    }
    bool flush() {
        if (fd_ < 0)
            return fflush(stdout) == 0 && !ferror(stdout);
        if (!pending_.empty() && platformWriteAt(fd_, pending_.data(), pending_.size(), at_) != long(pending_.size()))
            return false;
        at_ += int64_t(pending_.size());
        pending_.clear();
        return true;
    }

private:
    static constexpr size_t kBlock = 64 * 1024;
    int fd_;
    int64_t at_ = 0;
    std::string pending_;
};

// The file of --output, empty and readable and writable by its owner
// alone, whatever the umask: a dump with digests holds every password's
// digest. An existing file is emptied and given that mode (a backup
// rewritten every night keeps its name); a symbolic link is refused, and
// so is the registry itself (in), which emptying would destroy.
int openOutput(const std::string& output, int in, std::string& why) {
    int fd = platformOpenNew(output.c_str());
    if (fd < 0) {
        why = platformErrorText();
        return -1;
    }
    PlatformFileId read, written;
    if (platformFileId(in, &read) && platformFileId(fd, &written) && read == written) {
        platformCloseFile(fd);
        why = "is the registry file itself";
        return -1;
    }
    if (!platformSetPermissions(fd, 0600) || platformTruncate(fd, 0) != 0) {
        why = platformErrorText();
        platformCloseFile(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int runDump(const std::string& file, bool digests, const std::string& output) {
    // A journal that holds batches: a server running under sempre is
    // between two checkpoints (its file has them all), or one stopped by a
    // power loss left them for its next start to apply.
    PlatformFileStatus jornal;
    if (platformNameStatus((file + ".lote").c_str(), &jornal) && jornal.size > 0)
        complain(file + ".lote holds journaled changes: unless a server runs on the file, the file may lack them "
                        "until a server starts on it");
    int fd = platformOpenReadOnly(file.c_str());
    int64_t size = fd < 0 ? -1 : platformFileSize(fd);
    if (size < 0) {
        complain(file + ": " + platformErrorText());
        platformCloseFile(fd);
        return 1;
    }
    int out = -1;
    std::string why;
    if (!output.empty() && (out = openOutput(output, fd, why)) < 0) {
        complain(output + ": " + why);
        platformCloseFile(fd);
        return 1;
    }
    Sink sink(out);
    int64_t records = size / kRecord;
    int64_t copyOf, failedSlot;
    bool whole = cPercorreRegistros(fd, records, copyOf, failedSlot, [digests, &sink](int64_t slot, const uint8_t* rec) {
        std::string line = recordJson(slot, rec, digests).dump();
        line += '\n';
        // A reader that went away (dump | head) ends the walk.
        return sink.put(line);
    });
    platformCloseFile(fd);
    if (!whole) {
        if (out >= 0)
            platformCloseFile(out);
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
    // A backup is only one once it is on the disk.
    bool written = sink.flush() && (out < 0 || platformSyncAll(out));
    if (out >= 0)
        platformCloseFile(out);
    if (!written) {
        complain((out < 0 ? std::string("writing standard output") : "writing " + output) + " failed");
        return 1;
    }
    return 0;
}
