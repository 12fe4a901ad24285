// The server is watched from outside: "up" means the process itself holds a
// listening socket on its port (seen in /proc), so the harness never opens a
// probe connection that the server would count as a client.
#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "registry/ficha.h"

namespace {

using Clock = std::chrono::steady_clock;

// The server may start slowly on a loaded machine or under the sanitizers;
// the bound only costs time when it fails to come up at all.
constexpr int kStartTimeoutMs = 10000;

// QUELTA_WRAPPER, when set, is a command the server is started under
// (words separated by blanks), e.g. a memory checker. Such a wrapper
// slows start-up many times over, so the wait for the listener grows.
std::vector<std::string> wrapperWords() {
    std::vector<std::string> words;
    const char* w = getenv("QUELTA_WRAPPER");
    std::istringstream in(w != nullptr ? w : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

int startTimeoutMs() { return wrapperWords().empty() ? kStartTimeoutMs : 12 * kStartTimeoutMs; }
constexpr int kPortAttempts = 5;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Removes a tree the tests may have made unwritable or unreadable.
void removeTree(const std::string& p) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        chmod(p.c_str(), 0700);
        if (DIR* d = opendir(p.c_str())) {
            while (dirent* e = readdir(d)) {
                if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                    continue;
                removeTree(p + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(p.c_str());
    } else {
        unlink(p.c_str());
    }
}

std::string trimBlanks(const std::string& s) {
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

// Finds a key in configuration text roughly as the server reads it (control
// bytes vanish, blanks around key and value, first word of the key, ASCII
// case ignored). Returns the last non-empty value, or false.
bool configValue(const std::string& cfg, const char* key, std::string* value) {
    bool found = false;
    std::string line;
    auto take = [&]() {
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            return;
        std::string k = trimBlanks(line.substr(0, eq));
        std::string v = trimBlanks(line.substr(eq + 1));
        k = k.substr(0, k.find(' '));
        if (v.empty() || k.size() != strlen(key))
            return;
        for (size_t i = 0; i < k.size(); i++)
            if (tolower(static_cast<unsigned char>(k[i])) != key[i])
                return;
        *value = v;
        found = true;
    };
    for (char c : cfg) {
        if (c == '\r' || c == '\n') {
            take();
            line.clear();
        } else if (static_cast<unsigned char>(c) >= 0x20) {
            line += c;
        }
    }
    take();
    return found;
}

}  // namespace

bool makeTlsPair(const std::string& key, const std::string& cert, const std::string& cn, bool rsa) {
    const std::string chave = rsa ? "rsa:2048" : "ec -pkeyopt ec_paramgen_curve:prime256v1";
    return system(("openssl req -x509 -newkey " + chave + " -nodes -days 1 -subj /CN=" + cn + " -keyout " + key +
                   " -out " + cert + " >/dev/null 2>&1")
                      .c_str()) == 0;
}

std::string readWholeFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return "";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// --- ServerProcess ----------------------------------------------------------

std::string ServerProcess::baseName(const std::string& programName) {
    std::string base = programName;
    size_t sep = base.find_last_of("/\\");
    if (sep != std::string::npos)
        base = base.substr(sep + 1);
    base = base.substr(0, 299);
    base = base.substr(0, base.find('.'));
    return base.substr(0, 95);
}

int ServerProcess::freePort() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

bool ServerProcess::makeDir() {
    if (!dir.empty())
        return true;
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/quelta-e2e-XXXXXX";
    std::string buf = templ;
    if (mkdtemp(&buf[0]) == nullptr) {
        error = "mkdtemp(" + templ + "): " + strerror(errno);
        return false;
    }
    // The server's directory holds only its own files; what it prints goes
    // beside it, so a test may even make the directory unwritable.
    top = buf;
    if (mkdir((top + "/run").c_str(), 0700) != 0) {
        error = "mkdir(" + top + "/run): " + strerror(errno);
        removeTree(top);
        top.clear();
        return false;
    }
    dir = top + "/run";
    return true;
}

std::string ServerProcess::path(const std::string& file) const { return dir + "/" + file; }

std::string ServerProcess::readFile(const std::string& file) const { return readWholeFile(path(file)); }

bool ServerProcess::writeFile(const std::string& file, const std::string& bytes) const {
    std::ofstream out(path(file), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(out);
}

std::string ServerProcess::output() const { return top.empty() ? "" : readWholeFile(top + "/server.out"); }

std::string ServerProcess::errors() const { return top.empty() ? "" : readWholeFile(top + "/server.err"); }

bool ServerProcess::spawn(const std::string& name) {
    if (alive()) {
        error = "a server is already running in this object";
        return false;
    }
    // Everything the child needs is prepared before fork: after it, the
    // child only makes system calls.
    std::string out = top + "/server.out", err = top + "/server.err";
    std::string binary = QUELTA_BINARY;
    std::string arg0 = name;
    std::vector<std::string> words = wrapperWords();
    if (!words.empty()) {
        // The wrapper passes its program argument on as argv[0], and the
        // server names its files after that: start it through a link
        // named like the last component of name.
        std::string last = name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
        std::string link = dir + "/" + (last.empty() ? std::string("quelta") : last);
        unlink(link.c_str());
        if (symlink(binary.c_str(), link.c_str()) != 0) {
            error = std::string("symlink: ") + strerror(errno);
            return false;
        }
        // Relative to the run directory the child changes into, so a
        // server run as another user needs no access to the parents.
        words.push_back("./" + link.substr(dir.size() + 1));
        binary = words[0];
    } else {
        words.push_back(arg0);
    }
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argvList;
    for (std::string& word : words)
        argvList.push_back(&word[0]);
    argvList.push_back(nullptr);
    char** argv = argvList.data();
    pid_t parent = getpid();
    long fsize = fileSizeLimit;
    long nofile = descriptorLimit;
    std::vector<std::string> ambiente = env;
    int uid = geteuid() == 0 ? runAsUid : -1;
    if (uid >= 0) {
        if (chown(dir.c_str(), uid_t(uid), gid_t(uid)) != 0) {
            error = std::string("chown: ") + strerror(errno);
            return false;
        }
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.')
                    (void)!lchown((dir + "/" + e->d_name).c_str(), uid_t(uid), gid_t(uid));
            closedir(d);
        }
    }
    pid_t child = fork();
    if (child < 0) {
        error = std::string("fork: ") + strerror(errno);
        return false;
    }
    if (child == 0) {
        // A test process that dies without running its destructors (a
        // crash, a time-out kill) takes its server along.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
            _exit(125);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        int in = open("/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || o < 0 || e < 0)
            _exit(126);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        // The test's own sockets must not live on in the server: a client
        // closed by the test would stay open through the inherited copy.
#ifdef SYS_close_range
        if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
#endif
            for (int fd = 3; fd < 65536; fd++)
                ::close(fd);
        if (uid >= 0 && (setgid(gid_t(uid)) != 0 || setuid(uid_t(uid)) != 0))
            _exit(123);
        if (fsize >= 0) {
            struct rlimit lim;
            lim.rlim_cur = lim.rlim_max = rlim_t(fsize);
            if (setrlimit(RLIMIT_FSIZE, &lim) != 0)
                _exit(124);
        }
        for (std::string& e : ambiente)
            putenv(&e[0]);
        if (nofile >= 0) {
            struct rlimit lim;
            lim.rlim_cur = lim.rlim_max = rlim_t(nofile);
            if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
                _exit(124);
        }
        if (binary.find('/') == std::string::npos)
            execvp(binary.c_str(), argv);  // a wrapper named without its path
        else
            execv(binary.c_str(), argv);
        _exit(127);
    }
    pid = child;
    ended = false;
    status = 0;
    return true;
}

bool ServerProcess::launch(const std::string& cfgText, const std::string& name, bool writeCfg) {
    if (!makeDir())
        return false;
    if (writeCfg && !writeFile(baseName(name) + ".cfg", cfgText)) {
        error = "cannot write " + path(baseName(name) + ".cfg");
        return false;
    }
    return spawn(name);
}

bool ServerProcess::start(const std::string& cfgText, const std::string& name, const std::string& savBytes) {
    if (!makeDir())
        return false;
    std::string base = baseName(name);
    if (!savBytes.empty() && !writeFile(base + ".sav", savBytes)) {
        error = "cannot write " + path(base + ".sav");
        return false;
    }
    std::string value;
    bool fixedPort = configValue(cfgText, "porta", &value);
    // Test servers listen on loopback only, unless the test says otherwise.
    std::string prefix = configValue(cfgText, "ender", &value) ? "" : "ender = 127.0.0.1\n";
    if (fixedPort) {
        int p = atoi(value.c_str());
        port = p >= 1 && p <= 65535 ? p : 1956;
    }
    for (int attempt = 0; attempt < kPortAttempts; attempt++) {
        std::string cfg = prefix + cfgText;
        if (!fixedPort) {
            port = freePort();
            if (port == 0) {
                error = "no free port";
                return false;
            }
            if (!cfg.empty() && cfg.back() != '\n' && cfg.back() != '\r')
                cfg += "\n";
            cfg += "porta = " + std::to_string(port) + "\n";
        }
        if (!launch(cfg, name))
            return false;
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(startTimeoutMs());
        while (!listening() && alive() && msLeft(deadline) > 0)
            sleepMs(10);
        if (listening())
            return true;
        if (alive()) {
            kill9();
            error = "server did not listen on port " + std::to_string(port) + " within " +
                    std::to_string(startTimeoutMs()) + " ms; output: " + output() + errors();
            return false;
        }
        std::string said = output();
        waitExit(0);  // describes how it ended
        error = "server ended at start-up (" + error + "); output: " + said + errors();
        // Someone took the port between our probe and the server's bind.
        if (fixedPort || said.find("bind()") == std::string::npos)
            return false;
    }
    return false;
}

bool ServerProcess::reap(bool block) const {
    if (pid <= 0 || ended)
        return ended;
    int st = 0;
    pid_t r;
    do
        r = waitpid(pid, &st, block ? 0 : WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == pid) {
        ended = true;
        status = st;
    } else if (r < 0) {
        ended = true;  // not our child any more; nothing to wait for
        status = 0;
    }
    return ended;
}

bool ServerProcess::alive() const { return pid > 0 && !reap(false); }

int ServerProcess::waitExit(int timeoutMs) {
    if (pid <= 0) {
        error = "no server was started";
        return -1;
    }
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reap(false) && msLeft(deadline) > 0)
        sleepMs(5);
    if (!ended) {
        error = "still running after " + std::to_string(timeoutMs) + " ms";
        return -1;
    }
    if (WIFEXITED(status)) {
        error = "exited with status " + std::to_string(WEXITSTATUS(status));
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status))
        error = "killed by signal " + std::to_string(WTERMSIG(status));
    return -1;
}

void ServerProcess::kill9() {
    if (!alive())
        return;
    ::kill(pid, SIGKILL);
    reap(true);
}

long ServerProcess::rssKb() const {
    if (!alive())
        return -1;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return atol(line.c_str() + 6);
    return -1;
}

bool ServerProcess::listening() const {
    if (!alive() || port <= 0)
        return false;
    // Inodes of listening TCP sockets on our port, then whether the server
    // holds one of them.
    std::set<std::string> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string sl, local, remote, st, queues, timer, retr, uid, timeout, inode;
            f >> sl >> local >> remote >> st >> queues >> timer >> retr >> uid >> timeout >> inode;
            size_t colon = local.rfind(':');
            if (st != "0A" || colon == std::string::npos)
                continue;
            if (strtol(local.c_str() + colon + 1, nullptr, 16) == port)
                inodes.insert("socket:[" + inode + "]");
        }
    }
    if (inodes.empty())
        return false;
    std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fdDir.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        char target[128];
        ssize_t n = readlink((fdDir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = 0;
        if (inodes.count(target) != 0) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

ServerProcess::~ServerProcess() {
    kill9();
    if (!top.empty())
        removeTree(top);
}

// --- Client -----------------------------------------------------------------

bool Client::connect(int port, const char* srcIp) {
    close();
    fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    if (srcIp != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = 0;
        if (inet_pton(AF_INET, srcIp, &local.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            close();
            return false;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EINPROGRESS) {
            close();
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (poll(&p, 1, 3000) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            close();
            return false;
        }
    }
    return true;
}

bool Client::send(const std::string& bytes) {
    if (fd < 0)
        return false;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(3000);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (msLeft(deadline) == 0 || poll(&p, 1, msLeft(deadline)) < 0)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

int Client::fill(int ms) {
    if (fd < 0 || peerClosed)
        return -1;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, ms);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    if (r == 0)
        return 0;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
        buffered.append(buf, size_t(n));
        return 1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    peerClosed = true;  // end of stream, reset or another failure
    return -1;
}

std::string Client::readLine(int timeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t end = buffered.find("\r\n");
        if (end != std::string::npos) {
            std::string line = buffered.substr(0, end + 2);
            buffered.erase(0, end + 2);
            return line;
        }
        if (msLeft(deadline) == 0 || fill(msLeft(deadline)) < 0)
            return "";
    }
}

std::string Client::readUntil(const std::string& end, int timeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t at = buffered.find(end);
        if (at != std::string::npos) {
            std::string text = buffered.substr(0, at + end.size());
            buffered.erase(0, at + end.size());
            return text;
        }
        if (msLeft(deadline) == 0 || fill(msLeft(deadline)) < 0) {
            std::string text;
            text.swap(buffered);
            return text;
        }
    }
}

std::string Client::readAll(int timeoutMs) {
    waitClosed(timeoutMs);
    std::string text;
    text.swap(buffered);
    return text;
}

bool Client::waitClosed(int timeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!peerClosed && msLeft(deadline) > 0 && fill(msLeft(deadline)) >= 0) {
    }
    return peerClosed;
}

void Client::close() {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    peerClosed = false;
    buffered.clear();
}

Client::~Client() { close(); }

// --- Records ----------------------------------------------------------------

std::string makeRecord(const std::string& email, const std::string& nome, uint32_t ipNetworkOrder,
                       uint32_t dataMinutes, const uint8_t senha[20], uint8_t estado,
                       const std::string& info, const std::string& logon) {
    TFicha f;
    email.copy(f.email, sizeof f.email - 1);
    nome.copy(f.nome, sizeof f.nome - 1);
    f.ip = ipNetworkOrder;
    f.data = dataMinutes;
    if (senha != nullptr)
        memcpy(f.senha, senha, sizeof f.senha);
    f.estado = estado;
    info.copy(f.info, sizeof f.info - 1);
    logon.copy(f.logon, sizeof f.logon - 1);
    std::string r(registro_campo::kRecord, '\0');
    f.cCodifica(reinterpret_cast<uint8_t*>(&r[0]));
    return r;
}

uint32_t ipOf(const char* dotted) { return inet_addr(dotted); }

std::string commandOutput(const std::string& command, int seconds) {
    std::string all;
    FILE* f = popen(("timeout " + std::to_string(seconds) + " " + command).c_str(), "r");
    if (f == nullptr)
        return all;
    char b[4096];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0)
        all.append(b, n);
    pclose(f);
    return all;
}
