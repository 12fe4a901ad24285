// A whole-file change. The server never replaces its file; the rename,
// link and ownership calls it takes are the platform layer's, kept apart
// there for the tool. The tool installs no signal handler, so no call
// here sees EINTR.
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

#include "engine/platform.h"

namespace {

// Whether the name and the descriptor lead to the same file.
bool sameFile(const std::string& path, int fd, PlatformFileStatus& held) {
    PlatformFileStatus named;
    return platformFileStatus(fd, &held) && platformNameStatus(path.c_str(), &named) && named.id == held.id;
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
        int f = platformOpenReadOnly(path.c_str());
        if (f < 0) {
            if (platformLastFailure() == PlatformFailure::kMissing)
                return LockOutcome::kMissing;
            why = platformErrorText();
            return LockOutcome::kFailed;
        }
        if (!platformLockFile(f)) {
            platformCloseFile(f);  // the failure stays the lock's
            if (platformLastFailure() == PlatformFailure::kBusy)
                return LockOutcome::kBusy;
            why = platformErrorText();
            return LockOutcome::kFailed;
        }
        PlatformFileStatus held;
        if (sameFile(path, f, held)) {
            if (!held.regular) {
                platformCloseFile(f);
                why = "not a regular file";
                return LockOutcome::kFailed;
            }
            fd = f;
            return LockOutcome::kLocked;
        }
        platformCloseFile(f);
    }
    why = "the file under that name keeps changing";
    return LockOutcome::kFailed;
}

LockOutcome beginReplacement(Replacement& r, std::string& why) {
    r.temp = r.path + ".loading";
    PlatformFileStatus old;
    if (r.oldFd >= 0 && !platformFileStatus(r.oldFd, &old)) {
        why = platformErrorText();
        return LockOutcome::kFailed;
    }
    for (int attempt = 0; attempt < kTries; attempt++) {
        int f = platformOpenNew(r.temp.c_str());
        if (f < 0) {
            why = r.temp + ": " + platformErrorText();
            return LockOutcome::kFailed;
        }
        PlatformFileStatus held;
        if (r.oldFd >= 0 && platformFileStatus(f, &held) && held.id == old.id) {
            // A second name of the locked file, left by a load that was
            // killed between making a new file and removing this name.
            platformCloseFile(f);
            platformRemoveName(r.temp.c_str());
            continue;
        }
        if (!platformLockFile(f)) {
            platformCloseFile(f);  // the failure stays the lock's
            if (platformLastFailure() == PlatformFailure::kBusy)
                return LockOutcome::kBusy;
            why = r.temp + ": " + platformErrorText();
            return LockOutcome::kFailed;
        }
        if (sameFile(r.temp, f, held)) {
            if (held.regular && held.links == 1 && held.size == 0) {
                r.newFd = f;
                return LockOutcome::kLocked;
            }
            // Locked by us, so no live change writes it: what a killed one
            // left (maybe a second name of the registry file). Only the name
            // goes; a fresh file takes it.
            platformRemoveName(r.temp.c_str());
        }
        platformCloseFile(f);
    }
    why = r.temp + ": cannot be made afresh (it keeps changing)";
    return LockOutcome::kFailed;
}

bool finishReplacement(Replacement& r, std::string& why) {
    if (r.oldFd < 0) {
        // A new registry belongs to whoever owns its directory: root loading
        // into the service's state directory must leave a file the service
        // can open. Its mode is the directory's read and write bits for
        // owner and group, never for others (the file holds the password
        // digests): 0700 gives 0600. Someone other than root may not give a
        // file away; theirs stays their own, which is what they can open.
        PlatformFileStatus directory, now;
        if (!platformNameStatus((directoryOf(r.path) + "/.").c_str(), &directory) ||
            !platformFileStatus(r.newFd, &now)) {
            why = platformErrorText();
            return false;
        }
        if (directory.owner != now.owner || directory.group != now.group)
            platformSetOwner(r.newFd, directory.owner, directory.group);
        if (!platformSetPermissions(r.newFd, directory.permissions & 0660)) {
            why = "cannot set the new file's permissions (" + std::string(platformErrorText()) + ")";
            return false;
        }
    } else {
        // A registry owned by the service's user stays its own when root
        // runs the load; a group or mode set by hand stays as it was.
        PlatformFileStatus old, now;
        if (!platformFileStatus(r.oldFd, &old) || !platformFileStatus(r.newFd, &now)) {
            why = platformErrorText();
            return false;
        }
        if ((old.owner != now.owner || old.group != now.group) && !platformSetOwner(r.newFd, old.owner, old.group)) {
            why = "cannot give the new file the owner and group of the old one (" + std::string(platformErrorText()) +
                  ")";
            return false;
        }
        if (!platformSetPermissions(r.newFd, old.permissions)) {
            why = "cannot give the new file the permissions of the old one (" + std::string(platformErrorText()) + ")";
            return false;
        }
    }
    if (!platformSyncAll(r.newFd)) {
        why = "syncing " + r.temp + " failed (" + platformErrorText() + ")";
        return false;
    }
    if (r.oldFd >= 0) {
        if (!platformRename(r.temp.c_str(), r.path.c_str())) {
            why = "cannot rename " + r.temp + " to it (" + platformErrorText() + ")";
            return false;
        }
    } else {
        // A server started meanwhile has made the file: it stays theirs.
        if (!platformLink(r.temp.c_str(), r.path.c_str())) {
            why = platformLastFailure() == PlatformFailure::kExists
                      ? std::string("a file appeared under that name meanwhile")
                      : "cannot link " + r.temp + " to it (" + platformErrorText() + ")";
            return false;
        }
        platformRemoveName(r.temp.c_str());  // if this fails, the next change removes the name
    }
    // The server's journal (the name with ".lote") holds batches of the
    // old file, which a power loss may have kept from it; they are no
    // changes of the new one, and the next start must not apply them.
    platformRemoveName((r.path + ".lote").c_str());
    // The rename itself lasts only once the directory is synced. Some file
    // systems cannot sync a directory; the records are in place all the same.
    platformSyncDirectory(directoryOf(r.path).c_str());
    return true;
}

void abandonReplacement(Replacement& r) {
    if (r.newFd < 0)
        return;
    PlatformFileStatus held;
    if (sameFile(r.temp, r.newFd, held))
        platformRemoveName(r.temp.c_str());
    platformCloseFile(r.newFd);
    r.newFd = -1;
}

void endReplacement(Replacement& r) {
    if (r.newFd >= 0)
        platformCloseFile(r.newFd);
    r.newFd = -1;
}
