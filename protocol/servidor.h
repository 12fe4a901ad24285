// The server's listening endpoint: every accepted socket passes through
// admission, which enforces maxconec per client address and greets.
#pragma once

#include "engine/escuta.h"

class TMaquina;

class TServidor : public TEscuta {
public:
    // tls: the TLS port, whose connections are admitted once their
    // handshake has finished (10 s at most).
    explicit TServidor(bool tls = false) : tls(tls) {}
    // A connection from one of config.proxies first gives its PROXY header
    // (10 s at most; on the TLS port before the handshake), and is
    // admitted as the client the header names.
    void cAceita(int socket, const PeerAddress& peer) override;
    // Admission of a connection whose client is ip (network order): the
    // per-address limit, the client object and its greeting; then resto,
    // n bytes the client has sent already, as its first input.
    // sessao: the connection's TLS session, or null.
    void cAdmite(int socket, uint32_t ip, const char* resto, int32_t n, void* sessao = nullptr);

private:
    bool tls;
    // Logs a refusal by the per-address limit, one line a minute at most.
    void cAnotaRecusa(TMaquina* m);
};
