// The event loop: one thread, one pass after another. A pass refreshes the
// clocks and fires timers, accepts, receives by level, flushes by level,
// then waits on every socket until one needs attention or a timer is due.
#pragma once

#include <cstdint>

// Level being served by the receive or flush step; 6 outside them.
extern int8_t currentLevel;

// Runs passes until the process ends. Never returns.
[[noreturn]] void runEventLoop();

// One pass whose wait is cut to at most maxWaitMs (negative: not cut;
// tests drive the loop with it). The first call starts the clocks as runEventLoop does.
void runPass(int maxWaitMs);
