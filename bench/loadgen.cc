// Load generator for the benchmark scenarios. One thread, one epoll set:
// every connection keeps at most --pipeline requests in flight (1 by default,
// so each request waits for its reply), and the figures cover only the
// measured window, which opens after the connections are up and the warm-up
// is over.
//
// A result is one line of key=value pairs starting with "RESULT", so the
// script can pick fields out of it with a pattern.
//
// With --tls every connection does a TLS handshake right after connect and
// then goes through SSL_read and SSL_write on the same non-blocking socket
// and the same loop. The choice is made once, at the start: the plain
// generator and the TLS one are two instances of one template, so the plain
// path has no test for TLS in it.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum class Mode { Line, Multi, Resp };

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    int conns = 50;
    int pipeline = 1;
    int srcSpread = 0;  // 0: the kernel picks 127.0.0.1
    int idle = 0;
    bool greeting = false;
    bool tls = false;
    Mode mode = Mode::Line;
    double seconds = 5;
    double warmup = 0;
    long long count = 0;  // 0: run for --seconds
    std::string request = "NOOP";
    std::string requestsFile;
    std::string label = "run";
    int serverPid = 0;
    // Start-up measurement.
    bool waitReady = false;
    std::string expect;
    long long t0Ns = 0;
    double timeout = 120;
    bool freePort = false;
};

int64_t monoNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t realNs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double cpuSeconds() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// utime + stime of another process in seconds; negative when unreadable.
double processCpuSeconds(int pid) {
    if (pid <= 0)
        return -1;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* f = fopen(path, "r");
    if (f == nullptr)
        return -1;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    // The command name may hold blanks and parentheses: fields are counted
    // from the last ')'; utime and stime are fields 14 and 15.
    char* p = strrchr(buf, ')');
    if (p == nullptr)
        return -1;
    p += 2;
    unsigned long long ut = 0, st = 0;
    if (sscanf(p, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2)
        return -1;
    return double(ut + st) / double(sysconf(_SC_CLK_TCK));
}

[[noreturn]] void die(const char* what) {
    fprintf(stderr, "loadgen: %s: %s\n", what, strerror(errno));
    exit(2);
}

// Latencies in nanoseconds to 1/128 relative precision: values below 128
// exactly, larger ones by exponent and the 7 bits after the leading one.
// Fixed size, so recording a reply never allocates.
class Histogram {
public:
    Histogram() : counts_(64 * 128, 0) {}
    void add(int64_t ns) {
        if (ns < 0)
            ns = 0;
        counts_[index(uint64_t(ns))]++;
        total_++;
        sum_ += double(ns);
        max_ = std::max(max_, ns);
    }
    void clear() {
        std::fill(counts_.begin(), counts_.end(), 0);
        total_ = 0;
        sum_ = 0;
        max_ = 0;
    }
    uint64_t total() const { return total_; }
    double meanNs() const { return total_ ? sum_ / double(total_) : 0; }
    int64_t maxNs() const { return max_; }
    // Value at quantile q (0..1): the middle of the bucket that holds it.
    double quantileNs(double q) const {
        if (total_ == 0)
            return 0;
        uint64_t rank = std::max<uint64_t>(1, uint64_t(std::ceil(q * double(total_))));
        uint64_t seen = 0;
        for (size_t i = 0; i < counts_.size(); i++) {
            seen += counts_[i];
            if (seen >= rank)
                return std::min(middle(i), double(max_));
        }
        return double(max_);
    }

private:
    static size_t index(uint64_t v) {
        if (v < 128)
            return size_t(v);
        int e = 63 - __builtin_clzll(v);  // 7..63
        uint64_t m = (v >> (e - 7)) & 127;
        return size_t(e - 6) * 128 + size_t(m);
    }
    static double middle(size_t i) {
        if (i < 128)
            return double(i);
        int e = int(i / 128) + 6;
        double low = std::ldexp(128 + double(i % 128), e - 7);
        return low + std::ldexp(1.0, e - 7) / 2;
    }
    std::vector<uint64_t> counts_;
    uint64_t total_ = 0;
    double sum_ = 0;
    int64_t max_ = 0;
};

// Finds the ends of replies in a byte stream, across reads; it sees every
// byte once and keeps only what a reply boundary depends on. Line mode:
// every line is a reply. Multi mode: a first line starting with "-" is a
// whole reply, otherwise the reply runs to a line holding only ".". Resp
// mode: one value of any type, aggregates nested to any depth.
class ReplyParser {
public:
    explicit ReplyParser(Mode mode) : mode_(mode) {}

    // Calls done(isError) once per complete reply.
    template <class F>
    void feed(const char* p, size_t n, F&& done) {
        if (mode_ == Mode::Resp)
            feedResp(p, n, done);
        else
            feedLines(p, n, done);
    }

    // Lines between the first line and "." (Multi) or elements of the
    // top-level aggregate (Resp), over the whole run.
    uint64_t items = 0;

private:
    template <class F>
    void feedLines(const char* p, size_t n, F&& done) {
        const char* end = p + n;
        while (p < end) {
            const char* nl = static_cast<const char*>(memchr(p, '\n', size_t(end - p)));
            const char* segEnd = nl ? nl : end;
            size_t segLen = size_t(segEnd - p);
            for (size_t k = 0; k < segLen && lineLen_ + k < 2; k++)
                head_[lineLen_ + k] = p[k];
            lineLen_ = std::min<size_t>(lineLen_ + segLen, 3);  // 3: "longer than 2"
            if (nl == nullptr)
                return;
            lineEnded(done);
            p = nl + 1;
        }
    }

    template <class F>
    void lineEnded(F&& done) {
        bool isError = lineLen_ > 0 && head_[0] == '-';
        bool isDot = (lineLen_ == 1 && head_[0] == '.') || (lineLen_ == 2 && head_[0] == '.' && head_[1] == '\r');
        lineLen_ = 0;
        if (mode_ == Mode::Line) {
            done(isError);
        } else if (firstLine_) {
            firstLine_ = false;
            if (isError) {
                firstLine_ = true;
                done(true);
            }
        } else if (isDot) {
            firstLine_ = true;
            done(false);
        } else {
            items++;
        }
    }

    template <class F>
    void feedResp(const char* p, size_t n, F&& done) {
        const char* end = p + n;
        while (p < end) {
            if (bulkLeft_ > 0) {
                size_t take = std::min(size_t(end - p), size_t(bulkLeft_));
                bulkLeft_ -= int64_t(take);
                p += take;
                if (bulkLeft_ == 0)
                    elementDone(done);
                continue;
            }
            const char* nl = static_cast<const char*>(memchr(p, '\n', size_t(end - p)));
            if (nl == nullptr) {
                partial_.append(p, size_t(end - p));
                return;
            }
            partial_.append(p, size_t(nl - p));
            p = nl + 1;
            header(done);
            partial_.clear();
        }
    }

    // partial_ holds one complete header line (without the LF).
    template <class F>
    void header(F&& done) {
        char type = partial_.empty() ? 0 : partial_[0];
        long long v = partial_.size() > 1 ? strtoll(partial_.c_str() + 1, nullptr, 10) : 0;
        switch (type) {
        case '$':  // bulk string
        case '=':  // verbatim string
        case '!':  // bulk error
            if (type == '!' && stack_.empty())
                topError_ = true;
            if (v < 0)
                elementDone(done);
            else
                bulkLeft_ = v + 2;  // payload and its CR LF
            break;
        case '*':  // array
        case '~':  // set
        case '>':  // push
        case '%':  // map: two elements per entry
            if (type == '%')
                v *= 2;
            if (v <= 0)
                elementDone(done);
            else
                stack_.push_back(v);
            break;
        case '-':
            if (stack_.empty())
                topError_ = true;
            elementDone(done);
            break;
        default:  // simple string, integer, null, double, boolean, ...
            elementDone(done);
            break;
        }
    }

    template <class F>
    void elementDone(F&& done) {
        while (!stack_.empty()) {
            if (stack_.size() == 1)
                items++;
            if (--stack_.back() > 0)
                return;
            stack_.pop_back();
        }
        bool err = topError_;
        topError_ = false;
        done(err);
    }

    Mode mode_;
    // Line state: the first two bytes of the current line and its length,
    // saturated at 3.
    char head_[2] = {0, 0};
    size_t lineLen_ = 0;
    bool firstLine_ = true;
    // Resp state: elements still owed by each open aggregate, bulk bytes
    // still to skip, and a header line cut by the end of a read.
    std::vector<long long> stack_;
    int64_t bulkLeft_ = 0;
    std::string partial_;
    bool topError_ = false;
};

struct Conn {
    int fd = -1;
    SSL* ssl = nullptr;           // with --tls only
    bool readWantsWrite = false;  // SSL_read could not go on until the socket takes bytes
    bool writeWantsRead = false;  // SSL_write could not go on until the socket brings bytes
    bool awaitingGreeting = false;
    bool wantOut = false;
    std::string out;
    size_t outPos = 0;
    std::vector<int64_t> sent;  // ring of send times, one slot per request in flight
    size_t sentHead = 0, inflight = 0;
    uint64_t itemsMark = 0;  // parser.items at the end of the last reply
    std::string greetingLine;
    ReplyParser parser;
    explicit Conn(Mode m) : parser(m) {}
};

void raiseFileLimit() {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);  // a refusal shows later as a failed socket()
    }
}

// Source address of connection i under --src-spread K: 127.0.0.(2 + i mod K),
// carrying on into 127.0.1.x for K above 254; all of 127/8 is loopback.
in_addr_t sourceAddress(int i, int k) { return htonl((127u << 24) + 2u + uint32_t(i % k)); }

// A blocking connect, then the socket is made non-blocking. -1 on failure.
int connectOne(const Options& o, int index, bool quiet) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (o.srcSpread > 0) {
        // The port is chosen at connect time, so each source address has the
        // whole ephemeral range to itself.
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = sourceAddress(index, o.srcSpread);
        if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
            int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
    }
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(uint16_t(o.port));
    if (inet_pton(AF_INET, o.host.c_str(), &dst.sin_addr) != 1) {
        fprintf(stderr, "loadgen: bad host %s\n", o.host.c_str());
        exit(2);
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
        int e = errno;
        if (!quiet)
            fprintf(stderr, "loadgen: connect %d: %s\n", index, strerror(e));
        close(fd);
        errno = e;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Reads one line (up to LF, CR dropped) before the deadline; false on close
// or time-out. Byte by byte: used only outside the measured window.
bool readLine(int fd, std::string& line, int64_t deadline) {
    line.clear();
    for (;;) {
        int64_t left = (deadline - monoNs()) / 1000000;
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            continue;
        char ch;
        ssize_t n = recv(fd, &ch, 1, 0);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            return false;
        }
        if (ch == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return true;
        }
        line.push_back(ch);
    }
}

// The client side of TLS: one context for every connection. The servers
// listen on loopback with a self-signed certificate: nothing is verified.
SSL_CTX* tlsContext() {
    static SSL_CTX* ctx = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        if (c == nullptr || SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION) != 1) {
            fprintf(stderr, "loadgen: no TLS context\n");
            ERR_print_errors_fp(stderr);
            exit(2);
        }
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        // A read takes whatever the socket holds, several records at once,
        // rather than a record header and then its body.
        SSL_CTX_set_read_ahead(c, 1);
        // A write that has to wait is retried from the same bytes, which
        // may have moved since (requests are appended to the output while
        // it waits); each record sent counts as progress.
        SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        return c;
    }();
    return ctx;
}

// What a failed SSL call (ret, and err = SSL_get_error of it) says, read
// right after the call: the library's error queue first.
std::string tlsFailure(int ret, int err) {
    unsigned long code = ERR_get_error();
    char buf[256];
    if (code != 0) {
        ERR_error_string_n(code, buf, sizeof buf);
        return buf;
    }
    if (err == SSL_ERROR_ZERO_RETURN)
        return "closed by the server (close_notify)";
    if (err == SSL_ERROR_SYSCALL)
        return ret == 0 || errno == 0 ? "closed by the server" : strerror(errno);
    snprintf(buf, sizeof buf, "SSL error %d", err);
    return buf;
}

// Outside the measured window: waits until the socket can give what the
// last SSL call on it asked for (err, its SSL_get_error). False when the
// call failed for another reason or the deadline has passed.
bool waitTls(int fd, int err, int64_t deadline) {
    short events = err == SSL_ERROR_WANT_READ ? POLLIN : err == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    int64_t left = (deadline - monoNs()) / 1000000;
    if (events == 0 || left <= 0)
        return false;
    pollfd p{fd, events, 0};
    ::poll(&p, 1, int(left));  // a time-out shows on the next pass
    return true;
}

// The client handshake on a connected non-blocking socket. nullptr on
// failure, with the reason in why.
SSL* tlsHandshake(int fd, int64_t deadline, std::string& why) {
    SSL* ssl = SSL_new(tlsContext());
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
        why = tlsFailure(-1, SSL_ERROR_SSL);
        SSL_free(ssl);
        return nullptr;
    }
    for (;;) {
        ERR_clear_error();
        int r = SSL_connect(ssl);
        if (r == 1)
            return ssl;
        int err = SSL_get_error(ssl, r);
        if (!waitTls(fd, err, deadline)) {
            why = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE ? "handshake timed out" : tlsFailure(r, err);
            SSL_free(ssl);
            return nullptr;
        }
    }
}

// readLine through TLS. The library may already hold the bytes asked for,
// so it is asked first and the socket polled only when it wants one.
bool readLineTls(SSL* ssl, int fd, std::string& line, int64_t deadline) {
    line.clear();
    for (;;) {
        char ch;
        ERR_clear_error();
        int n = SSL_read(ssl, &ch, 1);
        if (n <= 0) {
            if (!waitTls(fd, SSL_get_error(ssl, n), deadline))
                return false;
            continue;
        }
        if (ch == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return true;
        }
        line.push_back(ch);
    }
}

bool writeAllTls(SSL* ssl, int fd, const std::string& s, int64_t deadline) {
    size_t done = 0;
    while (done < s.size()) {
        ERR_clear_error();
        int n = SSL_write(ssl, s.data() + done, int(s.size() - done));
        if (n > 0)
            done += size_t(n);
        else if (!waitTls(fd, SSL_get_error(ssl, n), deadline))
            return false;
    }
    return true;
}

// Sends close_notify if the socket takes it at once, then lets go.
void tlsClose(SSL* ssl) {
    SSL_shutdown(ssl);
    SSL_free(ssl);
}

std::vector<std::string> loadRequests(const Options& o) {
    std::vector<std::string> reqs;
    if (o.requestsFile.empty()) {
        reqs.push_back(o.request + "\r\n");
        return reqs;
    }
    FILE* f = fopen(o.requestsFile.c_str(), "r");
    if (f == nullptr)
        die(o.requestsFile.c_str());
    char* line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, f)) > 0) {
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
            n--;
        if (n > 0)
            reqs.push_back(std::string(line, size_t(n)) + "\r\n");
    }
    free(line);
    fclose(f);
    if (reqs.empty()) {
        fprintf(stderr, "loadgen: %s holds no request\n", o.requestsFile.c_str());
        exit(2);
    }
    return reqs;
}

template <bool kTls>
class Generator {
public:
    explicit Generator(const Options& o) : o_(o), reqs_(loadRequests(o)) {}

    int run() {
        raiseFileLimit();
        openIdle();
        openActive();
        int64_t limit = monoNs() + 30 * int64_t(1000000000);
        while (greetingsLeft_ > 0 && live_ > 0 && monoNs() < limit)
            poll(100);
        if (greetingsLeft_ > 0) {
            fprintf(stderr, "loadgen: %d greetings missing after 30 s\n", greetingsLeft_);
            return 2;
        }
        if (o_.warmup > 0) {
            issuing_ = true;
            fillAll();
            int64_t until = monoNs() + int64_t(o_.warmup * 1e9);
            while (monoNs() < until && live_ > 0)
                poll(int((until - monoNs()) / 1000000) + 1);
            if (o_.count > 0) {
                // A counted run starts with nothing in flight, so its time
                // is the time of exactly the counted requests.
                issuing_ = false;
                until = monoNs() + 30 * int64_t(1000000000);
                while (inflight() > 0 && live_ > 0 && monoNs() < until)
                    poll(100);
            }
        }
        openWindow();
        issuing_ = true;
        fillAll();
        int64_t deadline = windowStart_ + int64_t(o_.seconds * 1e9);
        while (live_ > 0) {
            if (o_.count > 0) {
                if (completed_ >= uint64_t(o_.count))
                    break;
                if (monoNs() > windowStart_ + 600 * int64_t(1000000000)) {
                    fprintf(stderr, "loadgen: count not reached in 600 s\n");
                    break;
                }
                poll(100);
            } else {
                int64_t left = deadline - monoNs();
                if (left <= 0)
                    break;
                poll(int(left / 1000000) + 1);
            }
        }
        int64_t windowEnd = o_.count > 0 ? lastCompletion_ : monoNs();
        report(windowEnd);
        for (Conn& c : conns_)
            if (c.fd >= 0) {
                if constexpr (kTls)
                    tlsClose(c.ssl);
                close(c.fd);
            }
        for (SSL* ssl : idleSsl_)
            tlsClose(ssl);
        for (int fd : idleFds_)
            close(fd);
        return closed_ > 0 || errors_ > 0 || completed_ == 0 ? 1 : 0;
    }

private:
    // The handshake of a freshly connected socket; a failure ends the run,
    // as a failed connect does.
    SSL* handshake(int fd, int index, int64_t deadline) {
        std::string why;
        SSL* ssl = tlsHandshake(fd, deadline, why);
        if (ssl == nullptr) {
            fprintf(stderr, "loadgen: TLS handshake %d: %s\n", index, why.c_str());
            exit(2);
        }
        if (tlsInfo_.empty())
            tlsInfo_ = std::string(SSL_get_version(ssl)) + "/" + SSL_get_cipher_name(ssl);
        return ssl;
    }

    // Idle connections are proven admitted before the load starts: by the
    // greeting when the server sends one, otherwise by one answered request.
    // Afterwards they stay silent and unread.
    void openIdle() {
        int64_t deadline = monoNs() + 120 * int64_t(1000000000);
        std::string line;
        for (int i = 0; i < o_.idle; i++) {
            int fd = connectOne(o_, o_.conns + i, false);
            if (fd < 0)
                die("idle connection");
            if constexpr (kTls) {
                SSL* ssl = handshake(fd, o_.conns + i, deadline);
                if (!o_.greeting && !writeAllTls(ssl, fd, reqs_[0], deadline)) {
                    fprintf(stderr, "loadgen: idle connection %d: TLS send failed\n", i);
                    exit(2);
                }
                if (!readLineTls(ssl, fd, line, deadline) || line.compare(0, 1, "-") == 0) {
                    fprintf(stderr, "loadgen: idle connection %d not admitted: %s\n", i, line.c_str());
                    exit(2);
                }
                // Silent from here on: the library's buffers go back until
                // it needs them again.
                SSL_set_mode(ssl, SSL_MODE_RELEASE_BUFFERS);
                idleSsl_.push_back(ssl);
                idleFds_.push_back(fd);
                continue;
            }
            if (!o_.greeting) {
                const std::string& r = reqs_[0];
                if (send(fd, r.data(), r.size(), MSG_NOSIGNAL) != ssize_t(r.size()))
                    die("idle connection: send");
            }
            if (!readLine(fd, line, deadline) || line.compare(0, 1, "-") == 0) {
                fprintf(stderr, "loadgen: idle connection %d not admitted: %s\n", i, line.c_str());
                exit(2);
            }
            idleFds_.push_back(fd);
        }
    }

    void openActive() {
        ep_ = epoll_create1(EPOLL_CLOEXEC);
        if (ep_ < 0)
            die("epoll_create1");
        conns_.reserve(size_t(o_.conns));  // Conn addresses stay fixed from here on
        int64_t deadline = monoNs() + 120 * int64_t(1000000000);
        for (int i = 0; i < o_.conns; i++) {
            conns_.emplace_back(o_.mode);
            Conn& c = conns_.back();
            c.fd = connectOne(o_, i, false);
            if (c.fd < 0)
                die("connection");
            if constexpr (kTls)
                c.ssl = handshake(c.fd, i, deadline);
            c.sent.assign(size_t(o_.pipeline), 0);
            c.out.reserve(4096);
            c.awaitingGreeting = o_.greeting;
            if (o_.greeting)
                greetingsLeft_++;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u32 = uint32_t(i);
            if (epoll_ctl(ep_, EPOLL_CTL_ADD, c.fd, &ev) != 0)
                die("epoll_ctl");
            live_++;
            // The handshake's last read may have brought the greeting too:
            // bytes the library holds are never reported by epoll.
            if constexpr (kTls)
                if (SSL_has_pending(c.ssl))
                    receive(c);
        }
    }

    void openWindow() {
        hist_.clear();
        completed_ = 0;
        errors_ = 0;
        items_ = 0;
        windowStart_ = monoNs();
        lastCompletion_ = windowStart_;
        cpuStart_ = cpuSeconds();
        serverCpuStart_ = processCpuSeconds(o_.serverPid);
        measuring_ = true;
    }

    void report(int64_t windowEnd) {
        double elapsed = std::max(1e-9, double(windowEnd - windowStart_) / 1e9);
        double cpu = cpuSeconds() - cpuStart_;
        double serverCpuEnd = processCpuSeconds(o_.serverPid);
        uint64_t items = items_;
        printf("RESULT label=%s conns=%d idle=%d pipeline=%d seconds=%.3f requests=%llu rps=%.0f "
               "p50_us=%.1f p99_us=%.1f max_us=%.1f mean_us=%.1f client_cpu=%.2f",
               o_.label.c_str(), o_.conns, o_.idle, o_.pipeline, elapsed, (unsigned long long)completed_,
               double(completed_) / elapsed, hist_.quantileNs(0.50) / 1e3, hist_.quantileNs(0.99) / 1e3,
               double(hist_.maxNs()) / 1e3, hist_.meanNs() / 1e3, cpu / elapsed);
        if (o_.serverPid > 0 && serverCpuStart_ >= 0 && serverCpuEnd >= 0)
            printf(" server_cpu=%.2f", (serverCpuEnd - serverCpuStart_) / elapsed);
        printf(" items=%llu items_per_s=%.0f errors=%llu closed=%d", (unsigned long long)items,
               double(items) / elapsed, (unsigned long long)errors_, closed_);
        if constexpr (kTls)
            printf(" tls=%s", tlsInfo_.c_str());
        printf("\n");
        fflush(stdout);
    }

    bool mayIssue() const { return issuing_ && !(o_.count > 0 && measuring_ && issued_ >= uint64_t(o_.count)); }

    void fillAll() {
        int64_t now = monoNs();
        for (Conn& c : conns_)
            if (!c.awaitingGreeting)
                fill(c, now);
    }

    size_t inflight() const {
        size_t n = 0;
        for (const Conn& c : conns_)
            if (c.fd >= 0)
                n += c.inflight;
        return n;
    }

    void fill(Conn& c, int64_t now) {
        bool added = false;
        while (c.fd >= 0 && c.inflight < size_t(o_.pipeline) && mayIssue()) {
            const std::string& r = reqs_[nextReq_];
            if (++nextReq_ == reqs_.size())
                nextReq_ = 0;
            c.out.append(r);
            c.sent[(c.sentHead + c.inflight) % c.sent.size()] = now;
            c.inflight++;
            if (measuring_)
                issued_++;
            added = true;
        }
        if (added && !c.wantOut)
            flush(c);
    }

    void flush(Conn& c) {
        if constexpr (kTls) {
            flushTls(c);
            return;
        }
        while (c.outPos < c.out.size()) {
            ssize_t n = send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL);
            if (n > 0) {
                c.outPos += size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!c.wantOut)
                    watchOut(c, true);
                return;
            }
            lose(c, "send failed");
            return;
        }
        c.out.clear();
        c.outPos = 0;
        if (c.wantOut)
            watchOut(c, false);
    }

    // SSL_write through the same steps as send; it may also have to wait
    // for the socket to bring bytes first (a renegotiation, under TLS 1.2),
    // and then goes on after the next read.
    void flushTls(Conn& c) {
        c.writeWantsRead = false;
        while (c.outPos < c.out.size()) {
            size_t left = std::min<size_t>(c.out.size() - c.outPos, 1 << 30);
            ERR_clear_error();
            int n = SSL_write(c.ssl, c.out.data() + c.outPos, int(left));
            if (n > 0) {
                c.outPos += size_t(n);
                continue;
            }
            int err = SSL_get_error(c.ssl, n);
            if (err == SSL_ERROR_WANT_WRITE) {
                if (!c.wantOut)
                    watchOut(c, true);
                return;
            }
            if (err == SSL_ERROR_WANT_READ) {
                c.writeWantsRead = true;
                return;
            }
            lose(c, tlsFailure(n, err).c_str());
            return;
        }
        c.out.clear();
        c.outPos = 0;
        if (c.wantOut)
            watchOut(c, false);
    }

    void watchOut(Conn& c, bool on) {
        c.wantOut = on;
        if constexpr (kTls)
            on = on || c.readWantsWrite;
        epoll_event ev{};
        ev.events = uint32_t(EPOLLIN) | (on ? uint32_t(EPOLLOUT) : 0u);
        ev.data.u32 = uint32_t(&c - conns_.data());
        epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
    }

    void lose(Conn& c, const char* why) {
        if (c.fd < 0)
            return;
        fprintf(stderr, "loadgen: connection %d lost (%s)\n", int(&c - conns_.data()), why);
        if (c.awaitingGreeting)
            greetingsLeft_--;
        epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
        if constexpr (kTls) {
            SSL_free(c.ssl);  // no close_notify on a connection that failed
            c.ssl = nullptr;
        }
        close(c.fd);
        c.fd = -1;
        closed_++;
        live_--;
    }

    void poll(int timeoutMs) {
        epoll_event evs[256];
        int n = epoll_wait(ep_, evs, 256, std::min(timeoutMs, 100));
        if (n < 0) {
            if (errno == EINTR)
                return;
            die("epoll_wait");
        }
        for (int i = 0; i < n; i++) {
            Conn& c = conns_[evs[i].data.u32];
            if constexpr (kTls) {
                if (c.fd >= 0 && (evs[i].events & EPOLLOUT) && c.readWantsWrite) {
                    c.readWantsWrite = false;
                    receive(c);
                    if (c.fd >= 0 && !c.readWantsWrite)
                        watchOut(c, c.wantOut);
                }
            }
            if (c.fd >= 0 && (evs[i].events & EPOLLOUT))
                flush(c);
            if (c.fd >= 0 && (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                receive(c);
        }
    }

    // One read per readiness: the socket stays readable (level-triggered)
    // if more is waiting, and the other connections get their turn.
    void receive(Conn& c) {
        if constexpr (kTls) {
            receiveTls(c);
            return;
        }
        ssize_t n = recv(c.fd, buf_, sizeof buf_, 0);
        if (n == 0) {
            lose(c, "closed by the server");
            return;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                lose(c, strerror(errno));
            return;
        }
        consume(c, buf_, size_t(n));
    }

    // Through TLS a read of the socket may bring more than one record, and
    // what the library keeps is never reported by epoll: it is read out
    // until the library holds nothing. Whatever is left is in the socket,
    // which stays readable. A record is at most 16 KiB, so the other
    // connections still get their turn soon.
    void receiveTls(Conn& c) {
        for (;;) {
            ERR_clear_error();
            int n = SSL_read(c.ssl, buf_, sizeof buf_);
            if (n > 0) {
                consume(c, buf_, size_t(n));
                if (c.fd < 0)
                    return;
                if (SSL_has_pending(c.ssl))
                    continue;
                break;
            }
            int err = SSL_get_error(c.ssl, n);
            if (err == SSL_ERROR_WANT_READ)
                break;
            if (err == SSL_ERROR_WANT_WRITE) {  // goes on when the socket is writable
                c.readWantsWrite = true;
                watchOut(c, c.wantOut);
                break;
            }
            if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && n == 0 && ERR_peek_error() == 0))
                lose(c, "closed by the server");
            else
                lose(c, tlsFailure(n, err).c_str());
            return;
        }
        if (c.writeWantsRead)
            flushTls(c);
    }

    // The bytes of one read: the greeting first, then replies.
    void consume(Conn& c, const char* p, size_t len) {
        if (c.awaitingGreeting) {
            const char* nl = static_cast<const char*>(memchr(p, '\n', len));
            size_t upto = nl ? size_t(nl - p) + 1 : len;
            c.greetingLine.append(p, upto);
            p += upto;
            len -= upto;
            if (nl == nullptr)
                return;
            c.awaitingGreeting = false;
            greetingsLeft_--;
            if (c.greetingLine.compare(0, 3, "+OK") != 0) {
                fprintf(stderr, "loadgen: refused: %s", c.greetingLine.c_str());
                lose(c, "refused");
                return;
            }
            fill(c, monoNs());
            if (len == 0)
                return;
        }
        int64_t now = monoNs();
        c.parser.feed(p, len, [&](bool isError) { replied(c, now, isError); });
        fill(c, now);
    }

    void replied(Conn& c, int64_t now, bool isError) {
        if (c.inflight == 0) {
            errors_++;  // a reply nobody asked for
            return;
        }
        int64_t t = c.sent[c.sentHead];
        c.sentHead = (c.sentHead + 1) % c.sent.size();
        c.inflight--;
        uint64_t items = c.parser.items - c.itemsMark;
        c.itemsMark = c.parser.items;
        if (!measuring_ || t < windowStart_)
            return;  // asked before the window opened
        hist_.add(now - t);
        completed_++;
        items_ += items;
        lastCompletion_ = now;
        if (isError)
            errors_++;
    }

    const Options& o_;
    std::vector<std::string> reqs_;
    size_t nextReq_ = 0;
    std::vector<Conn> conns_;
    std::vector<int> idleFds_;
    std::vector<SSL*> idleSsl_;
    std::string tlsInfo_;  // version and cipher of the first handshake
    static char buf_[1 << 20];
    int ep_ = -1;
    int live_ = 0, closed_ = 0, greetingsLeft_ = 0;
    bool measuring_ = false, issuing_ = false;
    uint64_t issued_ = 0, completed_ = 0, errors_ = 0, items_ = 0;
    int64_t windowStart_ = 0, lastCompletion_ = 0;
    double cpuStart_ = 0, serverCpuStart_ = -1;
    Histogram hist_;
};

template <bool kTls>
char Generator<kTls>::buf_[1 << 20];

// Start-up time: connect until the port answers, then ask until the reply's
// first line is exactly --expect. Time counts from --t0-ns (wall clock, taken
// by the script just before it started the server) or from our own start.
int waitReady(const Options& o) {
    int64_t startReal = o.t0Ns > 0 ? o.t0Ns : realNs();
    int64_t deadline = monoNs() + int64_t(o.timeout * 1e9);
    std::string req = o.request + "\r\n";
    std::string line;
    int attempts = 0;
    while (monoNs() < deadline) {
        int fd = connectOne(o, 0, true);
        if (fd < 0) {
            usleep(1000);
            continue;
        }
        int64_t connectedReal = realNs();
        bool ok = !o.greeting || readLine(fd, line, deadline);
        while (ok && monoNs() < deadline) {
            attempts++;
            if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != ssize_t(req.size()) ||
                !readLine(fd, line, deadline)) {
                ok = false;
                break;
            }
            if (line == o.expect) {
                int64_t readyReal = realNs();
                printf("RESULT label=%s ready_ms=%.1f connect_ms=%.1f attempts=%d\n", o.label.c_str(),
                       double(readyReal - startReal) / 1e6, double(connectedReal - startReal) / 1e6, attempts);
                fflush(stdout);
                close(fd);
                return 0;
            }
            usleep(1000);  // still loading, for instance: ask again shortly
        }
        close(fd);
        usleep(1000);
    }
    fprintf(stderr, "loadgen: %s: not ready within %.0f s (last reply: %s)\n", o.label.c_str(), o.timeout,
            line.c_str());
    return 1;
}

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        die("bind");
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    printf("%d\n", ntohs(a.sin_port));
    close(fd);
    return 0;
}

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: bench_loadgen --port P [options]\n"
            "  --host A            server address (127.0.0.1)\n"
            "  --conns N           active connections (50)\n"
            "  --pipeline N        requests in flight per connection (1)\n"
            "  --src-spread K      bind connection i to 127.0.0.(2 + i mod K)\n"
            "  --idle M            extra connections, admitted once, then silent\n"
            "  --greeting          discard one line on connect\n"
            "  --tls               TLS 1.2 or 1.3 on every connection, certificate not checked\n"
            "  --mode line|multi|resp  reply shape (line)\n"
            "  --request LINE      the request (NOOP); CR LF is added\n"
            "  --requests FILE     requests taken in turn, one a line\n"
            "  --seconds S         measured window (5)\n"
            "  --count C           measure C replies instead of a time\n"
            "  --warmup S          traffic before the window (0)\n"
            "  --server-pid PID    also report the server's CPU share\n"
            "  --label NAME        name in the result line\n"
            "  --wait-ready --expect LINE [--t0-ns NS] [--timeout S]\n"
            "                      time until a reply's first line is LINE\n"
            "  --free-port         print a free loopback port and exit\n");
    exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--host") o.host = next();
        else if (a == "--port") o.port = atoi(next());
        else if (a == "--conns") o.conns = atoi(next());
        else if (a == "--pipeline") o.pipeline = atoi(next());
        else if (a == "--src-spread") o.srcSpread = atoi(next());
        else if (a == "--idle") o.idle = atoi(next());
        else if (a == "--greeting") o.greeting = true;
        else if (a == "--tls") o.tls = true;
        else if (a == "--mode") {
            std::string m = next();
            if (m == "line") o.mode = Mode::Line;
            else if (m == "multi") o.mode = Mode::Multi;
            else if (m == "resp") o.mode = Mode::Resp;
            else usage();
        }
        else if (a == "--request") o.request = next();
        else if (a == "--requests") o.requestsFile = next();
        else if (a == "--seconds") o.seconds = atof(next());
        else if (a == "--count") o.count = atoll(next());
        else if (a == "--warmup") o.warmup = atof(next());
        else if (a == "--server-pid") o.serverPid = atoi(next());
        else if (a == "--label") o.label = next();
        else if (a == "--wait-ready") o.waitReady = true;
        else if (a == "--expect") o.expect = next();
        else if (a == "--t0-ns") o.t0Ns = atoll(next());
        else if (a == "--timeout") o.timeout = atof(next());
        else if (a == "--free-port") o.freePort = true;
        else usage();
    }
    if (o.freePort)
        return o;
    if (o.port <= 0 || o.port > 65535 || o.conns < 1 || o.pipeline < 1 || o.srcSpread < 0 || o.idle < 0 ||
        (o.waitReady && (o.expect.empty() || o.tls)))  // the start-up wait is plain only
        usage();
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    if (o.freePort)
        return freePort();
    if (o.waitReady)
        return waitReady(o);
    if (o.tls) {
        signal(SIGPIPE, SIG_IGN);  // the library writes to the socket without MSG_NOSIGNAL
        Generator<true> g(o);
        return g.run();
    }
    Generator<false> g(o);
    return g.run();
}
