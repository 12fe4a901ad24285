// The system calls of a whole-file change. The server's platform layer has
// no rename, link or ownership calls, for the server never replaces its
// file; the tool keeps the few it needs here, in one place. The tool
// installs no signal handler, so no call here sees EINTR.
//
// Why the locks stay right across the rename: load takes the lock of the
// old file (through openLocked) and holds it until after the rename, so no
// server starts on the old file while it is still the registry; it takes
// the lock of temp from its creation, so a server or another load that
// opens the name just after the rename finds the new file locked and
// refuses, as it would have refused the old one. Both locks end only when
// the load ends. A process that opened the old file before the rename and
// locks it after the load ended holds a file that is no longer under the
// name: openLocked sees that and opens the name again, and the server
// notices it too and leaves the file alone.
#include "tools/replace.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Whether the name and the descriptor lead to the same file.
bool sameFile(const std::string& path, int fd, struct stat& held) {
    struct stat named;
    return fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
           named.st_ino == held.st_ino;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A few tries at most: each failed one means that another process changed
// the name between our open and our lock, which a load racing another load
// may meet once, and nothing meets over and over.
constexpr int kTries = 5;

}  // namespace

LockOutcome openLocked(const std::string& path, int& fd, std::string& why) {
    for (int attempt = 0; attempt < kTries; attempt++) {
        int f = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (f < 0) {
            if (errno == ENOENT)
                return LockOutcome::kMissing;
            why = strerror(errno);
            return LockOutcome::kFailed;
        }
        if (flock(f, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            close(f);
            if (error == EWOULDBLOCK)
                return LockOutcome::kBusy;
            why = strerror(error);
            return LockOutcome::kFailed;
        }
        struct stat held;
        if (sameFile(path, f, held)) {
            if (!S_ISREG(held.st_mode)) {
                close(f);
                why = "not a regular file";
                return LockOutcome::kFailed;
            }
            fd = f;
            return LockOutcome::kLocked;
        }
        close(f);
    }
    why = "the file under that name keeps changing";
    return LockOutcome::kFailed;
}

LockOutcome beginReplacement(Replacement& r, std::string& why) {
    r.temp = r.path + ".loading";
    struct stat old;
    if (r.oldFd >= 0 && fstat(r.oldFd, &old) != 0) {
        why = strerror(errno);
        return LockOutcome::kFailed;
    }
    for (int attempt = 0; attempt < kTries; attempt++) {
        int f = open(r.temp.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
        if (f < 0) {
            why = r.temp + ": " + strerror(errno);
            return LockOutcome::kFailed;
        }
        struct stat held;
        if (r.oldFd >= 0 && fstat(f, &held) == 0 && held.st_dev == old.st_dev && held.st_ino == old.st_ino) {
            // A second name of the locked file, left by a load that was
            // killed between making a new file and removing this name.
            close(f);
            unlink(r.temp.c_str());
            continue;
        }
        if (flock(f, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            close(f);
            if (error == EWOULDBLOCK)
                return LockOutcome::kBusy;
            why = r.temp + ": " + strerror(error);
            return LockOutcome::kFailed;
        }
        if (sameFile(r.temp, f, held)) {
            if (S_ISREG(held.st_mode) && held.st_nlink == 1 && held.st_size == 0) {
                r.newFd = f;
                return LockOutcome::kLocked;
            }
            // Locked by us, so no live change writes it: what a killed one
            // left (maybe a second name of the registry file). Only the name
            // goes; a fresh file takes it.
            unlink(r.temp.c_str());
        }
        close(f);
    }
    why = r.temp + ": cannot be made afresh (it keeps changing)";
    return LockOutcome::kFailed;
}

bool finishReplacement(Replacement& r, std::string& why) {
    if (r.oldFd >= 0) {
        // A registry owned by the service's user stays its own when root
        // runs the load; a group or mode set by hand stays as it was.
        struct stat old, now;
        if (fstat(r.oldFd, &old) != 0 || fstat(r.newFd, &now) != 0) {
            why = strerror(errno);
            return false;
        }
        if ((old.st_uid != now.st_uid || old.st_gid != now.st_gid) && fchown(r.newFd, old.st_uid, old.st_gid) != 0) {
            why = "cannot give the new file the owner and group of the old one (" + std::string(strerror(errno)) + ")";
            return false;
        }
        if (fchmod(r.newFd, old.st_mode & 07777) != 0) {
            why = "cannot give the new file the permissions of the old one (" + std::string(strerror(errno)) + ")";
            return false;
        }
    }
    if (fsync(r.newFd) != 0) {
        why = "syncing " + r.temp + " failed (" + strerror(errno) + ")";
        return false;
    }
    if (r.oldFd >= 0) {
        if (rename(r.temp.c_str(), r.path.c_str()) != 0) {
            why = "cannot rename " + r.temp + " to it (" + strerror(errno) + ")";
            return false;
        }
    } else {
        // A server started meanwhile has made the file: it stays theirs.
        if (link(r.temp.c_str(), r.path.c_str()) != 0) {
            why = errno == EEXIST ? std::string("a file appeared under that name meanwhile")
                                  : "cannot link " + r.temp + " to it (" + strerror(errno) + ")";
            return false;
        }
        unlink(r.temp.c_str());  // if this fails, the next change removes the name
    }
    // The rename itself lasts only once the directory is synced. Some file
    // systems cannot sync a directory; the records are in place all the same.
    int directory = open(directoryOf(r.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return true;
}

void abandonReplacement(Replacement& r) {
    if (r.newFd < 0)
        return;
    struct stat held;
    if (sameFile(r.temp, r.newFd, held))
        unlink(r.temp.c_str());
    close(r.newFd);
    r.newFd = -1;
}

void endReplacement(Replacement& r) {
    if (r.newFd >= 0)
        close(r.newFd);
    r.newFd = -1;
}
