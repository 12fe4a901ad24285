// The client ports: admission, then a client object that greets.
#pragma once

#include "admission/servidor.h"

class TRecepcao : public TServidor {
public:
    using TServidor::TServidor;
    // A client of m on the socket (and TLS session), and its greeting.
    TComunica* cAdmitido(int socket, TMaquina* m, TTransporte* sessao) override;
};
