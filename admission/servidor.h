// The server's listening endpoints: every accepted socket passes through
// admission, which enforces maxconec per client address from the accept
// on, and hands each admitted connection up to the conversation.
#pragma once

#include <cstdint>

#include "engine/escuta.h"
#include "operations/contadores.h"

class TComunica;
class TMaquina;
class TTransporte;

class TServidor : public TEscuta {
public:
    // tls: the TLS port, whose connections are admitted once their
    // handshake has finished (10 s at most).
    explicit TServidor(bool tls = false) : tls(tls) {}
    // A connection counts toward its address's maxconec from here on, its
    // handshake included; one beyond the limit is refused at once (on the
    // TLS port closed without a word, before any handshake). A connection
    // from one of config.proxies first gives its PROXY header (10 s at
    // most; on the TLS port before the handshake, which then counts under
    // the address the header names); it counts under no address until
    // then, and at most kPreambulosMax of them wait at once.
    void cAceita(int socket, const PeerAddress& peer) override;
    // Admission of a plain connection whose client is ip (network order):
    // the per-address limit, then cAdmitido; then resto, n bytes the client
    // has sent already, as its first input.
    void cAdmite(int socket, uint32_t ip, const char* resto, int32_t n);
    // The conversation's connection object for a connection admitted under
    // m (a finished TLS handshake, whose place m held for it, sessao its
    // session; or cAdmite): it takes the socket and its place under m
    // before it returns. The connection.
    virtual TComunica* cAdmitido(int socket, TMaquina* m, TTransporte* sessao) = 0;
    // Starts the TLS handshake of a connection whose client is ip, unless
    // its address is at the limit; antes: n bytes of the handshake read
    // already (behind a proxy's header).
    void cApertoTls(int socket, uint32_t ip, const char* antes, int32_t n);

    bool portaTls() const { return tls; }

    // Proxied connections waiting for their header, at most, over every
    // listener: a listed proxy carries many clients, so its own address is
    // held to no maxconec, and this and the 10 s for the header bound it.
    static constexpr int32_t kPreambulosMax = 256;

    // Accepted connections this listener refused, by reason, since the start.
    RecusasDaPorta recusas;

private:
    bool tls;
    // A connection of ip refused by the per-address limit: counted, and
    // logged one line a minute at most per address.
    void cAnotaRecusa(uint32_t ip, int32_t ocupadas);
};

