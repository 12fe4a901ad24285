// The metrics endpoint: HTTP/1.1 on its own listener, in the same loop.
// GET /metrics answers the counters in the Prometheus text format; any
// other path is 404. A request head over 8 KiB, or not complete within
// 10 s, closes the connection. One request per connection.
#pragma once

#include <cstdint>

#include "engine/escuta.h"

class TEscuta;

// The metrics listener; it accepts and serves by itself.
class TMetricas : public TEscuta {
public:
    // reference: the client listener, whose accepts are counted.
    explicit TMetricas(const TEscuta* clientes) : clientes(clientes) {}
    void cAceita(int socket, const PeerAddress& peer) override;

    // Writes the exposition into out (size bytes): its length, cut at size.
    int32_t cExpoe(char* out, int32_t size) const;

private:
    const TEscuta* clientes;
};
