// A registry file changed as a whole: the new contents are written to a
// file of their own beside it, synced, and then take the name in one
// rename. A change cut short at any point, even by SIGKILL or a power
// failure, leaves under the name either the old file, whole, or the new
// one; at most the unfinished new one stays beside it, and the next change
// removes it.
#pragma once

#include <string>

enum class LockOutcome {
    kLocked,   // opened and locked
    kMissing,  // no file under the name
    kBusy,     // another process holds the lock
    kFailed,   // why says what went wrong
};

// Opens the regular file at path for reading and takes its exclusive
// flock, the one a running server holds. Locked only when the name still
// leads to the locked file afterwards: a load that ended meanwhile may have
// put a new file under it, and the old one is nobody's registry any more.
LockOutcome openLocked(const std::string& path, int& fd, std::string& why);

struct Replacement {
    std::string path;   // the file to replace, or to create
    std::string temp;   // beside it: path + ".loading"
    int oldFd = -1;     // path's file, locked by openLocked; -1 when there is none
    int newFd = -1;     // temp, locked from its creation to the end
};

// Makes temp, empty and locked, removing what a killed change left under
// that name. Busy when another change is writing it.
LockOutcome beginReplacement(Replacement& r, std::string& why);
// Gives temp the old file's owner, group and permission bits (a new file
// its directory's owner and group when the process may give them, and the
// directory's read and write bits for owner and group), syncs it and puts it under path: by rename over
// the old file, or when there was none by a link that fails if a file has
// appeared there meanwhile. False, with why, when it did not happen; the
// caller then abandons.
bool finishReplacement(Replacement& r, std::string& why);
// Removes temp and closes it; the file under path is untouched.
void abandonReplacement(Replacement& r);
// Closes what is still open, so the locks end; after finishReplacement.
void endReplacement(Replacement& r);
