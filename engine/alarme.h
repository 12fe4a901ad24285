// One-shot timers on a wheel of 300 one-second slots. A timer sits in at
// most one list: idle (slot -1), armed (0..299) or expired (300).
#pragma once

#include <cstdint>

// The wheel's turn in seconds: the longest a timer can be armed for.
constexpr int32_t kAlarmeVolta = 300;

class TAlarme {
public:
    TAlarme();
    // Leaves whatever list the timer is in, the expired list included, so a
    // timer may be destroyed from inside another timer's cDispara.
    virtual ~TAlarme();
    TAlarme(const TAlarme&) = delete;
    TAlarme& operator=(const TAlarme&) = delete;

    // Arms, re-arms or cancels. Seconds are clamped to 0..300; 0 cancels.
    // Returns the clamped value. Re-arming to the slot the timer already
    // waits in changes nothing. Safe to call from any cDispara.
    int32_t cArma(int32_t segundos);
    // Seconds left: 0 when idle or expired, and 0 right after arming for 300
    // (the timer then waits in the current slot for a whole turn).
    int32_t cRestante() const;
    // Armed, or expired and not yet fired: cDispara is still to come. Unlike
    // cRestante, true for the whole of a 300-second arming.
    bool cArmado() const { return slot >= 0; }
    // Runs once per firing. The timer is idle by then, so it may re-arm
    // itself or delete itself.
    virtual void cDispara() {}

private:
    friend void wheelAdvance(int steps);
    friend int wheelSecondsToNextSlot();
    void unlink();
    TAlarme* anterior = nullptr;
    TAlarme* proximo = nullptr;
    int16_t slot = -1;
};

// Turns the wheel by steps (0..300) and fires every timer that expired:
// earlier seconds first, within one second the most recently armed first.
void wheelAdvance(int steps);
// Distance 1..30 from the wheel position to the next slot holding a timer;
// 30 when none is armed that close.
int wheelSecondsToNextSlot();
// Current wheel position, 0..299.
int wheelPosition();
