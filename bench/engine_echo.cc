// Round trips over loopback through the event engine, with and without
// 10,000 idle connections. The server (an echo connection behind a TEscuta)
// runs in a child process; the clients run here, driven by one epoll loop,
// each active connection keeping one 32-byte request in flight.
//
//   bench_engine_echo [seconds per measurement, default 3]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/comunica.h"
#include "engine/escuta.h"
#include "engine/loop.h"
#include "engine/platform.h"

namespace {

struct Eco : TComunica {
    void cEvento(const char* d, int32_t n) override {
        if (d != nullptr)
            cEnvia(d, n);
        else if (n == 0)
            delete this;
    }
};

struct EscutaEco : TEscuta {
    void cAceita(int s, const PeerAddress&) override { (new Eco)->cConecta(s); }
};

constexpr int kIdle = 10000;
constexpr int kSources = 10;  // 127.0.0.2 .. 127.0.0.11, 1000 idle connections each
constexpr size_t kMessage = 32;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int connectFrom(uint32_t source, uint16_t port, bool blocking) {
    int fd = socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (source != 0) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(source);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

// Keeps one request in flight on each active connection for the given time;
// returns completed round trips per second.
pid_t server = -1;

// Processor time the server has used, from /proc; ticks of 10 ms or so,
// plenty over a measurement of tens of thousands of round trips.
double serverCpuSeconds() {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(server));
    FILE* f = fopen(path, "r");
    if (f == nullptr)
        return 0;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    const char* p = strrchr(buf, ')');  // the command name may hold spaces
    unsigned long utime = 0, stime = 0;
    if (p == nullptr ||
        sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return 0;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

struct Figures {
    double rate;   // round trips per second
    double cpuUs;  // server processor time per round trip, microseconds
};

Figures measure(const std::vector<int>& active, double seconds) {
    int ep = epoll_create1(0);
    char out[kMessage];
    memset(out, 'q', sizeof out);
    std::vector<size_t> got(active.size(), 0);
    for (size_t i = 0; i < active.size(); i++) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, active[i], &ev);
        if (write(active[i], out, sizeof out) != ssize_t(sizeof out))
            return Figures{-1, 0};
    }
    long trips = 0;
    double cpu0 = serverCpuSeconds();
    double start = now(), end = start + seconds;
    epoll_event evs[64];
    char buf[4096];
    while (now() < end) {
        int n = epoll_wait(ep, evs, 64, 100);
        for (int k = 0; k < n; k++) {
            size_t i = evs[k].data.u64;
            ssize_t r = read(active[i], buf, sizeof buf);
            if (r <= 0)
                return Figures{-1, 0};
            got[i] += size_t(r);
            while (got[i] >= kMessage) {
                got[i] -= kMessage;
                trips++;
                if (write(active[i], out, sizeof out) != ssize_t(sizeof out))
                    return Figures{-1, 0};
            }
        }
    }
    double elapsed = now() - start;
    double cpu = serverCpuSeconds() - cpu0;
    // Collect the replies still in flight so the next measurement starts clean.
    for (size_t i = 0; i < active.size(); i++) {
        while (got[i] < kMessage) {
            pollfd p{active[i], POLLIN, 0};
            if (poll(&p, 1, 2000) != 1)
                break;
            ssize_t r = read(active[i], buf, kMessage - got[i]);
            if (r <= 0)
                break;
            got[i] += size_t(r);
        }
    }
    close(ep);
    return Figures{double(trips) / elapsed, trips > 0 ? cpu * 1e6 / double(trips) : 0};
}

// Median of three, each figure on its own.
Figures median3(const std::vector<int>& active, double seconds) {
    double r[3], c[3];
    for (int i = 0; i < 3; i++) {
        Figures f = measure(active, seconds);
        r[i] = f.rate;
        c[i] = f.cpuUs;
    }
    std::sort(r, r + 3);
    std::sort(c, c + 3);
    return Figures{r[1], c[1]};
}

void report(const char* label, const Figures& one, const Figures& fifty) {
    printf("  %-24s 1 active %8.0f/s %6.1f us   50 active %8.0f/s %6.1f us\n", label, one.rate, one.cpuUs,
           fifty.rate, fifty.cpuUs);
}

// One connection at a time, each checked by one echo before the next: that
// proves it was accepted and is served, and never lets the backlog of 15
// overflow (an overflowing backlog costs seconds of SYN retries). Then
// every one of them stays silent.
bool openIdle(uint16_t port, std::vector<int>& idle) {
    char c;
    for (int i = 0; i < kIdle; i++) {
        uint32_t source = 0x7F000002u + uint32_t(i % kSources);
        int fd = connectFrom(source, port, true);
        if (fd < 0) {
            perror("idle connect");
            return false;
        }
        idle.push_back(fd);
        pollfd p{fd, POLLIN, 0};
        if (write(fd, "i", 1) != 1 || poll(&p, 1, 5000) != 1 || read(fd, &c, 1) != 1)
            return false;
    }
    return true;
}

// Client and server each get a processor of their own when there are two,
// so that every measurement sees the same placement; left to the scheduler,
// a ping-pong between two processes varies severalfold from run to run.
void pinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    platformStart();  // raises the descriptor limit, for both processes
    signal(SIGPIPE, SIG_IGN);

    EscutaEco* escuta = new EscutaEco;
    if (const char* erro = escuta->cAbre("127.0.0.1", 0)) {
        puts(erro);
        return 1;
    }
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(escuta->socket(), reinterpret_cast<sockaddr*>(&a), &len);
    uint16_t port = ntohs(a.sin_port);

    bool pin = sysconf(_SC_NPROCESSORS_ONLN) >= 2;
    server = fork();
    if (server == 0) {
        if (pin)
            pinTo(0);
        runEventLoop();
    }
    if (pin)
        pinTo(1);
    // The listener belongs to the child now.
    close(escuta->socket());

    std::vector<int> active;
    for (int i = 0; i < 50; i++) {
        int fd = connectFrom(0, port, true);
        if (fd < 0) {
            perror("connect");
            kill(server, SIGKILL);
            return 1;
        }
        active.push_back(fd);
    }
    std::vector<int> one(active.begin(), active.begin() + 1);

    printf("engine echo over loopback, %zu-byte messages, median of 3 runs of %.1f s%s\n", kMessage, seconds,
           pin ? ", server and client on processors 0 and 1" : "");
    // Without, with, and without again: the machine drifts between runs, so
    // each figure with idle connections is set against both neighbours.
    printf("  (round trips per second, and the server's processor time per round trip)\n");
    measure(active, 1.0);  // warm-up
    Figures before1 = median3(one, seconds);
    Figures before50 = median3(active, seconds);
    report("no idle connections:", before1, before50);

    std::vector<int> idle;
    double t0 = now();
    if (!openIdle(port, idle)) {
        fprintf(stderr, "could not open %d idle connections\n", kIdle);
        kill(server, SIGKILL);
        return 1;
    }
    printf("  opened and checked %zu idle connections in %.1f s\n", idle.size(), now() - t0);
    measure(active, 0.5);
    Figures idle1 = median3(one, seconds);
    Figures idle50 = median3(active, seconds);
    report("10000 idle connections:", idle1, idle50);

    for (int fd : idle)
        close(fd);
    sleep(2);  // the server sees 10,000 closed events and destroys the connections
    measure(active, 0.5);
    Figures after1 = median3(one, seconds);
    Figures after50 = median3(active, seconds);
    report("idle ones closed again:", after1, after50);
    printf("  with idle / without (mean of both): round trips 1 active %.1f%%, 50 active %.1f%%;"
           " server time per trip 1 active %.1f%%, 50 active %.1f%%\n",
           200 * idle1.rate / (before1.rate + after1.rate), 200 * idle50.rate / (before50.rate + after50.rate),
           200 * idle1.cpuUs / (before1.cpuUs + after1.cpuUs), 200 * idle50.cpuUs / (before50.cpuUs + after50.cpuUs));

    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    return 0;
}
