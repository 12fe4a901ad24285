// Faults for tests: a kind of call fails from its nth call on, in front of
// whatever the table held for it. Nothing of the server calls these; they
// sit in the platform's library because tests of every level use them.
#include "engine/platform.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <linux/aio_abi.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace {

struct Falha {
    int antes = 0;      // calls that still go through before the first failure
    int vezes = 0;      // failing calls left; -1 every one; 0 none
    int erro = 0;
    long movidos = 0;   // bytes the first failing call still moves
    bool instalada = false;
    PlatformCalls anteriores{};  // the kind's entries as the fault found them
};

constexpr int kTiposDeFalha = int(PlatformFaultCall::kRecv) + 1;
Falha falhas[kTiposDeFalha];

enum Decisao { kPassa, kFalha };

// What the call of a kind does now; *n may shrink to the bytes it still
// moves. On kFalha errno holds the fault's error.
Decisao decide(PlatformFaultCall tipo, size_t* n) {
    Falha& f = falhas[int(tipo)];
    if (f.vezes == 0)
        return kPassa;
    if (f.antes > 0) {
        f.antes--;
        return kPassa;
    }
    if (f.movidos > 0 && n != nullptr) {
        size_t m = size_t(f.movidos);
        f.movidos = 0;
        if (m >= *n) {
            f.vezes = 0;
            return kPassa;
        }
        *n = m;  // the bytes it can move; the next call meets the failure
        return kPassa;
    }
    f.movidos = 0;
    if (f.vezes > 0)
        f.vezes--;
    errno = f.erro;
    return kFalha;
}

const PlatformCalls& antes(PlatformFaultCall tipo) { return falhas[int(tipo)].anteriores; }

int falhaOpen(const char* name, int flags, unsigned mode) {
    if (decide(PlatformFaultCall::kOpen, nullptr) == kFalha)
        return -1;
    return antes(PlatformFaultCall::kOpen).open(name, flags, mode);
}

long falhaRead(int fd, void* buf, size_t n) {
    if (decide(PlatformFaultCall::kRead, &n) == kFalha)
        return -1;
    return antes(PlatformFaultCall::kRead).read(fd, buf, n);
}

long falhaPread(int fd, void* buf, size_t n, long offset) {
    if (decide(PlatformFaultCall::kRead, &n) == kFalha)
        return -1;
    return antes(PlatformFaultCall::kRead).pread(fd, buf, n, offset);
}

long falhaPwrite(int fd, const void* buf, size_t n, long offset) {
    if (decide(PlatformFaultCall::kWrite, &n) == kFalha)
        return -1;
    return antes(PlatformFaultCall::kWrite).pwrite(fd, buf, n, offset);
}

// Under a write fault, asynchronous writes are made one piece at a time
// through the fault, and their results wait here for the collection.
io_event colhiveis[1024];
long totalColhiveis = 0;

long falhaIoSubmit(unsigned long, long n, iocb** pedidos) {
    long k = 0;
    for (; k < n && totalColhiveis < long(sizeof colhiveis / sizeof colhiveis[0]); k++) {
        const iocb& p = *pedidos[k];
        size_t m = size_t(p.aio_nbytes);
        long res = -1;
        if (decide(PlatformFaultCall::kWrite, &m) == kPassa)
            res = antes(PlatformFaultCall::kWrite)
                      .pwrite(int(p.aio_fildes), reinterpret_cast<const void*>(uintptr_t(p.aio_buf)), m,
                              long(p.aio_offset));
        if (res < 0)
            res = -long(errno);
        colhiveis[totalColhiveis++] = io_event{p.aio_data, p.aio_buf, res, 0};
    }
    return k;
}

long falhaIoGetevents(unsigned long, long, long most, io_event* events, timespec*) {
    long k = most < totalColhiveis ? most : totalColhiveis;
    for (long i = 0; i < k; i++)
        events[i] = colhiveis[i];
    for (long i = k; i < totalColhiveis; i++)
        colhiveis[i - k] = colhiveis[i];
    totalColhiveis -= k;
    return k;
}

int falhaAccept4(int fd, sockaddr* address, unsigned* length, int flags) {
    if (decide(PlatformFaultCall::kAccept, nullptr) == kFalha)
        return -1;
    return antes(PlatformFaultCall::kAccept).accept4(fd, address, length, flags);
}

long falhaSend(int fd, const void* buf, size_t n, int flags) {
    if (decide(PlatformFaultCall::kSend, &n) == kFalha)
        return -1;
    return antes(PlatformFaultCall::kSend).send(fd, buf, n, flags);
}

long falhaSendmsg(int fd, const msghdr* message, int flags) {
    size_t n = 0;
    for (size_t i = 0; i < message->msg_iovlen; i++)
        n += message->msg_iov[i].iov_len;
    size_t total = n;
    if (decide(PlatformFaultCall::kSend, &n) == kFalha)
        return -1;
    if (n == total)
        return antes(PlatformFaultCall::kSend).sendmsg(fd, message, flags);
    // Only the first n bytes of the pieces go.
    iovec partes[8];
    msghdr curta = *message;
    size_t k = 0;
    for (size_t i = 0; i < message->msg_iovlen && k < 8 && n > 0; i++, k++) {
        partes[k] = message->msg_iov[i];
        if (partes[k].iov_len > n)
            partes[k].iov_len = n;
        n -= partes[k].iov_len;
    }
    curta.msg_iov = partes;
    curta.msg_iovlen = k;
    return antes(PlatformFaultCall::kSend).sendmsg(fd, &curta, flags);
}

long falhaRecv(int fd, void* buf, size_t n, int flags) {
    if (decide(PlatformFaultCall::kRecv, &n) == kFalha)
        return -1;
    return antes(PlatformFaultCall::kRecv).recv(fd, buf, n, flags);
}

// Copies the entries of a kind from one table to another.
void copiaEntradas(PlatformFaultCall tipo, const PlatformCalls& de, PlatformCalls& para) {
    switch (tipo) {
    case PlatformFaultCall::kOpen:
        para.open = de.open;
        break;
    case PlatformFaultCall::kRead:
        para.read = de.read;
        para.pread = de.pread;
        break;
    case PlatformFaultCall::kWrite:
        para.pwrite = de.pwrite;
        para.io_submit = de.io_submit;
        para.io_getevents = de.io_getevents;
        break;
    case PlatformFaultCall::kAccept:
        para.accept4 = de.accept4;
        break;
    case PlatformFaultCall::kSend:
        para.send = de.send;
        para.sendmsg = de.sendmsg;
        break;
    case PlatformFaultCall::kRecv:
        para.recv = de.recv;
        break;
    }
}

PlatformCalls entradasFalhas() {
    PlatformCalls t = platformSystemCalls;
    t.open = falhaOpen;
    t.read = falhaRead;
    t.pread = falhaPread;
    t.pwrite = falhaPwrite;
    t.io_submit = falhaIoSubmit;
    t.io_getevents = falhaIoGetevents;
    t.accept4 = falhaAccept4;
    t.send = falhaSend;
    t.sendmsg = falhaSendmsg;
    t.recv = falhaRecv;
    return t;
}

}  // namespace

void platformFailCall(PlatformFaultCall tipo, int nth, int error, long moved, int times) {
    Falha& f = falhas[int(tipo)];
    if (f.instalada)
        copiaEntradas(tipo, f.anteriores, platformCalls);
    f.instalada = false;
    f.vezes = 0;
    if (nth <= 0 || times == 0)
        return;
    f.antes = nth - 1;
    f.vezes = times < 0 ? -1 : times;
    f.erro = error;
    f.movidos = moved;
    f.anteriores = platformCalls;
    copiaEntradas(tipo, entradasFalhas(), platformCalls);
    f.instalada = true;
}

void platformFailWriteAt(int nth, long moved) { platformFailCall(PlatformFaultCall::kWrite, nth, ENOSPC, moved); }
