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
double measure(const std::vector<int>& active, double seconds) {
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
            return -1;
    }
    long trips = 0;
    double start = now(), end = start + seconds;
    epoll_event evs[64];
    char buf[4096];
    while (now() < end) {
        int n = epoll_wait(ep, evs, 64, 100);
        for (int k = 0; k < n; k++) {
            size_t i = evs[k].data.u64;
            ssize_t r = read(active[i], buf, sizeof buf);
            if (r <= 0)
                return -1;
            got[i] += size_t(r);
            while (got[i] >= kMessage) {
                got[i] -= kMessage;
                trips++;
                if (write(active[i], out, sizeof out) != ssize_t(sizeof out))
                    return -1;
            }
        }
    }
    double elapsed = now() - start;
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
    return double(trips) / elapsed;
}

double median3(const std::vector<int>& active, double seconds) {
    double r[3];
    for (double& x : r)
        x = measure(active, seconds);
    std::sort(r, r + 3);
    return r[1];
}

bool openIdle(uint16_t port, std::vector<int>& idle) {
    std::vector<int> pending;
    for (int i = 0; i < kIdle; i++) {
        uint32_t source = 0x7F000002u + uint32_t(i % kSources);
        int fd = connectFrom(source, port, false);
        if (fd < 0) {
            perror("idle connect");
            return false;
        }
        idle.push_back(fd);
        // Let the server's accept keep pace with the backlog of 15.
        if (i % 10 == 9) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 2000);
        }
    }
    // Every idle connection answers once, which proves it was accepted and
    // is served; then it stays silent.
    for (int fd : idle) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 5000) != 1 || write(fd, "i", 1) != 1)
            return false;
    }
    char c;
    for (int fd : idle) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1 || read(fd, &c, 1) != 1)
            return false;
    }
    return true;
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

    pid_t server = fork();
    if (server == 0)
        runEventLoop();
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

    printf("engine echo over loopback, %zu-byte messages, median of 3 runs of %.1f s\n", kMessage, seconds);
    measure(active, 0.5);  // warm-up
    double base1 = median3(one, seconds);
    double base50 = median3(active, seconds);
    printf("  no idle connections:     1 active %9.0f round trips/s   50 active %9.0f round trips/s\n", base1, base50);

    std::vector<int> idle;
    double t0 = now();
    if (!openIdle(port, idle)) {
        fprintf(stderr, "could not open %d idle connections\n", kIdle);
        kill(server, SIGKILL);
        return 1;
    }
    printf("  opened and checked %zu idle connections in %.1f s\n", idle.size(), now() - t0);
    measure(active, 0.5);
    double idle1 = median3(one, seconds);
    double idle50 = median3(active, seconds);
    printf("  %d idle connections: 1 active %9.0f round trips/s   50 active %9.0f round trips/s\n", kIdle, idle1,
           idle50);
    printf("  with idle / without:     1 active %8.1f%%               50 active %8.1f%%\n", 100 * idle1 / base1,
           100 * idle50 / base50);

    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    return 0;
}
