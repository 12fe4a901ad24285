// The platform's files: the registry's positional I/O, its lock and
// identity, and the whole-file changes of the registry tool. Every call
// goes through platformCalls and retries EINTR where the call can meet it.
#include "engine/platform.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/aio_abi.h>
#include <csetjmp>
#include <csignal>
#include <sys/mman.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/platform_interno.h"

int platformOpenFile(const char* name, bool create) {
    int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
    for (;;) {
        int fd = platformCalls.open(name, flags, S_IRUSR | S_IWUSR);
        if (fd >= 0)
            return fd;
        if (errno != EINTR) {
            remember();
            return -1;
        }
    }
}

int platformOpenReadOnly(const char* name) {
    for (;;) {
        int fd = platformCalls.open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
        if (fd >= 0)
            return fd;
        if (errno != EINTR) {
            remember();
            return -1;
        }
    }
}

long platformReadAt(int fd, void* buf, size_t n, int64_t offset) {
    size_t done = 0;
    while (done < n) {
        long r = platformCalls.pread(fd, static_cast<char*>(buf) + done, n - done, off_t(offset + int64_t(done)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            remember();
            return done > 0 ? long(done) : -1;
        }
        if (r == 0)
            break;
        done += size_t(r);
    }
    return long(done);
}

long platformWriteAt(int fd, const void* buf, size_t n, int64_t offset) {
    size_t done = 0;
    while (done < n) {
        long r = platformCalls.pwrite(fd, static_cast<const char*>(buf) + done, n - done, off_t(offset + int64_t(done)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            remember();
            return done > 0 ? long(done) : -1;
        }
        done += size_t(r);
    }
    return long(done);
}

namespace {

// One submission takes at most this many pieces; a bigger batch goes in
// several.
constexpr int kPedidosPorVez = 1024;
// The context of the asynchronous writes, made at the first batch. A
// kernel that refuses it (no such call, or a filter in the way) has each
// piece written alone, from then on.
unsigned long contextoAio = 0;
bool aioTentado = false;
bool aioRecusado = false;
iocb pedidos[kPedidosPorVez];
iocb* listaPedidos[kPedidosPorVez];
io_event eventos[kPedidosPorVez];

// Submits pieces[0..k) and collects their results; returns how many were
// submitted (their results are set), the rest being left to the caller.
int escreveJuntos(int fd, const PlatformWrite* pieces, int k, long* results) {
    for (int i = 0; i < k; i++) {
        memset(&pedidos[i], 0, sizeof pedidos[i]);
        pedidos[i].aio_data = uint64_t(i);
        pedidos[i].aio_lio_opcode = IOCB_CMD_PWRITE;
        pedidos[i].aio_fildes = uint32_t(fd);
        pedidos[i].aio_buf = uint64_t(reinterpret_cast<uintptr_t>(pieces[i].buf));
        pedidos[i].aio_nbytes = pieces[i].n;
        pedidos[i].aio_offset = pieces[i].offset;
        listaPedidos[i] = &pedidos[i];
    }
    long enviados = 0;
    while (enviados < k) {
        long r = platformCalls.io_submit(contextoAio, k - enviados, listaPedidos + enviados);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (enviados == 0 && r < 0 && (errno == ENOSYS || errno == EPERM || errno == EINVAL))
                aioRecusado = true;
            break;
        }
        enviados += r;
    }
    // A buffered write is done within the submission; the collection only
    // reads the results. One that cannot be collected may have moved bytes.
    for (long i = 0; i < enviados; i++)
        results[i] = 0;
    long colhidos = 0;
    while (colhidos < enviados) {
        long r = platformCalls.io_getevents(contextoAio, enviados - colhidos, enviados - colhidos, eventos, nullptr);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            remember();
            break;
        }
        for (long j = 0; j < r; j++) {
            long res = long(eventos[j].res);
            if (res < 0) {
                errno = int(-res);
                remember();
            }
            results[eventos[j].data] = res < 0 ? -1 : res;
        }
        colhidos += r;
    }
    return int(enviados);
}

}  // namespace

void platformWriteMany(int fd, const PlatformWrite* pieces, int n, long* results) {
    if (!aioTentado) {
        aioTentado = true;
        aioRecusado = platformCalls.io_setup(kPedidosPorVez, &contextoAio) != 0;
    }
    int feitos = 0;
    while (feitos < n && !aioRecusado) {
        int k = n - feitos < kPedidosPorVez ? n - feitos : kPedidosPorVez;
        int enviados = escreveJuntos(fd, pieces + feitos, k, results + feitos);
        feitos += enviados;
        if (enviados < k)
            break;  // what the kernel did not take is written piece by piece
    }
    for (int i = 0; i < feitos; i++) {
        // A piece cut short goes on from where it stopped, as
        // platformWriteAt would have gone on.
        long r = results[i];
        if (r >= 0 && size_t(r) < pieces[i].n) {
            long mais = platformWriteAt(fd, static_cast<const char*>(pieces[i].buf) + r, pieces[i].n - size_t(r),
                                        pieces[i].offset + r);
            results[i] = r + (mais > 0 ? mais : 0);
        }
    }
    for (; feitos < n; feitos++)
        results[feitos] = platformWriteAt(fd, pieces[feitos].buf, pieces[feitos].n, pieces[feitos].offset);
}

uint8_t* platformMapFile(int fd, size_t length) {
    void* p = platformCalls.mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        remember();
        return nullptr;
    }
    return static_cast<uint8_t*>(p);
}

void platformUnmapFile(uint8_t* map, size_t length) {
    if (map != nullptr)
        platformCalls.munmap(map, length);
}

namespace {

// A page of the map that the system cannot give raises SIGBUS in the copy;
// while a copy runs, the handler jumps back to it instead of ending the
// process. SA_NODEFER leaves the signal unblocked, so the jump needs no
// mask of its own (and no system call to save one).
sigjmp_buf voltaDaCopia;
volatile sig_atomic_t copiando = 0;

void aoFaltarPagina(int sinal) {
    if (copiando) {
        copiando = 0;
        siglongjmp(voltaDaCopia, 1);
    }
    signal(sinal, SIG_DFL);
    raise(sinal);
}

bool guardaInstalada = false;

}  // namespace

void platformWriteManyMapped(int fd, uint8_t* map, const PlatformWrite* pieces, int n, long* results) {
    // A test's write fault sits in the table, which the map would pass by.
    bool falhas = platformCalls.pwrite != platformSystemCalls.pwrite || platformCalls.mmap != platformSystemCalls.mmap;
    if (!guardaInstalada && !falhas) {
        struct sigaction sa {};
        sa.sa_handler = aoFaltarPagina;
        sa.sa_flags = SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        guardaInstalada = sigaction(SIGBUS, &sa, nullptr) == 0;
    }
    volatile int copiados = 0;
    if (guardaInstalada && !falhas && sigsetjmp(voltaDaCopia, 0) == 0) {
        copiando = 1;
        for (; copiados < n; copiados = copiados + 1) {
            const PlatformWrite& p = pieces[copiados];
            memcpy(map + p.offset, p.buf, p.n);
            results[copiados] = long(p.n);
        }
        copiando = 0;
    }
    copiando = 0;
    if (copiados < n)
        platformWriteMany(fd, pieces + copiados, n - copiados, results + copiados);
}

long platformRead(int fd, void* buf, size_t n) {
    for (;;) {
        long r = platformCalls.read(fd, buf, n);
        if (r >= 0)
            return long(r);
        if (errno != EINTR) {
            remember();
            return -1;
        }
    }
}

int platformTruncate(int fd, int64_t length) {
    for (;;) {
        if (platformCalls.ftruncate(fd, off_t(length)) == 0)
            return 0;
        if (errno != EINTR) {
            remember();
            return -1;
        }
    }
}

bool platformSync(int fd) {
    if (platformCalls.fdatasync(fd) != 0) {
        remember();
        return false;
    }
    return true;
}

int64_t platformFileSize(int fd) {
    struct stat st;
    if (platformCalls.fstat(fd, &st) != 0) {
        remember();
        return -1;
    }
    return int64_t(st.st_size);
}

void platformCloseFile(int fd) {
    if (fd >= 0)
        platformCalls.close(fd);
}

bool platformLockFile(int fd) {
    for (;;) {
        if (platformCalls.flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EINTR) {
            remember();
            return false;
        }
    }
}

bool platformFileId(int fd, PlatformFileId* id) {
    struct stat st;
    if (platformCalls.fstat(fd, &st) != 0) {
        remember();
        return false;
    }
    *id = PlatformFileId{uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return true;
}


PlatformFailure platformLastFailure() {
    if (platformLastErrno == ENOENT)
        return PlatformFailure::kMissing;
    if (platformLastErrno == EWOULDBLOCK)
        return PlatformFailure::kBusy;
    if (platformLastErrno == EEXIST)
        return PlatformFailure::kExists;
    return PlatformFailure::kOther;
}

int platformOpenNew(const char* name) {
    int fd = platformCalls.open(name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (fd < 0)
        remember();
    return fd;
}

namespace {

void statusOf(const struct stat& st, PlatformFileStatus* status) {
    *status = PlatformFileStatus{PlatformFileId{uint64_t(st.st_dev), uint64_t(st.st_ino)},
                                 int64_t(st.st_size),
                                 uint32_t(st.st_nlink),
                                 uint32_t(st.st_uid),
                                 uint32_t(st.st_gid),
                                 uint32_t(st.st_mode & 07777),
                                 S_ISREG(st.st_mode)};
}

// One call of the whole-file changes: 0 is success, anything else is
// remembered as the failure.
bool succeeded(int r) {
    if (r != 0)
        remember();
    return r == 0;
}

}  // namespace

bool platformFileStatus(int fd, PlatformFileStatus* status) {
    struct stat st;
    if (!succeeded(platformCalls.fstat(fd, &st)))
        return false;
    statusOf(st, status);
    return true;
}

bool platformNameStatus(const char* name, PlatformFileStatus* status) {
    struct stat st;
    if (!succeeded(platformCalls.lstat(name, &st)))
        return false;
    statusOf(st, status);
    return true;
}

bool platformSetOwner(int fd, uint32_t owner, uint32_t group) {
    return succeeded(platformCalls.fchown(fd, owner, group));
}

bool platformSetPermissions(int fd, uint32_t permissions) { return succeeded(platformCalls.fchmod(fd, permissions)); }

bool platformSyncAll(int fd) { return succeeded(platformCalls.fsync(fd)); }

bool platformRemoveName(const char* name) { return succeeded(platformCalls.unlink(name)); }

bool platformRename(const char* from, const char* to) { return succeeded(platformCalls.rename(from, to)); }

bool platformLink(const char* existing, const char* name) { return succeeded(platformCalls.link(existing, name)); }

void platformSyncDirectory(const char* name) {
    int directory = platformCalls.open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (directory >= 0) {
        platformCalls.fsync(directory);
        platformCalls.close(directory);
    }
}
