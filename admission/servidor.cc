// Admission: every accepted socket becomes a connection of its machine, unless
// that machine already holds maxconec connections, those still in their
// TLS handshake included. A refusal is one attempt to send its line before
// the socket closes (engine/transporte.h), since no connection takes it;
// on the TLS port nothing is said, since no session exists yet. A proxy's
// connection first gives its PROXY header, and one of the TLS port its
// handshake, both to one admission object, which then hands the socket,
// its transport and its watch to the client. On the TLS port a proxy's
// header comes first, then the handshake.
#include "admission/servidor.h"

#include "config/config.h"
#include "engine/clock.h"
#include "engine/diario.h"
#include "engine/platform.h"
#include "engine/transporte.h"
#include "admission/maquina.h"
#include "admission/proxy.h"
#include "engine/comunica.h"
#include "engine/tls.h"
#include "operations/contadores.h"
#include "text/format.h"

#include <cstring>

namespace {

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

// An accepted connection until admission is done with it: a listed proxy's
// header first, when it comes from one, then the TLS handshake, on the TLS
// port. Then its socket, transport and watch pass to the client as they
// are. In the handshake it holds a place under its machine, as a client
// does.
class TAdmissao : public TComunica, public TAlarme {
public:
    // A connection from a listed proxy: its header first.
    TAdmissao(TServidor* servidor, int socket, uint32_t proxy)
        : servidor(servidor), proxy(proxy), recebido(new char[kCabecaProxyMax + TComunica::kRecepcao]) {
        preambulos++;
        cConecta(socket);
        cArma(kPrazoDeEntrada);
    }
    // A connection of the TLS port admitted under m: its handshake.
    TAdmissao(TServidor* servidor, int socket, TMaquina* m) : servidor(servidor) {
        cConecta(socket);
        cApertoTls(m, nullptr, 0);
    }
    ~TAdmissao() override {
        cLargaCabeca();
        if (maquina != nullptr) {
            maquina->pendentes--;
            maquina->cTerminaSeLivre();
        }
    }
    void cEvento(const char* dados, int32_t len) override;
    void cDispara() override;

private:
    void cCabeca(const char* dados, int32_t len);
    // The handshake, under m; antes: n bytes of it that came behind the header.
    void cApertoTls(TMaquina* m, const char* antes, int32_t n);
    void cRecusaProxy(const char* motivo);
    void cLargaCabeca() {
        if (recebido != nullptr) {
            delete[] recebido;
            recebido = nullptr;
            preambulos--;
        }
    }
    TServidor* servidor;
    uint32_t proxy = 0;
    TMaquina* maquina = nullptr;  // set once the handshake has begun
    int32_t tamanho = 0;
    // The header's bytes while it is awaited, else null: less than a
    // header's most before each receive, so a whole receive always fits
    // behind it.
    char* recebido = nullptr;
};

void TAdmissao::cApertoTls(TMaquina* m, const char* antes, int32_t n) {
    maquina = m;
    maquina->pendentes++;
    cAssume(tlsNova(socketAberto(), antes, size_t(n)), false);
    cArma(kPrazoDeEntrada);
}

void TAdmissao::cRecusaProxy(const char* motivo) {
    char endereco[16];
    formatDotted(endereco, proxy);
    logEventAt(Gravidade::kAviso, "connection from proxy %s closed: %s", endereco, motivo);
    servidor->recusas.proxy++;
    delete this;  // closes without a word: the peer is a proxy, not a client
}

void TAdmissao::cDispara() {
    if (maquina == nullptr) {
        cRecusaProxy("no PROXY header within 10 s");
        return;
    }
    contadores.apertosFalhos++;  // no handshake within 10 s
    delete this;
}

void TAdmissao::cEvento(const char* dados, int32_t len) {
    if (dados != nullptr) {
        if (recebido != nullptr)
            cCabeca(dados, len);
        return;
    }
    if (len == kEventoSeguro) {
        contadores.apertosTls++;
        // The client takes its place under the machine before this object
        // gives its own up, so the record stays.
        cPassa(*servidor->cAdmitido(maquina));
        delete this;
    } else if (len == kEventoFechada) {
        if (maquina != nullptr)
            contadores.apertosFalhos++;  // the handshake failed: plain text, or a broken peer
        delete this;
    }
}

void TAdmissao::cCabeca(const char* dados, int32_t len) {
    memcpy(recebido + tamanho, dados, size_t(len));
    tamanho += len;
    uint32_t ip = proxy;
    int32_t usados = 0;
    switch (analisaCabecaProxy(reinterpret_cast<const uint8_t*>(recebido), tamanho, &ip, &usados)) {
    case CabecaProxy::kIncompleta:
        if (tamanho >= kCabecaProxyMax)
            cRecusaProxy("PROXY header too long");
        return;
    case CabecaProxy::kMalformada:
        cRecusaProxy("malformed PROXY header");
        return;
    case CabecaProxy::kCliente:
    case CabecaProxy::kProprio:
        break;
    }
    // The client's own bytes after the header go to the client, or to the
    // TLS handshake that comes first on the TLS port.
    const char* resto = recebido + usados;
    int32_t n = tamanho - usados;
    TMaquina* m = servidor->cVaga(ip, this);
    if (m == nullptr) {
        delete this;
    } else if (servidor->portaTls()) {
        cApertoTls(m, resto, n);  // the session keeps a copy
        cLargaCabeca();
        // A handshake whose bytes all came behind the header goes on in
        // the next receive step (the session holds them).
    } else {
        TComunica* cliente = servidor->cAdmitido(m);
        cPassa(*cliente);
        if (n > 0)
            cliente->cEvento(resto, n);  // may end the client (QUIT): touch nothing of it after
        delete this;
    }
}

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
        new TAdmissao(this, socket, peer.ip);
        return;
    }
    TMaquina* m = cVaga(peer.ip, nullptr, socket);
    if (m == nullptr)
        return;
    if (tls) {
        new TAdmissao(this, socket, m);
        return;
    }
    cAdmitido(m)->cConecta(socket);
}

TMaquina* TServidor::cVaga(uint32_t ip, TComunica* dono, int socket) {
    TMaquina* m = cBuscaMaquina(ip);
    // Only an existing record is held to the limit: a machine's first
    // connection is always admitted, whatever maxconec says.
    if (m == nullptr || m->ocupadas() < config.maxconec)
        return m != nullptr ? m : new TMaquina(ip);
    if (dono != nullptr)
        socket = dono->cSolta();
    if (tls) {
        // A handshake costs tens of KiB: one beyond the limit never starts.
        platformClose(socket);
    } else {
        char recusa[100];
        char* fim = formatText(recusa, sizeof recusa, "-Erro: Não é permitido mais de %d conex%s por máquina.\r\n",
                               config.maxconec, config.maxconec == 1 ? "ão" : "ões");
        transporteRecusa(socket, recusa, int32_t(fim - recusa));
    }
    cAnotaRecusa(ip, m->ocupadas());
    return nullptr;
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
