// The metrics endpoint: HTTP/1.1 on its own listener, in the same loop.
// GET /metrics answers the counters in the Prometheus text format; any
// other path is 404. A request head over 8 KiB, or not complete within
// 10 s, closes the connection. One request per connection; at most
// kPorEndereco connections of one address and kAbertasMax in all are
// served at once, and one beyond is closed at its accept.
#pragma once

#include <cstdint>

#include "engine/escuta.h"
#include "operations/contadores.h"

// A client listener as the metrics see it: its accepts, and its refusals.
struct PortaContada {
    const TEscuta* escuta;
    const RecusasDaPorta* recusas;
};

// The metrics listener; it accepts and serves by itself.
class TMetricas : public TEscuta {
public:
    // The client listeners, whose accepts and refusals are counted: the
    // plain port, and the TLS port (counted when config.portatls is set);
    // comandos names the rows of contadores.comandos.
    TMetricas(PortaContada plano, PortaContada tls, NomesDosComandos comandos)
        : plano(plano), tls(tls), comandos(comandos) {}
    void cAceita(int socket, const PeerAddress& peer) override;

    // Writes the exposition into out (size bytes): its length, cut at size.
    int32_t cExpoe(char* out, int32_t size) const;

    // A scraper needs one connection, and one more while a slow one ends.
    static constexpr int32_t kPorEndereco = 2;
    static constexpr int32_t kAbertasMax = 8;

private:
    PortaContada plano;
    PortaContada tls;
    NomesDosComandos comandos;
    uint64_t recusadas = 0;  // closed at accept by the limits above
};
