// The pass steps over connections: the chains of each level, the walks in
// progress, the receive and flush steps, and the waiting send of the lower
// levels. A pass walks only the ready and pending chains; every unlink
// repairs the walks in progress, so any callback may destroy any
// connection, the one being served or the one after it.
#include <cassert>
#include <cstdlib>

#include "engine/comunica.h"
#include "engine/core.h"
#include "engine/platform.h"
#include "engine/transporte.h"

namespace {

struct Cadeia {
    TComunica* cabeca;
    TComunica* cauda;
};

// Plain zero-initialised arrays: ready before any dynamic initialiser, so a
// connection may be built before main.
Cadeia cadeias[kChains][kLevels];
LevelWalk* walks;  // innermost walk first

// Full reads of one connection in one pass: 64 KB, far more than any
// command needs, few enough that one flooding peer cannot starve the rest.
constexpr int kReadsPerPass = 8;
// Drained events of one connection in one flush step, for the same reason:
// with a socket that takes all, about 64 KB of a listing per pass.
constexpr int kFlushesPerPass = 32;

// Read sockets of the lower levels for a waiting send; grown, never shrunk.
int* esperaFds;
TComunica** esperaDonos;
bool* esperaProntos;
int esperaCapacidade;

void growWaitSet(int n) {
    if (n <= esperaCapacidade)
        return;
    int cap = esperaCapacidade < 64 ? 64 : esperaCapacidade;
    while (cap < n)
        cap *= 2;
    esperaFds = static_cast<int*>(realloc(esperaFds, sizeof(int) * size_t(cap)));
    esperaDonos = static_cast<TComunica**>(realloc(esperaDonos, sizeof(TComunica*) * size_t(cap)));
    esperaProntos = static_cast<bool*>(realloc(esperaProntos, sizeof(bool) * size_t(cap)));
    if (esperaFds == nullptr || esperaDonos == nullptr || esperaProntos == nullptr)
        abort();
    esperaCapacidade = cap;
}

}  // namespace

int8_t currentLevel = 6;
void (*antesDeEnviar)() = nullptr;

// --- Chains and walks ------------------------------------------------------

void EngineCore::beginWalk(LevelWalk& w, int cadeia, int nivel) {
    w.cadeia = int8_t(cadeia);
    w.nivel = int8_t(nivel);
    w.externa = walks;
    walks = &w;
}

void EngineCore::endWalk(LevelWalk& w) {
    assert(walks == &w);
    walks = w.externa;
}

void EngineCore::forgetServed(TComunica* c) {
    for (LevelWalk* w = walks; w != nullptr; w = w->externa)
        if (w->servindo == c)
            w->servindo = nullptr;
}

void EngineCore::join(TComunica* c, int cadeia, bool atCabeca) {
    TComunica::Elo& e = c->elos[cadeia];
    if (e.dentro)
        return;
    Cadeia& ch = cadeias[cadeia][c->nivelLista];
    e.dentro = true;
    if (atCabeca) {
        e.anterior = nullptr;
        e.proximo = ch.cabeca;
        if (ch.cabeca != nullptr)
            ch.cabeca->elos[cadeia].anterior = c;
        else
            ch.cauda = c;
        ch.cabeca = c;
    } else {
        e.proximo = nullptr;
        e.anterior = ch.cauda;
        if (ch.cauda != nullptr)
            ch.cauda->elos[cadeia].proximo = c;
        else
            ch.cabeca = c;
        ch.cauda = c;
    }
}

void EngineCore::leave(TComunica* c, int cadeia) {
    TComunica::Elo& e = c->elos[cadeia];
    if (!e.dentro)
        return;
    // A walk about to visit c goes on with c's successor instead.
    for (LevelWalk* w = walks; w != nullptr; w = w->externa)
        if (w->proxima == c && w->cadeia == cadeia && w->nivel == c->nivelLista)
            w->proxima = e.proximo;
    Cadeia& ch = cadeias[cadeia][c->nivelLista];
    if (e.anterior != nullptr)
        e.anterior->elos[cadeia].proximo = e.proximo;
    else
        ch.cabeca = e.proximo;
    if (e.proximo != nullptr)
        e.proximo->elos[cadeia].anterior = e.anterior;
    else
        ch.cauda = e.anterior;
    e = TComunica::Elo();
}

// The wait set's interest in c's socket: its input unless reading is
// suspended or over, and its output while wantWrite. An empty interest
// takes the socket out of the set; interesse 0 means it is out.
bool EngineCore::watch(TComunica* c, bool wantWrite) {
    if (c->socketLeitura < 0)
        return true;
    uint32_t quer = (c->leituraSuspensa || c->fimDaEntrada ? 0u : kWaitRead) | (wantWrite ? kWaitWrite : 0u);
    if (quer == c->interesse)
        return true;
    if (!platformWatch(c->socketLeitura, quer, c->interesse == 0))
        return false;
    c->interesse = uint8_t(quer);
    return true;
}

// Send levels 0..3: empties the ring, serving the lower levels meanwhile.
// False when the write side broke or c was destroyed by an event it served.
bool EngineCore::waitForRoom(TComunica* c) {
    int k = c->nivelEnvio;
    LevelWalk guarda;
    beginWalk(guarda, -1, k);
    guarda.servindo = c;
    bool ok = false;
    for (;;) {
        if (c->cDescarrega()) {
            ok = true;
            break;
        }
        if (c->socketEscrita < 0)
            break;
        int n = 0;
        for (int L = 0; L < k; L++)
            for (TComunica* o = cadeias[kChainLevel][L].cabeca; o != nullptr; o = o->elos[kChainLevel].proximo)
                if (o->socketLeitura >= 0) {
                    growWaitSet(n + 1);
                    esperaFds[n] = o->socketLeitura;
                    esperaDonos[n++] = o;
                }
        bool gravavel = false;
        if (!platformWaitFew(esperaFds, n, esperaProntos, c->socketEscrita, &gravavel))
            break;  // a wait that fails now would fail again: give up rather than spin
        if (gravavel)
            continue;
        for (int i = 0; i < n; i++)
            if (esperaProntos[i]) {
                esperaDonos[i]->legivel = 1;
                join(esperaDonos[i], kChainReady, false);
            }
        receiveLevels(k);
        if (guarda.servindo != c)
            break;  // destroyed by one of those events
    }
    endWalk(guarda);
    return ok;
}


// --- Pass steps ----------------------------------------------------------------

void EngineCore::receiveLevels(int niveis) {
    int8_t salvo = currentLevel;
    char buf[TComunica::kRecepcao];
    for (int L = 0; L < niveis; L++) {
        currentLevel = int8_t(L);
        LevelWalk w;
        beginWalk(w, kChainReady, L);
        for (TComunica* c = cadeias[kChainReady][L].cabeca; c != nullptr; c = w.proxima) {
            w.proxima = c->elos[kChainReady].proximo;
            w.servindo = c;
            leave(c, kChainReady);
            // A suspended connection is read again when it resumes.
            bool ler = c->legivel != 0 && !c->leituraSuspensa && !c->fimDaEntrada;
            if (ler && !c->apertoFeito) {
                int r = c->transporte->cAperto();
                if (r < 0) {
                    c->cFecha(false);
                    c->cEvento(nullptr, kEventoFechada);
                    continue;
                }
                if (r == 0) {
                    c->legivel = 0;
                    continue;  // the peer's next bytes wake it
                }
                c->apertoFeito = 1;
                c->cEvento(nullptr, kEventoSeguro);
                if (w.servindo != c || c->socketLeitura < 0)
                    continue;  // handed on, or gone
            }
            c->legivel = 0;
            int leituras = 0;
            bool esvaziou = false;  // a receive took less than it could: the socket is empty
            while (ler && c->socketLeitura >= 0) {
                if (++leituras > kReadsPerPass) {
                    // A peer that keeps the buffer full would hold the
                    // pass here for ever: the rest waits for the next pass.
                    c->legivel = 1;
                    join(c, kChainReady, true);
                    break;
                }
                long n = c->transporte->cRecebe(c->socketLeitura, buf, sizeof buf);
                if (n == kIoWouldBlock)
                    break;
                if (n == 0 && c->mantemAposFim) {
                    // The peer has said all it will say; what it said is
                    // still answered. Its socket stays open for that.
                    c->fimDaEntrada = 1;
                    watch(c, (c->interesse & kWaitWrite) != 0);
                    c->cEvento(nullptr, kEventoFimDaEntrada);
                    break;
                }
                if (n <= 0) {
                    c->cFecha(false);
                    c->cEvento(nullptr, kEventoFechada);
                    break;
                }
                c->cEvento(buf, int32_t(n));
                // A transport taken on within the event (a TLS session
                // behind a proxy's header) shakes hands before it reads.
                if (w.servindo != c || c->leituraSuspensa || !c->apertoFeito)
                    break;
                // A full buffer means the socket may hold more: read again
                // now rather than leave the rest for the next pass. So
                // does a transport that holds more (a TLS session that
                // read the peer's close_notify behind its last bytes).
                if (n < long(sizeof buf) && !c->transporte->cGuarda()) {
                    esvaziou = true;
                    break;
                }
            }
            if (w.servindo != c)
                continue;  // c is gone: touch nothing of it
            if (ler)
                c->empurra = esvaziou ? 1 : 0;
            if (c->fechaPendente) {
                c->cFecha(false);
                c->cEvento(nullptr, kEventoFechada);
            }
        }
        endWalk(w);
    }
    currentLevel = salvo;
}

void EngineCore::flushLevels() {
    for (int L = 0; L < kLevels; L++) {
        int8_t salvo = currentLevel;
        currentLevel = int8_t(L);
        LevelWalk w;
        beginWalk(w, kChainPending, L);
        for (TComunica* c = cadeias[kChainPending][L].cabeca; c != nullptr; c = w.proxima) {
            w.proxima = c->elos[kChainPending].proximo;
            w.servindo = c;
            // A drained event that queues more (a listing, held commands)
            // is flushed again at once while the socket takes it, up to a
            // bound that keeps one busy connection from holding the pass.
            // Sends after the first are marked as having more to come, so
            // the kernel joins them into few segments and the peer wakes
            // once, not per ring; the last bytes are pushed after the loop.
            bool juntou = false;
            for (int rodada = 0; rodada < kFlushesPerPass && w.servindo == c; rodada++) {
                if (c->nivelEnvio > 4 || c->socketEscrita < 0)
                    break;
                if (rodada > 0 && c->querVez)
                    break;  // it stopped at a bound and asked for the next pass
                if (!c->temSaida() && !c->querVez)
                    break;
                if (c->cheio && (c->interesse & kWaitWrite))
                    break;  // known full: the wait reports when it takes more
                bool mais = rodada > 0 && c->pendentes() > TComunica::kRing / 2;
                juntou = juntou || mais;
                if (!c->cDescarrega(mais))
                    break;
                c->querVez = 0;
                leave(c, kChainPending);
                currentLevel = int8_t(L);
                c->cEvento(nullptr, kEventoEsvaziada);
            }
            if (juntou && w.servindo == c && c->socketEscrita >= 0)
                platformPush(c->socketEscrita);
        }
        endWalk(w);
        currentLevel = salvo;
    }
}

bool EngineCore::prepareConnections() {
    bool podeEsperar = true;
    for (int L = 0; L < kLevels; L++)
        if (cadeias[kChainReady][L].cabeca != nullptr)
            podeEsperar = false;  // close pending, or readable but not yet read
    // List level 5 is watched for reading only.
    for (int L = 0; L < 5; L++)
        for (TComunica* c = cadeias[kChainPending][L].cabeca; c != nullptr; c = c->elos[kChainPending].proximo) {
            if (c->nivelEnvio > 4 || c->socketEscrita < 0)
                continue;
            if (!c->cheio) {
                podeEsperar = false;  // queued after its flush: not tried yet
                continue;
            }
            if ((c->interesse & kWaitWrite) || c->socketEscrita != c->socketLeitura)
                continue;
            if (!watch(c, true)) {
                c->fechaPendente = 1;  // it could never be flushed
                join(c, kChainReady, true);
                podeEsperar = false;
            }
        }
    return podeEsperar;
}

void EngineCore::connectionEvent(TComunica* c, uint32_t eventos) {
    if (eventos & kWaitGone) {
        // Closed in the next receive step, even while its reading is
        // suspended: a send that asks the kernel first (a TLS session at
        // the unsent limit) would otherwise wait on a dead socket for ever,
        // and every wait would report it again.
        c->fechaPendente = 1;
        join(c, kChainReady, true);
        return;
    }
    if (eventos & kWaitRead) {
        c->legivel = 1;
        join(c, kChainReady, false);
    }
    if (eventos & kWaitWrite) {
        c->cheio = 0;
        bool quer = c->temSaida() && c->nivelEnvio <= 4 && c->nivelLista <= 4 && c->socketEscrita >= 0;
        if (!quer && (c->interesse & kWaitWrite))
            watch(c, false);
    }
}
