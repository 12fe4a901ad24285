// Admission: every accepted socket becomes a connection of its machine, unless
// that machine already holds maxconec connections, those still in their
// TLS handshake included. A refusal is sent on the bare socket, since no
// connection object exists for it; on the TLS port nothing is said, since
// no session exists yet. A proxy's connection first gives its PROXY
// header, and one of the TLS port its handshake, each to an object of its
// own that then hands the socket on. On the TLS port a proxy's header
// comes first, then the handshake.
#include "admission/servidor.h"

#include "config/config.h"
#include "engine/clock.h"
#include "engine/diario.h"
#include "engine/platform.h"
#include "admission/maquina.h"
#include "admission/proxy.h"
#include "engine/comunica.h"
#include "engine/tls.h"
#include "operations/contadores.h"
#include "text/format.h"

#include <cstring>

namespace {

constexpr int32_t kPrazoCabeca = 10;  // seconds for a proxy's header, and for a TLS handshake

int32_t preambulos = 0;  // live TPreambulo objects, every listener's

// Refusals logged: for each address told within the last minute, the second
// (clockSeconds) it was told. Four places per bucket of addresses: a place
// is taken over only once its minute is over, so no address is told twice
// in a minute, and the table never grows.
struct Dita {
    uint32_t ip;
    int64_t quando;  // 0: free
};
constexpr int32_t kBaldes = 256;
constexpr int32_t kVias = 4;
Dita ditas[kBaldes][kVias];

bool podeDizer(uint32_t ip) {
    Dita* balde = ditas[(ip * 2654435761u) >> 24];
    Dita* livre = nullptr;
    for (int32_t i = 0; i < kVias; i++) {
        Dita& d = balde[i];
        bool recente = d.quando != 0 && clockSeconds - d.quando < 60;
        if (recente && d.ip == ip)
            return false;
        if (!recente && livre == nullptr)
            livre = &d;
    }
    if (livre == nullptr)
        return false;  // every place speaks for another address this minute
    livre->ip = ip;
    livre->quando = clockSeconds != 0 ? clockSeconds : 1;
    return true;
}

// A proxied connection until its header has come: then its socket goes to
// a client of the address the header names, with what followed the header.
class TPreambulo : public TComunica, public TAlarme {
public:
    TPreambulo(TServidor* servidor, int socket, uint32_t proxy)
        : servidor(servidor), proxy(proxy) {
        preambulos++;
        cConecta(socket);
        cArma(kPrazoCabeca);
    }
    ~TPreambulo() override { preambulos--; }
    void cEvento(const char* dados, int32_t len) override;
    void cDispara() override { cRecusa("no PROXY header within 10 s"); }

private:
    void cRecusa(const char* motivo);
    TServidor* servidor;
    uint32_t proxy;
    int32_t tamanho = 0;
    // Less than a header's most before each receive, so a whole receive
    // always fits behind it.
    char recebido[kCabecaProxyMax + TComunica::kRecepcao];
};

void TPreambulo::cRecusa(const char* motivo) {
    char endereco[16];
    formatDotted(endereco, proxy);
    logEventAt(Gravidade::kAviso, "connection from proxy %s closed: %s", endereco, motivo);
    servidor->recusas.proxy++;
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
    if (servidor->portaTls())
        servidor->cApertoTls(socket, ip, recebido + usados, tamanho - usados);
    else
        servidor->cAdmite(socket, ip, recebido + usados, tamanho - usados);
    delete this;
}

// A connection of the TLS port until its handshake has finished; then its
// socket and session go to a client. It holds a place under its machine
// all the while, as a client does.
class TAperto : public TComunica, public TAlarme {
public:
    // antes: n bytes of the handshake that came behind a proxy's header.
    TAperto(TServidor* servidor, int socket, TMaquina* m, const char* antes, int32_t n)
        : servidor(servidor), maquina(m) {
        maquina->pendentes++;
        cConecta(socket, tlsNova(socket, antes, size_t(n)), false);
        cArma(kPrazoCabeca);
    }
    ~TAperto() override {
        maquina->pendentes--;
        maquina->cTerminaSeLivre();
    }
    void cEvento(const char* dados, int32_t len) override {
        if (dados == nullptr && len == kEventoSeguro) {
            contadores.apertosTls++;
            TTransporte* sessao = cSoltaTransporte();
            int socket = cSolta();
            // The client takes its place under the machine before this
            // object gives its own up, so the record stays.
            servidor->cAdmitido(socket, maquina, sessao);
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
    TMaquina* maquina;
};

}  // namespace

void TServidor::cAceita(int socket, const PeerAddress& peer) {
    // A TLS session holds a record's worth of the peer's bytes read ahead
    // and one of its replies besides the kernel's: the kernel's receive
    // buffer is halved to keep a connection that floods and never reads
    // within the same bound as a plain one.
    if (tls)
        platformSetBuffers(socket, kBufferRecepcaoTls, kBufferEnvio);
    // A proxy's header comes before anything else, the TLS handshake too.
    if (enderecoDeProxy(peer.ip)) {
        if (preambulos >= kPreambulosMax) {
            platformClose(socket);
            recusas.proxy++;
            if (podeDizer(peer.ip)) {
                char endereco[16];
                formatDotted(endereco, peer.ip);
                logEventAt(Gravidade::kAviso, "connection from proxy %s closed: %d connections wait for their PROXY header already",
                         endereco, kPreambulosMax);
            }
            return;
        }
        new TPreambulo(this, socket, peer.ip);
    } else if (tls) {
        cApertoTls(socket, peer.ip, nullptr, 0);
    } else {
        cAdmite(socket, peer.ip, nullptr, 0);
    }
}

void TServidor::cApertoTls(int socket, uint32_t ip, const char* antes, int32_t n) {
    TMaquina* m = cBuscaMaquina(ip);
    // A handshake costs tens of KiB: one beyond the limit never starts.
    if (m != nullptr && m->ocupadas() >= config.maxconec) {
        platformClose(socket);
        cAnotaRecusa(ip, m->ocupadas());
        return;
    }
    new TAperto(this, socket, m != nullptr ? m : new TMaquina(ip), antes, n);
}

void TServidor::cAdmite(int socket, uint32_t ip, const char* resto, int32_t n) {
    TMaquina* m = cBuscaMaquina(ip);
    // Only an existing record is held to the limit: a machine's first
    // connection is always admitted, whatever maxconec says.
    if (m != nullptr && m->ocupadas() >= config.maxconec) {
        char recusa[100];
        char* fim = formatText(recusa, sizeof recusa, "-Erro: Não é permitido mais de %d conex%s por máquina.\r\n",
                               config.maxconec, config.maxconec == 1 ? "ão" : "ões");
        // One attempt on the non-blocking socket: what it does not take
        // at once is lost, and the socket closes regardless.
        platformSend(socket, recusa, size_t(fim - recusa));
        platformClose(socket);
        cAnotaRecusa(ip, m->ocupadas());
        return;
    }
    TComunica* cliente = cAdmitido(socket, m != nullptr ? m : new TMaquina(ip), nullptr);
    if (n > 0)
        cliente->cEvento(resto, n);  // may end the client (QUIT): touch nothing after
}

void TServidor::cAnotaRecusa(uint32_t ip, int32_t ocupadas) {
    recusas.limite++;
    // An address that keeps connecting would otherwise write a line per
    // attempt, and one whose connections come and go a line per round.
    if (!podeDizer(ip))
        return;
    char endereco[16];
    formatDotted(endereco, ip);
    logEventAt(Gravidade::kAviso, "connection from %s refused: it holds %d, the most per address", endereco, ocupadas);
}
