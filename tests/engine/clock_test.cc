// The minute clock a pass reads: today's date plus the local time.
#include "engine/clock.h"

#include <gtest/gtest.h>

#include <ctime>

#include "engine/loop.h"
#include "util/calendario.h"

namespace {

TEST(Clock, MinuteClockIsTodayPlusTheLocalTime) {
    runPass(0);
    time_t agora = time(nullptr);
    tm t;
    localtime_r(&agora, &t);
    int32_t hoje = dateToMinutes(t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
    uint32_t esperado = uint32_t(hoje) + uint32_t(t.tm_hour * 60 + t.tm_min);
    // The pass read the clock a moment ago: allow the minute to turn.
    EXPECT_LE(esperado - minuteClock, 1u);
    EXPECT_LE(clockSecond, 61);
}

}  // namespace
