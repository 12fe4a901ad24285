// How a connection's bytes cross its socket: as they are, or under a TLS
// session (engine/tls). A connection holds one from its accept on; the
// plain one is shared and holds nothing, a session is the connection's
// own until cFim.
#pragma once

#include <cstddef>
#include <cstdint>

class TTransporte {
public:
    // Drives the handshake on: 1 finished (or none), 0 waiting for the
    // peer, -1 failed.
    virtual int cAperto() { return 1; }
    // Reads up to n bytes: bytes read, 0 when the peer ended its stream,
    // kIoWouldBlock or kIoFailed (engine/platform.h).
    virtual long cRecebe(int socket, void* buf, size_t n) = 0;
    // After a read short of n: true when the transport still holds
    // something for the next read, which no readiness of the socket reports.
    virtual bool cGuarda() const { return false; }
    // Sends both pieces, a then b (mais: another send follows soon): bytes
    // taken, or kIoWouldBlock / kIoFailed.
    virtual long cEnviaPar(int socket, const char* a, size_t na, const char* b, size_t nb, bool mais) = 0;
    // The connection is closing: says goodbye if the transport has a way
    // to, and frees what it holds. The socket is closed after.
    virtual void cFim() {}

protected:
    ~TTransporte() = default;  // only cFim ends one
};

// The plain transport, the socket's own calls; shared by every connection.
TTransporte* transportePlano();

// For a socket that no connection takes: one send attempt of n bytes on
// the non-blocking socket (what it does not take at once is lost), then
// the socket closes.
void transporteRecusa(int socket, const char* texto, int32_t n);
