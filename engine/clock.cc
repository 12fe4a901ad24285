// The pass clocks: monotonic seconds for the wheel, and the local minute
// clock in the unit of every stored date.
#include "engine/clock.h"

#include "engine/alarme.h"
#include "engine/platform.h"
#include "util/calendario.h"

uint32_t minuteClock;
uint8_t clockSecond;
int64_t clockSeconds;

static void readWallClock() {
    PlatformLocalTime t = platformLocalTime();
    clockSecond = uint8_t(t.sec);
    int64_t inicioDoAno = dateToMinutesWide(1, 1, t.year);
    minuteClock = uint32_t(inicioDoAno + int64_t(t.yday) * kMinutosPorDia + t.hour * 60 + t.min);
}

void clockStart() {
    clockSeconds = platformMilliseconds() / 1000;
    readWallClock();
}

void clockRefresh() {
    int64_t now = platformMilliseconds() / 1000;
    int64_t elapsed = now - clockSeconds;
    clockSeconds = now;
    readWallClock();
    if (elapsed > 0)
        wheelAdvance(elapsed > kAlarmeVolta ? kAlarmeVolta : int(elapsed));
}
