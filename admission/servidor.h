// The server's listening endpoints: every accepted socket passes through
// admission, which enforces maxconec per client address from the accept
// on, and hands each admitted connection up to the conversation.
#pragma once

#include <cstdint>

#include "engine/escuta.h"
#include "operations/contadores.h"

class TComunica;
class TMaquina;

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
    // then, and at most kPreambulosMax of them wait at once. One object
    // holds the socket through header and handshake, and hands it, its
    // transport and its watch to the connection cAdmitido makes.
    void cAceita(int socket, const PeerAddress& peer) override;
    // The conversation's connection object for a connection admitted under
    // m (on the TLS port once its handshake has finished, m having held
    // its place): it takes its place under m before it returns, and no
    // socket; admission gives it the socket right after. The connection.
    virtual TComunica* cAdmitido(TMaquina* m) = 0;
    // The record under which a connection of ip (network order) is
    // admitted, made when ip has none. Null when ip is at its limit: the
    // socket (dono's, when dono is given) is then refused, on the plain
    // port with the refusal line and on the TLS port without a word, and
    // closed, and the refusal counted and logged.
    TMaquina* cVaga(uint32_t ip, TComunica* dono, int socket = -1);

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

