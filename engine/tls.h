// TLS for the connections of the TLS port (OpenSSL, non-blocking, in the one
// loop): one server context for the process, one session per connection,
// carried under the connection's receive and send so that nothing above
// them changes. TLS 1.2 and 1.3 only.
#pragma once

#include <cstddef>

// A session of the TLS port, with its transport over the socket (tls.cc).
struct SessaoTls;

// Loads the certificate chain and the private key (PEM files) into the
// process's server context. nullptr on success; otherwise "reason", valid
// until the next call. A pair that does not match fails.
const char* tlsCarrega(const char* certificado, const char* chave);

// A session of the context for an accepted socket; null on failure.
// antes: n bytes already read from the socket (what a proxy sent behind its
// PROXY header), which the session reads before the socket's own.
SessaoTls* tlsNova(int socket, const char* antes = nullptr, size_t n = 0);
// Drives the handshake on: 1 finished, 0 waiting for the peer, -1 failed
// (plain text on the TLS port, a protocol error, a closed peer).
int tlsAperto(SessaoTls* sessao);
// Reads as much as the session and the socket hold, up to n bytes: bytes
// read, 0 when the peer ended the session (close_notify or the end of the
// stream), kIoWouldBlock or kIoFailed (engine/platform.h).
long tlsRecv(SessaoTls* sessao, void* buf, size_t n);
// After a read short of n: true when the session still holds something
// for the next read (bytes, or the end or failure that stopped this one),
// which no readiness of the socket reports.
bool tlsGuarda(const SessaoTls* sessao);
// Writes both pieces, a then b: bytes taken, or kIoWouldBlock / kIoFailed.
long tlsSendPair(SessaoTls* sessao, const void* a, size_t na, const void* b, size_t nb);
// Says close_notify once, without waiting, and frees the session.
void tlsFim(SessaoTls* sessao);
