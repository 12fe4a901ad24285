// The two clocks every pass shares: a seconds count that drives the timer
// wheel and the minute clock in which every stored date is kept. Both are
// read through the platform's clock entries (platformCalls), which a test
// may replace to move time without sleeping.
#pragma once

#include <cstdint>

// Local wall-clock minutes since 1 January 1601 00:00 (proleptic Gregorian).
// Refreshed at the start of every pass; tests may set it directly.
extern uint32_t minuteClock;
// Seconds field (0..61) of the same local time.
extern uint8_t clockSecond;
// Monotonic seconds of the current pass (milliseconds / 1000).
extern int64_t clockSeconds;

// Reads the clocks and turns the wheel by the seconds elapsed since the
// previous refresh (at most 300 steps; a backwards step turns nothing).
void clockRefresh();
// Sets clockSeconds to now without turning the wheel (loop entry).
void clockStart();
