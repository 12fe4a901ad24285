// End-to-end helpers: run the real server binary in a fresh directory on a
// free loopback port, and talk to it over TCP. Every wait is bounded, and a
// ServerProcess never outlives its test: the destructor kills and reaps it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct ServerProcess {
    // Makes a fresh temporary directory, writes <base>.cfg there with cfgText
    // plus a "porta = N" line for a free loopback port (unless cfgText sets
    // porta itself; then that port is used), writes savBytes as <base>.sav
    // when not empty, and starts the binary with argv[0] = name and the
    // directory as working directory. Waits up to 5 s until the server
    // listens on the port. A port taken meanwhile by someone else makes it
    // retry with another one. False, with the reason in `error`, when the
    // server did not come up.
    bool start(const std::string& cfgText, const std::string& name = "quelta",
               const std::string& savBytes = "");
    // Starts without waiting for a listener (for start-up failures); then use
    // waitExit. With writeCfg false no configuration file is written and cfgText
    // is ignored. A second launch or start in the same object reuses the
    // directory and its files.
    bool launch(const std::string& cfgText, const std::string& name = "quelta", bool writeCfg = true);
    // Exit status (WEXITSTATUS) once the server has ended; -1 if it is still
    // running after timeoutMs or was killed by a signal (`error` says which).
    int waitExit(int timeoutMs);
    // SIGKILL and reap; nothing when it is not running.
    void kill9();
    ~ServerProcess();

    std::string path(const std::string& file) const;      // dir + "/" + file
    std::string readFile(const std::string& file) const;  // whole file as bytes; "" if missing
    bool writeFile(const std::string& file, const std::string& bytes) const;
    // Makes the temporary directory now (start and launch do it when needed),
    // so a test can put files there first. False when it could not.
    bool makeDir();
    std::string output() const;  // what the server printed on stdout
    std::string errors() const;  // what it printed on stderr (sanitizer reports)
    long rssKb() const;          // VmRSS from /proc/<pid>/status; -1 when unknown
    bool alive() const;
    // Whether the process listens on `port` (a listening socket of its own).
    bool listening() const;

    // File base the server derives from a program name: the last path
    // component up to its first '.', at most 95 characters.
    static std::string baseName(const std::string& programName);
    // A loopback port that was free a moment ago.
    static int freePort();

    // When >= 0, the server starts with this RLIMIT_FSIZE (bytes): writes
    // past it fail with EFBIG instead of growing the file.
    long fileSizeLimit = -1;
    // When >= 0, the server starts with this RLIMIT_NOFILE, soft and hard.
    long descriptorLimit = -1;
    // When >= 0 and the tests run as root, the server runs under this user
    // and group id, owning its directory and files, so that permissions
    // bind it as they would bind any unprivileged server.
    int runAsUid = -1;
    // Arguments after the program name.
    std::vector<std::string> args;
    // NAME=value entries added to the server's environment.
    std::vector<std::string> env;

    int port = 0;
    pid_t pid = -1;
    std::string dir;    // the server's working directory, its files only
    std::string error;  // why start/launch failed, or how the process ended

private:
    bool spawn(const std::string& name);
    bool reap(bool block) const;
    std::string top;             // holds dir and the server's output files
    mutable bool ended = false;  // pid has been reaped
    mutable int status = 0;      // waitpid status once ended
};

struct Client {
    // Connects to 127.0.0.1:port, binding the local side to srcIp first
    // (127.0.0.x) when given. Gives up after 3 s.
    bool connect(int port, const char* srcIp = nullptr);
    bool send(const std::string& bytes);  // all of it within 3 s, or false
    // Up to and including the next "\r\n"; "" on timeout or close (the bytes
    // received so far stay buffered for the next read).
    std::string readLine(int timeoutMs = 3000);
    // Up to and including the first occurrence of `end`. On timeout or close
    // it returns whatever arrived, which then does not end with `end`.
    std::string readUntil(const std::string& end, int timeoutMs = 3000);
    std::string readAll(int timeoutMs = 3000);  // until the peer closes (or timeout)
    // True when the peer closed (end of stream or reset) within the time;
    // data that arrives meanwhile is kept for the next read.
    bool waitClosed(int timeoutMs = 3000);
    void close();
    ~Client();

    int fd = -1;
    bool peerClosed = false;  // end of stream or reset seen

private:
    // Waits at most ms for bytes: 1 some arrived, 0 none in time, -1 closed.
    int fill(int ms);
    std::string buffered;
};

// Builds an 840-byte registry record with the registry's own encoder
// (TFicha). Texts are cut to their field size less one and zero-filled;
// texts holding a NUL end there.
std::string makeRecord(const std::string& email, const std::string& nome, uint32_t ipNetworkOrder,
                       uint32_t dataMinutes, const uint8_t senha[20], uint8_t estado,
                       const std::string& info, const std::string& logon);

// What a shell command writes on its standard output, run under
// `timeout seconds`; "" when it could not be started.
std::string commandOutput(const std::string& command, int seconds = 60);

// A file's whole contents as bytes; "" when it cannot be read.
std::string readWholeFile(const std::string& file);

// A self-signed certificate for cn (PEM, one day) and its key, made by
// openssl req: a P-256 key, or an RSA 2048 one with rsa. False on failure.
bool makeTlsPair(const std::string& key, const std::string& cert, const std::string& cn = "localhost",
                 bool rsa = false);

// Address of a dotted text in network order (inet_addr).
uint32_t ipOf(const char* dotted);
