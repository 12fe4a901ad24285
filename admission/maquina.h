// The machine table: one record per client IPv4 address, in a red-black
// tree keyed by the address. A record lives while it has clients, TLS
// handshakes under way or a registration wait; it owns itself and ends
// itself under those rules. Its timer is the registration wait, pending
// while the timer is cArmado.
#pragma once

#include <cstdint>

#include "engine/alarme.h"
#include "operations/contadores.h"  // usuarios, maquinas

class TMaquina : public TAlarme {
public:
    // conexoes 0; counts in maquinas and enters the table.
    explicit TMaquina(uint32_t ip);
    // Leaves the table, uncounts itself; the TAlarme part disarms.
    ~TMaquina() override;
    // The registration wait ran out: a record that nothing else holds ends itself.
    void cDispara() override;
    // Connections that count toward maxconec: clients, and those still in
    // their TLS handshake.
    int32_t ocupadas() const { return conexoes + pendentes; }
    // Ends the record when nothing holds it any more (no client, no
    // handshake, no registration wait); true when it did: touch nothing then.
    bool cTerminaSeLivre();

    TMaquina* esq = nullptr;
    TMaquina* dir = nullptr;
    TMaquina* pai = nullptr;
    uint8_t cor = 0;        // bit 0 set: black
    int32_t conexoes = 0;   // live TCliente objects bound to this record
    int32_t pendentes = 0;  // its connections still in their TLS handshake
    uint32_t ip;            // network order, as the peer address held it
};

// The record of an address, or null.
TMaquina* cBuscaMaquina(uint32_t ip);
