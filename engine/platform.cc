// Linux system calls behind the engine's and the registry's needs. Every
// call that can be interrupted is retried on EINTR; errno is read only here.
// Every system call is made through platformCalls.
#include "engine/platform.h"
#include "engine/platform_interno.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>
#include <sys/ioctl.h>
#include <linux/sockios.h>

struct PlatformSignalSet {
    sigset_t set;
};

namespace {

// Where the system's declaration names a type the table cannot (a variadic
// argument, sigset_t), a call of the same arguments stands in for it.
int sysOpen(const char* name, int flags, unsigned mode) { return open(name, flags, mode_t(mode)); }
int sysFcntl(int fd, int command, int argument) { return fcntl(fd, command, argument); }
int sysIoctl(int fd, unsigned long request, int* value) { return ioctl(fd, request, value); }
int sysEpollPwait(int ep, epoll_event* events, int max, int timeoutMs, const PlatformSignalSet* mask) {
    return epoll_pwait(ep, events, max, timeoutMs, mask != nullptr ? &mask->set : nullptr);
}

}  // namespace

const PlatformCalls platformSystemCalls = {
    sysOpen,   read,   write,  pread,  pwrite, ftruncate, fdatasync, fsync,   fstat,       lstat,
    close,     flock,  fchown, fchmod, unlink, link,      rename,    socket,  setsockopt,  sysFcntl,
    bind,      listen, accept4, recv,  send,   sendmsg,   sendto,    sysIoctl, epoll_create1, epoll_ctl, sysEpollPwait, poll,
    clock_gettime, time, localtime_r, getrlimit, setrlimit, mmap, munmap,
};

PlatformCalls platformCalls = platformSystemCalls;

namespace {

int epollFd = -1;

int epollSet() {
    if (epollFd < 0)
        epollFd = platformCalls.epoll_create1(EPOLL_CLOEXEC);
    return epollFd;
}

}  // namespace

int platformLastErrno = 0;

const char* platformErrorText() { return strerror(platformLastErrno); }

void platformStart() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim;
    if (platformCalls.getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        platformCalls.setrlimit(RLIMIT_NOFILE, &lim);  // a refusal leaves the old limit, which still works
    }
}

void platformReleaseMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

void* platformMapMemory(size_t bytes) {
    void* p = platformCalls.mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED) {
        remember();
        return nullptr;
    }
    return p;
}

void platformUnmapMemory(void* memory, size_t bytes) {
    if (memory != nullptr)
        platformCalls.munmap(memory, bytes);
}

int platformDescriptorLimit() {
    rlimit lim;
    if (platformCalls.getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur > rlim_t(INT32_MAX))
        return INT32_MAX;
    return int(lim.rlim_cur);
}

namespace {
volatile sig_atomic_t sinalDeFim = 0;
volatile sig_atomic_t sinalHup = 0;
bool sinaisPresos = false;
PlatformSignalSet mascaraDaEspera;  // the mask of the wait: the caught signals let through
void anotaFim(int sinal) { sinalDeFim = sinal; }
void anotaHup(int) { sinalHup = 1; }
}  // namespace

void platformCatchStopSignals() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = anotaFim;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // SIGHUP's default would end the process with a status that a service
    // manager takes for a clean stop, and leave the service down.
    sa.sa_handler = anotaHup;
    sigaction(SIGHUP, &sa, nullptr);
    // Blocked outside the wait, let through only inside it: a signal that
    // comes during a pass is taken at the next wait, which it ends at once.
    sigset_t presos;
    sigemptyset(&presos);
    sigaddset(&presos, SIGTERM);
    sigaddset(&presos, SIGINT);
    sigaddset(&presos, SIGHUP);
    sigprocmask(SIG_BLOCK, &presos, &mascaraDaEspera.set);
    sigdelset(&mascaraDaEspera.set, SIGTERM);
    sigdelset(&mascaraDaEspera.set, SIGINT);
    sigdelset(&mascaraDaEspera.set, SIGHUP);
    sinaisPresos = true;
}

int platformStopSignal() { return int(sinalDeFim); }

bool platformTakeHangup() {
    if (sinalHup == 0)
        return false;
    sinalHup = 0;
    return true;
}

const char* platformSignalName(int sinal) {
    return sinal == SIGTERM ? "SIGTERM" : sinal == SIGINT ? "SIGINT" : "a signal";
}

void platformExit(int status) {
    fflush(stdout);
    exit(status);
}

void platformWriteError(const char* bytes, size_t n) {
    while (n > 0) {
        long w = platformCalls.write(2, bytes, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;  // nobody left to tell
        bytes += w;
        n -= size_t(w);
    }
}

int64_t platformMilliseconds() {
    timespec ts;
    platformCalls.clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

PlatformLocalTime platformLocalTime() {
    time_t now = platformCalls.time(nullptr);
    tm t;
    platformCalls.localtime_r(&now, &t);
    return PlatformLocalTime{t.tm_year + 1900, t.tm_yday, t.tm_hour, t.tm_min, t.tm_sec,
                             t.tm_mon + 1, t.tm_mday};
}

int platformTcpSocket() {
    int fd = platformCalls.socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        remember();
    return fd;
}

bool platformResolve(const char* text, uint32_t* addr) {
    in_addr a;
    if (inet_aton(text, &a) != 0) {
        *addr = a.s_addr;
        return true;
    }
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(text, nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        // A failed lookup is reported with the system's text for "no such
        // address", as the caller prints errno's text.
        platformLastErrno = rc == EAI_SYSTEM ? errno : EADDRNOTAVAIL;
        return false;
    }
    *addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return true;
}

uint32_t platformInetAddr(const char* text) { return inet_addr(text); }

bool platformBind(int fd, uint32_t addr, uint16_t port) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = addr;
    if (platformCalls.bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        remember();
        return false;
    }
    return true;
}

bool platformListen(int fd, int backlog) {
    if (platformCalls.listen(fd, backlog) != 0) {
        remember();
        return false;
    }
    return true;
}

bool platformSetNonBlocking(int fd) {
    int flags = platformCalls.fcntl(fd, F_GETFL, 0);
    if (flags < 0 || platformCalls.fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        remember();
        return false;
    }
    return true;
}

void platformSetBuffers(int fd, int receiveBytes, int unsentBytes) {
    // Failures leave the kernel's defaults, which serve as well.
    platformCalls.setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBytes, sizeof receiveBytes);
    platformCalls.setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsentBytes, sizeof unsentBytes);
}

long platformUnsentBytes(int fd) {
    int n = 0;
    return platformCalls.ioctl(fd, SIOCOUTQNSD, &n) == 0 ? long(n) : -1;
}

void platformSetNoDelay(int fd) {
    // A failure leaves Nagle's algorithm on: replies then merely leave later.
    int on = 1;
    platformCalls.setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void platformPush(int fd) {
    // Setting TCP_NODELAY pushes pending frames even when it is already on.
    int on = 1;
    platformCalls.setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int platformAccept(int fd, sockaddr_in* peer, bool* outOfDescriptors) {
    *outOfDescriptors = false;
    for (;;) {
        socklen_t len = sizeof(sockaddr_in);
        int s = platformCalls.accept4(fd, reinterpret_cast<sockaddr*>(peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (s >= 0)
            return s;
        if (errno == EINTR)
            continue;
        // A connection that was reset while it waited is simply gone.
        if (errno == ECONNABORTED)
            continue;
        remember();
        *outOfDescriptors = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
        return -1;
    }
}

int platformAcceptPeer(int fd, uint32_t* ip, uint16_t* port, bool* outOfDescriptors) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    int s = platformAccept(fd, &sa, outOfDescriptors);
    *ip = s >= 0 ? sa.sin_addr.s_addr : 0;
    *port = s >= 0 ? sa.sin_port : 0;
    return s;
}

void platformReuseAddress(int fd) {
    int one = 1;
    // A refusal only means a quick restart waits for TIME_WAIT to pass.
    platformCalls.setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

namespace {

// One socket call, retried when a signal interrupts it, its result mapped
// to a byte count or kIo*. A receive of 0 bytes is the peer's end and
// passes as 0; a send that moved nothing counts as failed.
template <class Chamada>
long chamadaDeSocket(Chamada chamada, bool zeroFalha) {
    for (;;) {
        ssize_t r = chamada();
        if (r > 0 || (r == 0 && !zeroFalha))
            return long(r);
        if (r == 0)
            return kIoFailed;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return kIoWouldBlock;
        remember();
        return kIoFailed;
    }
}

}  // namespace

long platformRecv(int fd, void* buf, size_t n) {
    return chamadaDeSocket([&] { return platformCalls.recv(fd, buf, n, 0); }, false);
}

long platformSend(int fd, const void* buf, size_t n) {
    return chamadaDeSocket([&] { return platformCalls.send(fd, buf, n, MSG_NOSIGNAL); }, true);
}

long platformSendPair(int fd, const void* a, size_t na, const void* b, size_t nb, bool more) {
    int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
    if (nb == 0)  // the plain call takes less setting up
        return chamadaDeSocket([&] { return platformCalls.send(fd, a, na, flags); }, true);
    iovec partes[2];
    partes[0].iov_base = const_cast<void*>(a);
    partes[0].iov_len = na;
    partes[1].iov_base = const_cast<void*>(b);
    partes[1].iov_len = nb;
    msghdr m;
    memset(&m, 0, sizeof m);
    m.msg_iov = partes;
    m.msg_iovlen = 2;
    return chamadaDeSocket([&] { return platformCalls.sendmsg(fd, &m, flags); }, true);
}

void platformClose(int fd) {
    if (fd >= 0)
        platformCalls.close(fd);  // on Linux the descriptor is gone even when close reports EINTR
}

bool platformWatch(int fd, uint32_t interest, bool isNew) {
    int ep = epollSet();
    if (ep < 0)
        return false;
    if (interest == 0) {
        // An empty interest set would still report errors and hang-ups.
        if (!isNew)
            platformUnwatch(fd);
        return true;
    }
    epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = ((interest & kWaitRead) ? uint32_t(EPOLLIN) : 0u) | ((interest & kWaitWrite) ? uint32_t(EPOLLOUT) : 0u);
    ev.data.fd = fd;
    if (platformCalls.epoll_ctl(ep, isNew ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev) != 0) {
        remember();
        return false;
    }
    return true;
}

void platformUnwatch(int fd) {
    if (epollFd >= 0)
        platformCalls.epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);  // closing would drop it too
}

int platformWait(PlatformEvent* events, int max, int timeoutMs) {
    int ep = epollSet();
    if (ep < 0 || max <= 0)
        return 0;
    epoll_event evs[256];
    if (max > 256)
        max = 256;
    int n = platformCalls.epoll_pwait(ep, evs, max, timeoutMs, sinaisPresos ? &mascaraDaEspera : nullptr);
    if (n < 0) {
        remember();  // EINTR included: the next pass simply waits again
        return 0;
    }
    for (int i = 0; i < n; i++) {
        uint32_t e = evs[i].events;
        events[i].fd = evs[i].data.fd;
        events[i].events = ((e & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)) ? kWaitRead : 0) |
                           ((e & (EPOLLOUT | EPOLLERR | EPOLLHUP)) ? kWaitWrite : 0);
    }
    return n;
}

bool platformWaitFew(const int* readFds, int nRead, bool* readReady, int writeFd, bool* writable) {
    // Every read socket is watched, however many there are; the array only
    // grows, so steady use allocates nothing.
    static pollfd* fds = nullptr;
    static int capacity = 0;
    if (nRead < 0)
        nRead = 0;
    if (nRead + 1 > capacity) {
        int cap = capacity < 64 ? 64 : capacity;
        while (cap < nRead + 1)
            cap *= 2;
        pollfd* grown = static_cast<pollfd*>(realloc(fds, sizeof(pollfd) * size_t(cap)));
        if (grown == nullptr)
            abort();
        fds = grown;
        capacity = cap;
    }
    int n = 0;
    for (int i = 0; i < nRead; i++)
        fds[n++] = pollfd{readFds[i], POLLIN, 0};
    fds[n++] = pollfd{writeFd, POLLOUT, 0};
    int r;
    do
        r = platformCalls.poll(fds, nfds_t(n), -1);
    while (r < 0 && errno == EINTR);
    if (r < 0) {
        remember();
        return false;
    }
    for (int i = 0; i < nRead; i++)
        readReady[i] = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    *writable = (fds[n - 1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    return true;
}

void platformNotify(const char* estado) {
    const char* caminho = getenv("NOTIFY_SOCKET");
    if (caminho == nullptr || (caminho[0] != '/' && caminho[0] != '@'))
        return;
    sockaddr_un destino;
    memset(&destino, 0, sizeof destino);
    destino.sun_family = AF_UNIX;
    size_t n = strlen(caminho);
    if (n >= sizeof destino.sun_path)
        return;
    memcpy(destino.sun_path, caminho, n);
    if (caminho[0] == '@')
        destino.sun_path[0] = 0;  // an abstract socket
    int fd = platformCalls.socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    socklen_t tamanho = socklen_t(offsetof(sockaddr_un, sun_path) + n);
    long r;
    do
        r = platformCalls.sendto(fd, estado, strlen(estado), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&destino),
                                 tamanho);
    while (r < 0 && errno == EINTR);
    platformCalls.close(fd);
}

int64_t platformMonotonicMicroseconds() {
    timespec ts;
    platformCalls.clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t platformUnixSeconds() { return int64_t(platformCalls.time(nullptr)); }
