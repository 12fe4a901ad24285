// The one place that talks to the operating system: sockets, readiness
// waiting, clocks, files and process limits. Nothing else includes a system
// header for a call, or reads errno (the standard library's and OpenSSL's
// headers are no such thing). Handles are int; -1 means none. EINTR is retried
// here and never seen by callers. Every system call goes through one table
// (platformCalls), so that a test can put any of them in the way of a
// fault or move the clocks.
#pragma once

#include <cstddef>
#include <cstdint>

struct sockaddr;
struct sockaddr_in;
struct msghdr;
struct epoll_event;
struct pollfd;
struct stat;
struct timespec;
struct tm;
struct rlimit;
struct iocb;
struct io_event;
struct PlatformSignalSet;  // the signal mask of the wait (a sigset_t)

// Results of platformRecv/platformSend besides a byte count.
constexpr long kIoWouldBlock = -2;  // nothing can move now; try later
constexpr long kIoFailed = -1;      // the connection is broken

// Text of the last failure seen by any platform call (strerror form).
const char* platformErrorText();

// --- Process ------------------------------------------------------------
// Called once at start-up: ignores SIGPIPE and SIGXFSZ (a failed write is
// reported by its return value instead) and raises the soft limit of open
// descriptors to the hard limit.
void platformStart();
// The soft limit of open descriptors: every descriptor number is below it.
// INT32_MAX when unlimited or unknown.
int platformDescriptorLimit();
// SIGTERM, SIGINT and SIGHUP no longer end the process: they are noted,
// and they end the current or next wait (platformWait) at once.
void platformCatchStopSignals();
// Takes the caught signals that are pending: a wait that returns
// readiness does not deliver them, so a loop that never idles calls this
// now and then.
void platformCollectSignals();
// The stop signal noted, or 0.
int platformStopSignal();
// Whether a SIGHUP came since the last call.
bool platformTakeHangup();
const char* platformSignalName(int signal);
// Ends the process with the given status, flushing standard output.
[[noreturn]] void platformExit(int status);
// Writes bytes to standard error in one call; failures are dropped.
void platformWriteError(const char* bytes, size_t n);
// Gives the heap's free pages back to the system (glibc's malloc_trim;
// elsewhere nothing). Costs a walk of the free lists: for after a burst.
void platformReleaseMemory();
// Private, zero-filled memory of bytes, its pages made at once rather than
// at the first touch of each, in large pages where the system gives them;
// null when the system has none to give. platformUnmapMemory gives back a
// whole mapping, with the size it was asked with.
void* platformMapMemory(size_t bytes);
void platformUnmapMemory(void* memory, size_t bytes);
// Advice for an array of bytes about to be filled (from new[] or malloc):
// the whole pages within it may come as large pages (2 MiB on x86-64),
// one fault each instead of one per 4 KiB. Only advice: nothing changes
// where the system keeps no large pages, and arrays under a few MiB are
// left alone.
void platformAdviseLargePages(void* memory, size_t bytes);

// --- Clocks -------------------------------------------------------------
// Monotonic milliseconds; 64 bits, so it never wraps.
int64_t platformMilliseconds();
struct PlatformLocalTime {
    int year, yday, hour, min, sec;  // year as tm_year + 1900, yday from 0
    int mon, mday;                    // month 1..12, day 1..31
};
PlatformLocalTime platformLocalTime();

// --- Sockets ------------------------------------------------------------
int platformTcpSocket();                     // -1 on failure
// Dotted address or host name to an IPv4 address in network order.
// Returns false when the text is neither.
bool platformResolve(const char* text, uint32_t* addr);
// inet_addr semantics: the all-ones address when the text is not an address.
uint32_t platformInetAddr(const char* text);
bool platformBind(int fd, uint32_t addr, uint16_t port);  // both network order
bool platformListen(int fd, int backlog);
bool platformSetNonBlocking(int fd);
// The receive buffer (SO_RCVBUF; the kernel books twice the figure for its
// overhead) and the most a send may leave unsent in the kernel
// (TCP_NOTSENT_LOWAT). The send buffer itself stays the kernel's to tune:
// bytes in flight to a peer that reads are acknowledged and freed, and a
// peer that stops reading closes its window, so what waits on our side is
// the unsent part.
void platformSetBuffers(int fd, int receiveBytes, int unsentBytes);
// Bytes written to a connected socket that the kernel has not sent yet
// (SIOCOUTQNSD); -1 when it cannot tell. The unsent limit above holds only
// where a write needs a new segment: one appended to the last queued
// segment passes it, up to a segment's whole size (64 KiB over loopback).
long platformUnsentBytes(int fd);
// Sends small segments at once (TCP_NODELAY): a reply queued while an
// earlier one is still unacknowledged would otherwise wait for the peer's
// delayed acknowledgement, some 40 ms.
void platformSetNoDelay(int fd);
// Sends at once whatever earlier sends marked "more" left waiting.
void platformPush(int fd);
// -1 when nothing waits or on error; *outOfDescriptors tells EMFILE/ENFILE.
int platformAccept(int fd, sockaddr_in* peer, bool* outOfDescriptors);
// The same with the peer's address and port (network order) split out, for
// callers that do not see the socket address structure.
int platformAcceptPeer(int fd, uint32_t* ip, uint16_t* port, bool* outOfDescriptors);
// Lets a listener bind its port while old connections of an earlier run
// linger in TIME_WAIT; a port that another socket listens on stays refused.
void platformReuseAddress(int fd);
long platformRecv(int fd, void* buf, size_t n);        // bytes, 0 closed, kIo*
long platformSend(int fd, const void* buf, size_t n);  // bytes, kIo* (never SIGPIPE)
// Both pieces in one system call, a then b, as if they were one buffer: the
// byte count may end anywhere in either piece.
// With more, the kernel may hold the bytes back to join what the next send
// brings (MSG_MORE); a later send without it, or the close, pushes them.
long platformSendPair(int fd, const void* a, size_t na, const void* b, size_t nb, bool more = false);
void platformClose(int fd);

// --- Readiness ----------------------------------------------------------
// One epoll set for the whole process.
constexpr uint32_t kWaitRead = 1;
constexpr uint32_t kWaitWrite = 2;
// The connection is gone (reset, or shut both ways): reported with both of
// the above, whatever the interest; nothing more can be read or sent.
constexpr uint32_t kWaitGone = 4;
struct PlatformEvent {
    int fd;
    uint32_t events;  // kWaitRead / kWaitWrite; errors and hang-ups read as kWaitRead
};
// Sets the interest of fd (0 removes it). Returns false on failure.
bool platformWatch(int fd, uint32_t interest, bool isNew);
void platformUnwatch(int fd);
// Waits up to timeoutMs (0 polls, -1 forever); returns events written.
int platformWait(PlatformEvent* events, int max, int timeoutMs);
// One-off wait on some descriptors (any number), for the waiting send of levels 0..3.
// readFds may be empty; returns false on error. *writable tells whether
// writeFd became writable; readReady[i] whether readFds[i] became readable.
bool platformWaitFew(const int* readFds, int nRead, bool* readReady, int writeFd, bool* writable);

// --- Files --------------------------------------------------------------
// Opens read/write; with create, makes a missing file (owner read/write).
int platformOpenFile(const char* name, bool create);
// Read-only, never waiting: a FIFO opens at once, whether or not it has a
// writer (reads of a regular file are unaffected).
int platformOpenReadOnly(const char* name);
// Positional I/O with 64-bit offsets: bytes moved, or -1 when not one byte
// moved. A count short of n means the end of the file (read) or a failure
// after the first bytes (write).
long platformReadAt(int fd, void* buf, size_t n, int64_t offset);
long platformWriteAt(int fd, const void* buf, size_t n, int64_t offset);
long platformRead(int fd, void* buf, size_t n);  // sequential read
// Writes at many offsets of one file in order, piece by piece: results[i]
// is piece i's bytes written (short of its n: a failure after the first
// bytes), or -1 when not one byte of it moved. Where the kernel takes
// asynchronous writes, all go in one submission and their results come
// back in one collection, however many there are; elsewhere each piece is
// one platformWriteAt.
struct PlatformWrite {
    const void* buf;
    size_t n;
    int64_t offset;
};
void platformWriteMany(int fd, const PlatformWrite* pieces, int n, long* results);
// The first length bytes of fd mapped shared, read and write: a write into
// the map is a write of the file, without a system call. Null on failure.
uint8_t* platformMapFile(int fd, size_t length);
void platformUnmapFile(uint8_t* map, size_t length);
// platformWriteMany into a map of fd's first length bytes (every piece
// lies within them): each piece is copied into the map, where nothing
// can fail but the system's fetch of a page (the file cut behind our
// back, a read error), which ends the copies there. What was not copied,
// and everything while a test's write fault is in the table, goes
// through platformWriteMany.
void platformWriteManyMapped(int fd, uint8_t* map, const PlatformWrite* pieces, int n, long* results);
int platformTruncate(int fd, int64_t length);    // 0 or -1
bool platformSync(int fd);                       // fdatasync
int64_t platformFileSize(int fd);                // -1 on failure
void platformCloseFile(int fd);
// Takes the exclusive advisory lock (flock) of the whole file without
// waiting: the server holds it on its registry file for its whole life,
// and a program that changes the file takes it first. False when another
// open file (of any process) holds the lock, or when the call failed. The
// lock ends when the last descriptor of this open file is closed.
bool platformLockFile(int fd);
// Which file an open descriptor names: two descriptors name the same file
// exactly when device and inode agree. False when fstat fails.
struct PlatformFileId {
    uint64_t device, inode;
    bool operator==(const PlatformFileId& o) const { return device == o.device && inode == o.inode; }
};
bool platformFileId(int fd, PlatformFileId* id);

// --- Service manager -----------------------------------------------------
// Tells the service manager a state ("READY=1", "STOPPING=1", ...) by one
// datagram to the socket NOTIFY_SOCKET names, when it names one; nothing
// otherwise. Failures are dropped: nobody could act on them.
void platformNotify(const char* estado);
// Wall-clock seconds since 1970 (UTC).
int64_t platformUnixSeconds();
// Monotonic microseconds, as the manager's reload notice wants them.
int64_t platformMonotonicMicroseconds();

// Whether the last failure was a missing name (ENOENT), a lock that another
// open file holds (EWOULDBLOCK) or a name already taken (EEXIST): the
// failures a caller acts on rather than reports.
enum class PlatformFailure : uint8_t { kOther, kMissing, kBusy, kExists };
PlatformFailure platformLastFailure();

// --- Whole-file changes (the registry tool) -------------------------------
// The server never replaces its file; the tool that does needs names,
// owners and the directory as well. None of these retries EINTR: the tool
// installs no signal handler, so no call sees it.
//
// Opens read/write, making a missing file (owner read/write); a symbolic
// link under the name is not followed (the open fails). -1 on failure.
int platformOpenNew(const char* name);
struct PlatformFileStatus {
    PlatformFileId id;
    int64_t size;        // bytes
    uint32_t links;      // names the file has
    uint32_t owner, group;
    uint32_t permissions;  // the mode's permission bits, 07777
    bool regular;          // a regular file (not a directory, link, device...)
};
// fstat of a descriptor, lstat of a name (a link is not followed). False
// on failure.
bool platformFileStatus(int fd, PlatformFileStatus* status);
bool platformNameStatus(const char* name, PlatformFileStatus* status);
bool platformSetOwner(int fd, uint32_t owner, uint32_t group);  // fchown
bool platformSetPermissions(int fd, uint32_t permissions);       // fchmod
// fsync: the data and what describes the file (its owner, mode, length).
bool platformSyncAll(int fd);
bool platformRemoveName(const char* name);                  // unlink
bool platformRename(const char* from, const char* to);      // replaces to
bool platformLink(const char* existing, const char* name);  // fails (kExists) when name is taken
// Syncs a directory, so that a rename or link made in it lasts. A file
// system that cannot sync directories is left as it is.
void platformSyncDirectory(const char* name);

// --- The system calls -----------------------------------------------------
// One entry per system call, with the system's own arguments and results:
// -1 (or null) on failure with the error number in errno, and EINTR when
// a signal interrupted it. Every platform routine reaches the system
// through these entries and nowhere else, one indirect call each. The
// types the system names by typedef are spelled as they are on Linux:
// ssize_t, off_t and time_t are long, socklen_t, uid_t, gid_t and mode_t
// unsigned, nfds_t unsigned long.
struct PlatformCalls {
    // Files.
    int (*open)(const char* name, int flags, unsigned mode);
    long (*read)(int fd, void* buf, size_t n);
    long (*write)(int fd, const void* buf, size_t n);  // standard error only
    long (*pread)(int fd, void* buf, size_t n, long offset);
    long (*pwrite)(int fd, const void* buf, size_t n, long offset);
    int (*ftruncate)(int fd, long length);
    int (*fdatasync)(int fd);
    int (*fsync)(int fd);
    int (*fstat)(int fd, struct stat* st);
    int (*lstat)(const char* name, struct stat* st);
    int (*close)(int fd);
    int (*flock)(int fd, int operation);
    int (*fchown)(int fd, unsigned owner, unsigned group);
    int (*fchmod)(int fd, unsigned mode);
    int (*unlink)(const char* name);
    int (*link)(const char* existing, const char* name);
    int (*rename)(const char* from, const char* to);
    // Sockets.
    int (*socket)(int domain, int type, int protocol);
    int (*setsockopt)(int fd, int level, int name, const void* value, unsigned length);
    int (*fcntl)(int fd, int command, int argument);
    int (*bind)(int fd, const sockaddr* address, unsigned length);
    int (*listen)(int fd, int backlog);
    int (*accept4)(int fd, sockaddr* address, unsigned* length, int flags);
    long (*recv)(int fd, void* buf, size_t n, int flags);
    long (*send)(int fd, const void* buf, size_t n, int flags);
    long (*sendmsg)(int fd, const msghdr* message, int flags);
    long (*sendto)(int fd, const void* buf, size_t n, int flags, const sockaddr* to, unsigned length);
    int (*ioctl)(int fd, unsigned long request, int* value);
    // Readiness.
    int (*epoll_create1)(int flags);
    int (*epoll_ctl)(int epollFd, int operation, int fd, epoll_event* event);
    int (*epoll_pwait)(int epollFd, epoll_event* events, int max, int timeoutMs, const PlatformSignalSet* mask);
    int (*poll)(pollfd* fds, unsigned long n, int timeoutMs);
    // Clocks: platformMilliseconds reads clock_gettime (CLOCK_MONOTONIC),
    // platformLocalTime reads time and turns it with localtime_r.
    int (*clock_gettime)(int clock, timespec* now);
    long (*time)(long* now);
    tm* (*localtime_r)(const long* seconds, tm* local);
    // Process.
    int (*getrlimit)(int resource, rlimit* limit);
    int (*setrlimit)(int resource, const rlimit* limit);
    // Memory.
    void* (*mmap)(void* address, size_t length, int protection, int flags, int fd, long offset);
    int (*munmap)(void* address, size_t length);
    int (*madvise)(void* address, size_t length, int advice);
    // Asynchronous file writes (no C library wrappers; aio_context_t is an
    // unsigned long).
    long (*io_setup)(unsigned events, unsigned long* context);
    long (*io_submit)(unsigned long context, long n, iocb** requests);
    long (*io_getevents)(unsigned long context, long least, long most, io_event* events, timespec* timeout);
};
// The table in use; it starts as the system's own calls (platformSystemCalls).
// Test hook: a test replaces entries one at a time, and puts back what it
// replaced before it ends. Only tests write it.
extern PlatformCalls platformCalls;
extern const PlatformCalls platformSystemCalls;

// Test hook: faults of one kind of call, as a full disk, a file gone or a
// broken connection makes them. From the nth call of the kind on (1 = the
// next one), `times` calls fail (-1: every one, until turned off) with the
// error number given. With moved above 0 the first of them still moves
// that many bytes, and the call after it fails: so does a full disk, and
// so a platform routine that loops (platformWriteAt) returns the bytes
// moved; a call of no more than moved bytes goes through whole, and ends
// the fault. nth 0 turns the kind's faults off and puts its entries back.
// The fault sits in front of whatever the entries held when it was set.
// Only tests call it.
enum class PlatformFaultCall : uint8_t {
    kOpen,    // open
    kRead,    // pread and read
    kWrite,   // pwrite, and each piece of platformWriteMany (the log's writes never fail)
    kAccept,  // accept4
    kSend,    // send and sendmsg
    kRecv,    // recv
};
void platformFailCall(PlatformFaultCall call, int nth, int error, long moved = 0, int times = 1);
// Test hook: makes the nth platformWriteAt from now on fail (1 = the next
// one), as a full disk would: it writes only its first `moved` bytes (0:
// none, and it returns -1) and returns what it wrote. nth 0 turns it off.
// Only tests call it.
void platformFailWriteAt(int nth, long moved = 0);
