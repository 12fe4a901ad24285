// The server's listening endpoint: every accepted socket passes through
// admission, which enforces maxconec per client address and greets.
#pragma once

#include "engine/escuta.h"

class TMaquina;

class TServidor : public TEscuta {
public:
    void cAceita(int socket, const PeerAddress& peer) override;

private:
    // Logs a refusal by the per-address limit, one line a minute at most.
    void cAnotaRecusa(TMaquina* m);
};
