// The timer wheel. Slot lists are unordered and new timers go to the head,
// so a second's timers fire newest first; expired timers wait in one list
// that keeps the order in which the wheel collected them.
#include "engine/alarme.h"

#include <cassert>

namespace {

constexpr int kSlots = kAlarmeVolta;
constexpr int16_t kExpired = kAlarmeVolta;

// Plain arrays with constant initialisation: ready before any dynamic
// initialiser runs, so timers may be armed before main.
TAlarme* slots[kSlots];
TAlarme* expiredHead;
TAlarme* expiredTail;
int16_t position;

}  // namespace

TAlarme::TAlarme() = default;

TAlarme::~TAlarme() { unlink(); }

void TAlarme::unlink() {
    if (slot < 0)
        return;
    if (anterior != nullptr)
        anterior->proximo = proximo;
    else if (slot == kExpired)
        expiredHead = proximo;
    else
        slots[slot] = proximo;
    if (proximo != nullptr)
        proximo->anterior = anterior;
    else if (slot == kExpired)
        expiredTail = anterior;
    anterior = proximo = nullptr;
    slot = -1;
}

int32_t TAlarme::cArma(int32_t segundos) {
    if (segundos < 0)
        segundos = 0;
    if (segundos > kSlots)
        segundos = kSlots;
    int16_t target = segundos == 0 ? int16_t(-1) : int16_t((position + segundos) % kSlots);
    if (slot == target)
        return segundos;
    unlink();
    if (target >= 0) {
        slot = target;
        proximo = slots[target];
        if (proximo != nullptr)
            proximo->anterior = this;
        slots[target] = this;
    }
    return segundos;
}

int32_t TAlarme::cRestante() const {
    if (slot < 0 || slot == kExpired)
        return 0;
    return (slot - position + kSlots) % kSlots;
}

void wheelAdvance(int steps) {
    for (int i = 0; i < steps && i < kSlots; i++) {
        position = int16_t((position + 1) % kSlots);
        TAlarme* list = slots[position];
        if (list == nullptr)
            continue;
        slots[position] = nullptr;
        list->anterior = expiredTail;
        if (expiredTail != nullptr)
            expiredTail->proximo = list;
        else
            expiredHead = list;
        TAlarme* t = list;
        for (;;) {
            t->slot = kExpired;
            if (t->proximo == nullptr)
                break;
            t = t->proximo;
        }
        expiredTail = t;
    }
    while (expiredHead != nullptr) {
        TAlarme* t = expiredHead;
        t->unlink();
        assert(t->slot == -1);
        t->cDispara();  // may re-arm or destroy t or any other timer
    }
}

int wheelSecondsToNextSlot() {
    int i = 1;
    while (slots[(position + i) % kSlots] == nullptr && i < 30)
        i++;
    return i;
}

int wheelPosition() { return position; }
