// Admission: every accepted socket becomes a client of its machine, unless
// that machine already holds maxconec connections. A refusal is sent on the
// bare socket (or its TLS session), since no connection object exists for
// it. A proxy's connection first gives its PROXY header, and one of the TLS
// port its handshake, each to an object of its own that then hands the
// socket on. On the TLS port a proxy's header comes first, then the
// handshake.
#include "protocol/servidor.h"

#include "config/config.h"
#include "engine/clock.h"
#include "engine/diario.h"
#include "engine/platform.h"
#include "engine/tls.h"
#include "protocol/cliente.h"
#include "protocol/contadores.h"
#include "protocol/maquina.h"
#include "protocol/proxy.h"
#include "text/format.h"

#include <cstring>

namespace {

constexpr int32_t kPrazoCabeca = 10;  // seconds for a proxy's header, and for a TLS handshake

// Starts the TLS handshake of a connection of the TLS port (below).
void cTls(TServidor* servidor, int socket, uint32_t ip, const char* antes, int32_t n);

// A proxied connection until its header has come: then its socket goes to
// a client of the address the header names, with what followed the header.
class TPreambulo : public TComunica, public TAlarme {
public:
    TPreambulo(TServidor* servidor, int socket, uint32_t proxy, bool tls)
        : servidor(servidor), proxy(proxy), tls(tls) {
        cConecta(socket);
        cArma(kPrazoCabeca);
    }
    void cEvento(const char* dados, int32_t len) override;
    void cDispara() override { cRecusa("no PROXY header within 10 s"); }

private:
    void cRecusa(const char* motivo);
    TServidor* servidor;
    uint32_t proxy;
    bool tls;
    int32_t tamanho = 0;
    // Less than a header's most before each receive, so a whole receive
    // always fits behind it.
    char recebido[kCabecaProxyMax + TComunica::kRecepcao];
};

void TPreambulo::cRecusa(const char* motivo) {
    char endereco[16];
    formatDotted(endereco, proxy);
    logEvent("connection from proxy %s closed: %s", endereco, motivo);
    contadores.recusadasProxy++;
    delete this;  // closes without a word: the peer is a proxy, not a client
}

void TPreambulo::cEvento(const char* dados, int32_t len) {
    if (dados == nullptr) {
        if (len == kEventoFechada)
            delete this;
        return;
    }
    memcpy(recebido + tamanho, dados, size_t(len));
    tamanho += len;
    uint32_t ip = proxy;
    int32_t usados = 0;
    switch (analisaCabecaProxy(reinterpret_cast<const uint8_t*>(recebido), tamanho, &ip, &usados)) {
    case CabecaProxy::kIncompleta:
        if (tamanho >= kCabecaProxyMax)
            cRecusa("PROXY header too long");
        return;
    case CabecaProxy::kMalformada:
        cRecusa("malformed PROXY header");
        return;
    case CabecaProxy::kCliente:
    case CabecaProxy::kProprio:
        break;
    }
    // The client's own bytes after the header go to the client, or to the
    // TLS handshake that comes first on the TLS port.
    int socket = cSolta();
    if (tls)
        cTls(servidor, socket, ip, recebido + usados, tamanho - usados);
    else
        servidor->cAdmite(socket, ip, recebido + usados, tamanho - usados);
    delete this;
}

// A connection of the TLS port until its handshake has finished; then its
// socket and session go to a client.
class TAperto : public TComunica, public TAlarme {
public:
    // antes: n bytes of the handshake that came behind a proxy's header.
    TAperto(TServidor* servidor, int socket, uint32_t ip, const char* antes, int32_t n)
        : servidor(servidor), ip(ip) {
        cConectaTls(socket, tlsNova(socket, antes, size_t(n)), false);
        cArma(kPrazoCabeca);
    }
    void cEvento(const char* dados, int32_t len) override {
        if (dados == nullptr && len == kEventoSeguro) {
            contadores.apertosTls++;
            void* sessao = cSoltaTls();
            int socket = cSolta();
            servidor->cAdmite(socket, ip, nullptr, 0, sessao);
            delete this;
        } else if (dados == nullptr && len == kEventoFechada) {
            contadores.apertosFalhos++;
            delete this;  // the handshake failed: plain text, or a broken peer
        }
    }
    void cDispara() override {  // no handshake within 10 s
        contadores.apertosFalhos++;
        delete this;
    }

private:
    TServidor* servidor;
    uint32_t ip;
};

void cTls(TServidor* servidor, int socket, uint32_t ip, const char* antes, int32_t n) {
    new TAperto(servidor, socket, ip, antes, n);
}

}  // namespace

void TServidor::cAceita(int socket, const PeerAddress& peer) {
    // A proxy's header comes before anything else, the TLS handshake too.
    if (enderecoDeProxy(peer.ip))
        new TPreambulo(this, socket, peer.ip, tls);
    else if (tls)
        cTls(this, socket, peer.ip, nullptr, 0);
    else
        cAdmite(socket, peer.ip, nullptr, 0);
}

void TServidor::cAdmite(int socket, uint32_t ip, const char* resto, int32_t n, void* sessao) {
    TMaquina* m = cBuscaMaquina(ip);
    // Only an existing record is held to the limit: a machine's first
    // connection is always admitted, whatever maxconec says.
    if (m != nullptr && m->conexoes >= config.maxconec) {
        char recusa[100];
        char* fim = formatText(recusa, sizeof recusa, "-Erro: Não é permitido mais de %d conex%s por máquina.\r\n",
                               config.maxconec, config.maxconec == 1 ? "ão" : "ões");
        // One attempt on the non-blocking socket: what it does not take
        // at once is lost, and the socket closes regardless.
        if (sessao != nullptr) {
            tlsSendPair(sessao, recusa, size_t(fim - recusa), nullptr, 0);
            tlsFim(sessao);
        } else {
            platformSend(socket, recusa, size_t(fim - recusa));
        }
        platformClose(socket);
        contadores.recusadasLimite++;
        cAnotaRecusa(m);
        return;
    }
    if (m == nullptr)
        m = new TMaquina(ip);
    TCliente* cliente = new TCliente(m);
    if (sessao != nullptr)
        cliente->cConectaTls(socket, sessao, true);
    else
        cliente->cConecta(socket);

    char saudacao[80];
    formatText(saudacao, sizeof saudacao, "+OK QUELTA Versão 2.03. Agora %d usuário%s.\r\n", usuarios,
               usuarios == 1 ? "" : "s");
    // A fresh ring always has room for the greeting.
    cliente->cEnvia(saudacao, -1);
    if (n > 0)
        cliente->cEvento(resto, n);  // may end the client (QUIT): touch nothing after
}

void TServidor::cAnotaRecusa(TMaquina* m) {
    // An address that keeps connecting would otherwise write a line per
    // attempt: one a minute at most, with the count of those left out.
    if (m->recusaDita != 0 && clockSeconds - m->recusaDita < 60) {
        m->recusasCaladas++;
        return;
    }
    char endereco[16];
    formatDotted(endereco, m->ip);
    if (m->recusasCaladas > 0)
        logEvent("connection from %s refused: it holds %d, the most per address (%d more refused since the last "
                 "such line)",
                 endereco, m->conexoes, m->recusasCaladas);
    else
        logEvent("connection from %s refused: it holds %d, the most per address", endereco, m->conexoes);
    m->recusaDita = clockSeconds;
    m->recusasCaladas = 0;
}
