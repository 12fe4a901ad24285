// The event loop: one thread, one pass after another. A pass refreshes the
// clocks and fires timers, accepts, receives by level, flushes by level,
// then waits on every socket until one needs attention or a timer is due.
#pragma once

#include <cstdint>

// Runs passes until a stop signal is noted (platformCatchStopSignals),
// after the pass it came in; otherwise the process ends inside it. A
// SIGHUP runs aoSinalHup between two passes; without one it is logged and
// ignored.
void runEventLoop(void (*aoSinalHup)() = nullptr);

// The common exit routine, and the only way the server ends from inside
// the loop (STOP, a registry found inconsistent): tells the service
// manager the server is stopping, flushes standard output and ends the
// process with status.
[[noreturn]] void exitServer(int status);

// One pass whose wait is cut to at most maxWaitMs (negative: not cut;
// tests drive the loop with it). The first call starts the clocks as runEventLoop does.
void runPass(int maxWaitMs);
