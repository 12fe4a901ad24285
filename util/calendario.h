// Calendar arithmetic on minute counts since 1 January 1601 00:00, the unit
// of every stored date (proleptic Gregorian; that day begins a 400-year
// cycle, which keeps the leap rules simple).
#pragma once

#include <cstdint>

constexpr uint32_t kMinutosPorDia = 1440;

// Calendar date of a minute count. Defined for every unsigned 32-bit count.
void minutesToDate(uint32_t minutes, int32_t& day, int32_t& month, int32_t& year);
// Minute count of 00:00 of a date; 0 when day is outside 1..31 or month
// outside 1..12. The day is not checked against the month's length.
int32_t dateToMinutes(int32_t day, int32_t month, int32_t year);
// The same count without the 32-bit cut, for callers that must know
// whether a date fits at all.
int64_t dateToMinutesWide(int32_t day, int32_t month, int32_t year);
// Hour (0..23) and minute (0..59) of a minute count.
inline void minutesToTime(uint32_t minutes, int32_t& hour, int32_t& minute) {
    hour = int32_t(minutes % kMinutosPorDia / 60);
    minute = int32_t(minutes % 60);
}
