// What the server counts for its operators: plain process-wide counters,
// each one increment where its event happens, read only by the metrics
// endpoint. Totals run from the start of the process. Those of one
// listener (accepts, refusals) are kept by the listener.
#pragma once

#include <cstdint>

struct Contadores {
    uint64_t apertosTls = 0;       // TLS handshakes finished
    uint64_t apertosFalhos = 0;    // TLS handshakes failed or not finished in time
    uint64_t falhasSenha = 0;      // failed password checks, every kind
    // Lines interpreted, by the command table's row; the last slot counts
    // the lines that are no command.
    uint64_t comandos[32] = {};
};

extern Contadores contadores;

// The command table as the metrics name it: rows 0..kComandosNaTabela - 1,
// each row's word (lower case), and the slot of the lines that are none.
extern const int32_t kComandosNaTabela;
const char* palavraDoComando(int32_t linha);
