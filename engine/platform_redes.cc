// The platform's sockets and readiness: the listener's and the
// connections' calls, and the wait set (epoll) the loop sleeps in. Every
// call that can be interrupted is retried on EINTR.
#include "engine/platform.h"
#include "engine/platform_interno.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
int epollFd = -1;
}  // namespace

int platformEpollSet() {
    if (epollFd < 0)
        epollFd = platformCalls.epoll_create1(EPOLL_CLOEXEC);
    return epollFd;
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
    int ep = platformEpollSet();
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

