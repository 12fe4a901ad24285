// A clock the test moves: while a TRelogio lives, the platform's clock
// entries read it instead of the system, so clockRefresh (every pass) sees
// the seconds the test adds and turns the timer wheel by them, without a
// sleep. It starts at the system's present, so that a loop already running
// sees no jump, and both clocks move together: the monotonic one
// (clockSeconds, the wheel) and the wall clock (minuteClock, clockSecond).
#pragma once

#include <ctime>

#include "engine/platform.h"

class TRelogio {
public:
    TRelogio() {
        antes = platformCalls;
        timespec agora;
        platformSystemCalls.clock_gettime(CLOCK_MONOTONIC, &agora);
        monotonico() = agora;
        parede() = platformSystemCalls.time(nullptr);
        platformCalls.clock_gettime = leMonotonico;
        platformCalls.time = leParede;
    }
    ~TRelogio() {
        platformCalls.clock_gettime = antes.clock_gettime;
        platformCalls.time = antes.time;
    }
    TRelogio(const TRelogio&) = delete;
    TRelogio& operator=(const TRelogio&) = delete;

    // Moves both clocks on by whole seconds; nothing runs until the next pass.
    void cAvanca(int segundos) {
        monotonico().tv_sec += segundos;
        parede() += segundos;
        movidos += segundos;
    }
    // Seconds moved since the clock was made.
    long cMovidos() const { return movidos; }

private:
    static timespec& monotonico() {
        static timespec t;
        return t;
    }
    static long& parede() {
        static long t;
        return t;
    }
    static int leMonotonico(int, timespec* agora) {
        *agora = monotonico();
        return 0;
    }
    static long leParede(long* agora) {
        if (agora != nullptr)
            *agora = parede();
        return parede();
    }
    PlatformCalls antes;
    long movidos = 0;
};
