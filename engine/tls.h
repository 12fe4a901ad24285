// TLS for the connections of the TLS port (OpenSSL, non-blocking, in the one
// loop): one server context for the process, one session per connection,
// carried under the connection's receive and send so that nothing above
// them changes. TLS 1.2 and 1.3 only.
#pragma once

#include <cstddef>

#include "engine/transporte.h"

// Loads the certificate chain and the private key (PEM files) into the
// process's server context. nullptr on success; otherwise "reason", valid
// until the next call. A pair that does not match fails.
const char* tlsCarrega(const char* certificado, const char* arquivoDaChave);

// A session of the context for an accepted socket, the transport of its
// connection; null on failure. antes: n bytes already read from the socket
// (what a proxy sent behind its PROXY header), which the session reads
// before the socket's own. Its handshake (cAperto) ends with 1 when it has
// finished and -1 when it failed (plain text on the TLS port, a protocol
// error, a closed peer); cRecebe returns 0 for the peer's close_notify as
// for the end of the stream; cFim says close_notify once, without waiting.
TTransporte* tlsNova(int socket, const char* antes = nullptr, size_t n = 0);
