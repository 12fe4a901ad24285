// What the platform's own files share, and no other file includes: the
// error number of the last failure, which platformErrorText and
// platformLastFailure read, and the wait set.
#pragma once

#include <cerrno>

extern int platformLastErrno;

// Keeps errno of the call that just failed.
inline void remember() { platformLastErrno = errno; }

// The wait set (epoll), made at its first use; -1 when it cannot be.
int platformEpollSet();
