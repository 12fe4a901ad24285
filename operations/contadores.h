// What the server counts for its operators: plain process-wide counters,
// each one increment where its event happens, read only by the metrics
// endpoint. Totals run from the start of the process. Those of one
// listener (accepts, refusals) are kept by the listener, in the shapes
// below.
#pragma once

#include <cstdint>

extern int32_t usuarios;  // live client connections (TCliente objects)
extern int32_t maquinas;  // live machine records (TMaquina)

// Accepted connections a client listener refused, by reason, since the start.
struct RecusasDaPorta {
    uint64_t limite = 0;  // maxconec of the client's address
    uint64_t proxy = 0;   // a proxy's header missing, malformed, or no room to wait for it
};

struct Contadores {
    uint64_t apertosTls = 0;       // TLS handshakes finished
    uint64_t apertosFalhos = 0;    // TLS handshakes failed or not finished in time
    uint64_t falhasSenha = 0;      // failed password checks, every kind
    // Lines interpreted, by the command table's row; the last slot counts
    // the lines that are no command.
    uint64_t comandos[32] = {};
};

extern Contadores contadores;

// The command table as the metrics name it, given by whoever counts the
// commands: rows 0..linhas - 1 of comandos, each row's word (lower case),
// and the slot of the lines that are none.
struct NomesDosComandos {
    int32_t linhas;
    const char* (*palavra)(int32_t linha);
};
