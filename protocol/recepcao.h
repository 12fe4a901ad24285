// The client ports: admission, then a client object that greets.
#pragma once

#include "admission/servidor.h"

class TRecepcao : public TServidor {
public:
    using TServidor::TServidor;
    // A client of m, its greeting queued.
    TComunica* cAdmitido(TMaquina* m) override;
};
