// Linux system calls behind the engine's and the registry's needs. Every
// call that can be interrupted is retried on EINTR; errno is read only here.
// Every system call is made through platformCalls.
#include "engine/platform.h"
#include "engine/platform_interno.h"

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
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <sys/ioctl.h>
#include <linux/aio_abi.h>
#include <sys/syscall.h>

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

long sysIoSetup(unsigned events, unsigned long* context) { return syscall(SYS_io_setup, events, context); }
long sysIoSubmit(unsigned long context, long n, iocb** requests) {
    return syscall(SYS_io_submit, context, n, requests);
}
long sysIoGetevents(unsigned long context, long least, long most, io_event* events, timespec* timeout) {
    return syscall(SYS_io_getevents, context, least, most, events, timeout);
}

}  // namespace

const PlatformCalls platformSystemCalls = {
    sysOpen,   read,   write,  pread,  pwrite, ftruncate, fdatasync, fsync,   fstat,       lstat,
    close,     flock,  fchown, fchmod, unlink, link,      rename,    socket,  setsockopt,  sysFcntl,
    bind,      listen, accept4, recv,  send,   sendmsg,   sendto,    sysIoctl, epoll_create1, epoll_ctl, sysEpollPwait, poll,
    clock_gettime, time, localtime_r, getrlimit, setrlimit, mmap, munmap, madvise, sysIoSetup, sysIoSubmit, sysIoGetevents,
};

PlatformCalls platformCalls = platformSystemCalls;

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
    void* p = platformCalls.mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        remember();
        return nullptr;
    }
    // The advice first, so that the pages made next are large ones. A
    // kernel without MADV_POPULATE_WRITE (before 5.14) makes them as they
    // are touched instead.
    platformAdviseLargePages(p, bytes);
#ifdef MADV_POPULATE_WRITE
    platformCalls.madvise(p, bytes, MADV_POPULATE_WRITE);
#endif
    return p;
}

void platformAdviseLargePages(void* memory, size_t bytes) {
    // Where the system makes large pages only on request, a fault costs
    // several microseconds under some hypervisors: a load's hundred MiB
    // of arrays in 4 KiB pages was a third of the start-up.
    constexpr size_t kLargePage = size_t(2) << 20;
    if (memory == nullptr || bytes < 2 * kLargePage)
        return;
    uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    uintptr_t start = (reinterpret_cast<uintptr_t>(memory) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(memory) + bytes) & ~(page - 1);
    if (end > start)
        platformCalls.madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
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

void platformCollectSignals() {
    // A wait that returns readiness restores the blocked mask without
    // delivering what came meanwhile, so a server kept busy by its clients
    // would never see a stop signal: the caller asks now and then (once a
    // second), and what is pending is taken here.
    if (!sinaisPresos)
        return;
    sigset_t pendentes;
    if (sigpending(&pendentes) != 0)
        return;
    const timespec agora{0, 0};
    const int caught[] = {SIGTERM, SIGINT, SIGHUP};
    for (int sinal : caught) {
        if (sigismember(&pendentes, sinal) != 1)
            continue;
        sigset_t um;
        sigemptyset(&um);
        sigaddset(&um, sinal);
        if (sigtimedwait(&um, nullptr, &agora) == sinal) {
            if (sinal == SIGHUP)
                anotaHup(sinal);
            else
                anotaFim(sinal);
        }
    }
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

int platformWait(PlatformEvent* events, int max, int timeoutMs) {
    int ep = platformEpollSet();
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
                           ((e & (EPOLLOUT | EPOLLERR | EPOLLHUP)) ? kWaitWrite : 0) |
                           ((e & (EPOLLERR | EPOLLHUP)) ? kWaitGone : 0);
    }
    return n;
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
