// The buffered connection: its socket and transport, its ring, cEnvia and
// cDescarrega. The pass steps that serve it are in passo.cc.
#include "engine/comunica.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/core.h"
#include "engine/platform.h"
#include "engine/transporte.h"

namespace {

const char kLevelRule[] = "[TComunica] Erro: cEnvia() foi chamado de cEvento() de menor nível";

}  // namespace

// --- Construction and sockets ------------------------------------------------

TComunica::TComunica() : transporte(transportePlano()) { EngineCore::join(this, kChainLevel, true); }

TComunica::~TComunica() {
    EngineCore::forgetServed(this);
    cFecha(true);
    for (int k = 0; k < kChains; k++)
        EngineCore::leave(this, k);
}

void TComunica::cConecta(int socket) {
    if (aberta())
        cFecha(false);
    if (socket < 0)
        return;
    socketEscrita = socketLeitura = socket;
    EngineCore::registerSocket(socket, this, nullptr);
    if (platformWatch(socket, kWaitRead, true)) {
        interesse = kWaitRead;
    } else {
        // Never reported readable, it could never be served: close it in
        // the next receive step like any broken connection.
        fechaPendente = 1;
        EngineCore::join(this, kChainReady, true);
    }
}

void TComunica::cConecta(int socket, TTransporte* proprio, bool feito) {
    cConecta(socket);
    cAssume(proprio, feito);
}

void TComunica::cAssume(TTransporte* proprio, bool feito) {
    if (proprio == nullptr) {
        fechaPendente = 1;  // no transport could be made: closed in the next receive step
        EngineCore::join(this, kChainReady, true);
        return;
    }
    transporte = proprio;
    apertoFeito = feito ? 1 : 0;
    // The transport may hold bytes already read from the socket, which no
    // readiness would report: the next receive step reads.
    legivel = 1;
    EngineCore::join(this, kChainReady, false);
}

void TComunica::cPassa(TComunica& destino) {
    int s = socketLeitura;
    destino.socketLeitura = s;
    destino.socketEscrita = socketEscrita;
    destino.interesse = interesse;
    destino.fechaPendente = fechaPendente;
    destino.apertoFeito = apertoFeito;
    destino.transporte = transporte;
    transporte = transportePlano();
    apertoFeito = 1;
    socketLeitura = socketEscrita = -1;
    cSolta();  // no socket left: only the ring, the stage and the chains
    EngineCore::registerSocket(s, &destino, nullptr);
    // The reading the destination wants (it may be suspended) is brought
    // to the wait set; the same interest costs nothing.
    EngineCore::watch(&destino, false);
    if (destino.fechaPendente) {
        EngineCore::join(&destino, kChainReady, true);
    } else if (destino.transporte != transportePlano()) {
        // A transport of its own may hold bytes already read.
        destino.legivel = 1;
        EngineCore::join(&destino, kChainReady, false);
    }
}

TTransporte* TComunica::cSoltaTransporte() {
    TTransporte* t = transporte;
    transporte = transportePlano();
    apertoFeito = 1;
    return t;
}

void TComunica::cFecha(bool descarregaAntes) {
    // cDescarrega drops (and closes) a failed write socket itself.
    if (socketEscrita >= 0 && descarregaAntes && nivelEnvio != 5 && temSaida())
        cDescarrega();
    cSoltaTransporte()->cFim();
    int s = cSolta();
    if (s >= 0)
        platformClose(s);
}

int TComunica::cSolta() {
    int s = socketLeitura;
    if (s >= 0) {
        // Unwatched before it is closed or handed on: a forked child may
        // still hold the descriptor, and epoll would keep reporting it
        // under a number that a new connection may take.
        platformUnwatch(s);
        EngineCore::forgetSocket(s);
    }
    if (socketEscrita >= 0 && socketEscrita != s)
        platformClose(socketEscrita);
    socketEscrita = socketLeitura = -1;
    cabeca = cauda = 0;
    cLargaPalco();
    fechaPendente = 0;
    legivel = cheio = interesse = querVez = 0;
    EngineCore::leave(this, kChainReady);
    EngineCore::leave(this, kChainPending);
    return s;
}

// --- Ring --------------------------------------------------------------------

static int32_t roomOf(int16_t cabeca, int16_t cauda) {
    return (cabeca - cauda + TComunica::kRing - 1) % TComunica::kRing;
}

bool TComunica::cManda(const char* a, int32_t na, const char* b, int32_t nb, bool mais, int32_t& enviados) {
    long r = transporte->cEnviaPar(socketEscrita, a, size_t(na), b, size_t(nb), mais);
    if (r == kIoWouldBlock) {
        r = 0;
    } else if (r < 0) {
        if (socketEscrita != socketLeitura)
            platformClose(socketEscrita);
        socketEscrita = -1;
        fechaPendente = 1;
        cheio = 0;
        EngineCore::join(this, kChainReady, true);
        return false;
    }
    enviados = int32_t(r);
    return true;
}

bool TComunica::cDescarrega(bool maisAVir) {
    if (socketEscrita < 0 || !temSaida())
        return !temSaida();
    if (antesDeEnviar != nullptr)
        antesDeEnviar();  // may rewrite what is queued here: read it after
    if (palco != nullptr) {
        // The ring joins the stage when it fits: one send for both.
        cEncenaAnel();
        int32_t n;
        if (!cManda(palco + palcoEnviado, palcoUsado - palcoEnviado, nullptr, 0, maisAVir || cabeca != cauda, n))
            return false;
        palcoEnviado += n;
        if (palcoEnviado != palcoUsado) {
            cheio = 1;
            return false;
        }
        cLargaPalco();
    }
    if (cabeca != cauda) {
        // A ring that wraps its end goes out in one call as two pieces: the
        // bytes up to the end, then those from position 0.
        int32_t trecho = cauda >= cabeca ? cauda - cabeca : kRing - cabeca;
        int32_t resto = cauda >= cabeca ? 0 : cauda;
        int32_t n;
        if (!cManda(anel + cabeca, trecho, anel, resto, maisAVir, n))
            return false;
        cabeca = int16_t((cabeca + n) % kRing);
        if (cabeca != cauda) {
            cheio = 1;
            return false;
        }
    }
    if (!querVez)
        EngineCore::leave(this, kChainPending);
    cheio = 0;
    // Write interest is registered only while output is stuck; an empty
    // ring must not wake every wait.
    if (interesse & kWaitWrite)
        EngineCore::watch(this, false);
    return true;
}

bool TComunica::cEncenaAnel() {
    int32_t n = (cauda - cabeca + kRing) % kRing;
    if (n == 0)
        return true;
    if (palco == nullptr) {
        palco = new char[kPalco];
        palcoUsado = palcoEnviado = 0;
    }
    if (palcoEnviado > 0 && n > kPalco - palcoUsado) {
        // What a partial send left goes to the front, making room behind.
        memmove(palco, palco + palcoEnviado, size_t(palcoUsado - palcoEnviado));
        palcoUsado -= palcoEnviado;
        palcoEnviado = 0;
    }
    if (n > kPalco - palcoUsado)
        return false;
    int32_t trecho = cauda >= cabeca ? cauda - cabeca : kRing - cabeca;
    memcpy(palco + palcoUsado, anel + cabeca, size_t(trecho));
    memcpy(palco + palcoUsado + trecho, anel, size_t(n - trecho));
    palcoUsado += n;
    cabeca = cauda;
    return true;
}

bool TComunica::cAbreEspaco() {
    if (socketEscrita < 0)
        return cabeca == cauda;
    // Staged, the bytes stay in the pending chain and leave with the
    // flush step's send; a full stage is sent now, as far as it goes.
    if (cEncenaAnel())
        return true;
    // A peer whose requests the last receive step read to the end waits
    // for their replies: the first full stage goes to it at once, so it
    // can send more while the rest are answered. Other stages, and every
    // stage of a peer that keeps the socket full (one that floods and may
    // never read), join what follows: fewer, fuller segments.
    bool mais = cheio != 0 || empurra == 0;
    empurra = 0;
    cDescarrega(mais);
    return cabeca == cauda || cEncenaAnel();
}

void TComunica::cLargaPalco() {
    delete[] palco;
    palco = nullptr;
    palcoUsado = palcoEnviado = 0;
}

bool TComunica::cEnvia(const char* texto, int32_t len) {
    if (len < 0)
        len = texto != nullptr ? int32_t(strlen(texto)) : 0;
    if (len == 0)
        return true;
    if (len > kRing - 1)
        return false;
    if (nivelEnvio <= 3 && nivelEnvio > currentLevel) {
        puts(kLevelRule);
        fflush(stdout);
        return false;
    }
    if (len >= roomOf(cabeca, cauda)) {
        if (socketEscrita < 0)
            return false;
        if (nivelEnvio >= 4) {
            nivelEnvio = 4;
            cAbreEspaco();
            if (len >= roomOf(cabeca, cauda))
                return false;
        } else if (!EngineCore::waitForRoom(this)) {
            return false;  // this object may be gone: touch nothing
        }
    }
    int32_t ate = kRing - cauda;
    int32_t primeiro = len < ate ? len : ate;
    memcpy(anel + cauda, texto, size_t(primeiro));
    memcpy(anel, texto + primeiro, size_t(len - primeiro));
    cauda = int16_t((cauda + len) % kRing);
    enfileirado += uint32_t(len);
    EngineCore::join(this, kChainPending, true);
    return true;
}

bool TComunica::cTroca(uint32_t fim, int32_t tamanho, const char* novo, int32_t novoLen) {
    // Counted back from the end of what is queued: the text ends atras
    // bytes before it.
    uint32_t atras = enfileirado - fim;
    int32_t total = pendentes();
    if (novoLen > tamanho || atras > uint32_t(total) || uint32_t(tamanho) > uint32_t(total) - atras)
        return false;
    // Everything pending, stage first, in one piece; then back, with the
    // text replaced, into the ring when it fits and the stage otherwise.
    char tudo[kPalco + kRing];
    int32_t n = 0;
    if (palco != nullptr) {
        n = palcoUsado - palcoEnviado;
        memcpy(tudo, palco + palcoEnviado, size_t(n));
    }
    for (int16_t i = cabeca; i != cauda; i = int16_t((i + 1) % kRing))
        tudo[n++] = anel[i];
    int32_t inicio = total - int32_t(atras) - tamanho;
    memcpy(tudo + inicio, novo, size_t(novoLen));
    memmove(tudo + inicio + novoLen, tudo + inicio + tamanho, size_t(total - inicio - tamanho));
    total -= tamanho - novoLen;
    enfileirado -= uint32_t(tamanho - novoLen);
    cLargaPalco();
    cabeca = cauda = 0;
    int32_t noPalco = 0;
    if (total > kRing - 1) {
        noPalco = total < kPalco ? total : kPalco;
        palco = new char[kPalco];
        memcpy(palco, tudo, size_t(noPalco));
        palcoUsado = noPalco;
        palcoEnviado = 0;
    }
    memcpy(anel, tudo + noPalco, size_t(total - noPalco));
    cauda = int16_t(total - noPalco);
    return true;
}

int32_t TComunica::takePending(char* out, int32_t max) {
    if (antesDeEnviar != nullptr)
        antesDeEnviar();
    int32_t n = 0;
    if (palco != nullptr) {
        n = palcoUsado - palcoEnviado < max ? palcoUsado - palcoEnviado : max;
        memcpy(out, palco + palcoEnviado, size_t(n));
        palcoEnviado += n;
        if (palcoEnviado == palcoUsado)
            cLargaPalco();
    }
    while (n < max && cabeca != cauda) {
        int32_t trecho = cauda >= cabeca ? cauda - cabeca : kRing - cabeca;
        if (trecho > max - n)
            trecho = max - n;
        memcpy(out + n, anel + cabeca, size_t(trecho));
        n += trecho;
        cabeca = int16_t((cabeca + trecho) % kRing);
    }
    if (!temSaida()) {
        EngineCore::leave(this, kChainPending);
        cheio = 0;
    }
    return n;
}

void TComunica::cNivel(uint8_t envio, uint8_t lista) {
    if (envio <= 5)
        nivelEnvio = envio;
    if (lista > 5 || lista == nivelLista)
        return;
    bool pronto = elos[kChainReady].dentro;
    bool pendente = elos[kChainPending].dentro;
    for (int k = 0; k < kChains; k++)
        EngineCore::leave(this, k);
    nivelLista = lista;
    EngineCore::join(this, kChainLevel, false);
    if (pronto)
        EngineCore::join(this, kChainReady, true);
    if (pendente)
        EngineCore::join(this, kChainPending, true);
}

void TComunica::cEvento(const char*, int32_t) {}

void TComunica::cSuspende(bool suspende) {
    if (suspende == (leituraSuspensa != 0))
        return;
    leituraSuspensa = suspende ? 1 : 0;
    EngineCore::watch(this, (interesse & kWaitWrite) != 0);
    if (!suspende && !fimDaEntrada && socketLeitura >= 0) {
        // What arrived meanwhile is read in the next pass; a read that
        // finds nothing costs one call.
        legivel = 1;
        EngineCore::join(this, kChainReady, false);
    }
}

void TComunica::cPedeVez() {
    querVez = 1;
    EngineCore::join(this, kChainPending, true);
}
