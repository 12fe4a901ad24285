// The machine table: one record per client IPv4 address, in a red-black
// tree keyed by the address. A record lives while it has clients or a
// registration wait; it owns itself and ends itself under those rules. Its
// timer is the registration wait, pending while the timer is cArmado.
#pragma once

#include <cstdint>

#include "engine/alarme.h"

extern int32_t usuarios;  // live TCliente objects
extern int32_t maquinas;  // live TMaquina records

class TMaquina : public TAlarme {
public:
    // conexoes 0; counts in maquinas and enters the table.
    explicit TMaquina(uint32_t ip);
    // Leaves the table, uncounts itself; the TAlarme part disarms.
    ~TMaquina() override;
    // The registration wait ran out: a record without clients ends itself.
    void cDispara() override;

    TMaquina* esq = nullptr;
    TMaquina* dir = nullptr;
    TMaquina* pai = nullptr;
    uint8_t cor = 0;        // bit 0 set: black
    int32_t conexoes = 0;   // live TCliente objects bound to this record
    uint32_t ip;            // network order, as the peer address held it
    // Refusals by the per-address limit: the second (clockSeconds) of the
    // last one logged, and those since that were not.
    int64_t recusaDita = 0;
    int32_t recusasCaladas = 0;
};

// The record of an address, or null.
TMaquina* cBuscaMaquina(uint32_t ip);
