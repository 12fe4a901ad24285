// quelta-registry: works on a registry file while the server is stopped
// (load) or beside it (check, dump). Exit status 0 done, 1 problems found
// or a failure, 2 a usage error.
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/platform.h"
#include "text/fold.h"
#include "tools/records.h"

namespace {

const char kUsage[] =
    "Usage: quelta-registry COMMAND FILE\n"
    "Works on a Quelta registry file (quelta.sav).\n"
    "\n"
    "  check FILE            report every damaged record, one line per problem;\n"
    "                        exit status 1 when there is any\n"
    "  dump FILE [--digests] [--output OUT]\n"
    "                        write every record as one JSON object per line;\n"
    "                        --digests adds the stored password digests;\n"
    "                        --output writes OUT, mode 0600, instead of\n"
    "                        standard output (an existing OUT is emptied)\n"
    "  load FILE             append the records of such lines on standard input,\n"
    "                        all of them or none; refused while a server runs on FILE\n"
    "  --help                show this text\n"
    "  --version             print the version\n"
    "\n"
    "Exit status: 0 done, 1 problems found or a failure, 2 a usage error.\n";

int usageError(const std::string& text) {
    complain(text + " (see quelta-registry --help)");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // A write past a file size limit must fail and be undone, not kill the
    // process halfway; so must a write to a closed pipe.
    platformStart();
    buildFoldTable();

    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("quelta-registry %s\n", QUELTA_VERSION);
        return 0;
    }
    if (argc < 2)
        return usageError("a command is missing");
    std::string command = argv[1];
    if (command != "check" && command != "dump" && command != "load")
        return usageError("unknown command " + quoteBytes(command));

    bool digests = false;
    const char* file = nullptr;
    std::string output;
    for (int i = 2; i < argc; i++) {
        if (command == "dump" && strcmp(argv[i], "--digests") == 0) {
            digests = true;
        } else if (command == "dump" && strcmp(argv[i], "--output") == 0) {
            if (i + 1 == argc || argv[i + 1][0] == 0)
                return usageError("--output needs a file");
            output = argv[++i];
        } else if (argv[i][0] == '-' && argv[i][1] != 0) {
            return usageError("unknown option " + quoteBytes(argv[i]) + " for " + command);
        } else if (file != nullptr) {
            return usageError(command + " takes one file");
        } else {
            file = argv[i];
        }
    }
    if (file == nullptr)
        return usageError(command + " needs a registry file");
    if (command == "check")
        return runCheck(file);
    if (command == "dump")
        return runDump(file, digests, output);
    return runLoad(file);
}
