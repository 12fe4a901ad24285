// Socket helpers shared by the engine tests: socket pairs, loopback clients
// and a bounded way to drive the loop until something has happened.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/escuta.h"
#include "engine/loop.h"

namespace enginetest {

// A connected pair: first is given to the engine (non-blocking), second
// is the peer the test reads and writes.
inline bool socketPair(int out[2], int type = SOCK_STREAM) {
    if (socketpair(AF_UNIX, type, 0, out) != 0)
        return false;
    return fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK) == 0;
}

inline void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Fills the send buffer of fd (non-blocking) until the kernel refuses more.
inline void fillSendBuffer(int fd) {
    char junk[1024] = {};
    while (send(fd, junk, sizeof junk, MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    }
    while (send(fd, junk, 1, MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    }
}

// Reads what fd holds now without blocking; returns the bytes.
inline std::string drain(int fd) {
    std::string got;
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            break;
        got.append(buf, size_t(n));
    }
    return got;
}

// Runs passes of at most 20 ms until done() holds or the passes run out.
inline bool pumpUntil(const std::function<bool()>& done, int maxPasses = 200) {
    for (int i = 0; i < maxPasses; i++) {
        if (done())
            return true;
        runPass(20);
    }
    return done();
}

inline uint16_t portOf(int listenFd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Blocking loopback client; -1 on failure.
inline int connectTo(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Waits up to ms for fd to become readable.
inline bool readableWithin(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

inline double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace enginetest
