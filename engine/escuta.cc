// Listening endpoints and the accept step. Listeners are few, so the step
// walks them all; the destructor repairs its mark and cursor.
#include "engine/escuta.h"

#include <cstring>

#include "engine/clock.h"
#include "engine/core.h"
#include "engine/diario.h"
#include "engine/platform.h"
#include "text/format.h"

namespace {

TEscuta* primeira;
TEscuta* servida;   // listener the accept step serves; cleared by its destructor
TEscuta* seguinte;  // listener the accept step serves next; advanced by its destructor

// Ownership of the text of the last failing cAbre.
char erroTexto[100];

// The kernel cuts any backlog to its own maximum (somaxconn), so this asks
// for the largest queue the system allows: a flood of connects from one
// address must not crowd honest ones out of a short queue.
constexpr int kBacklog = 0x7FFFFFFF;

// Connections closed at accept because only the reserve of descriptors was
// left; told once when it starts and once, with the count, when it ends.
// The limit is read at each accept: an operator may lower it on the running
// process, and the reserve must hold under the new one.
int limiteDescritores;
int32_t recusadasSemDescritor;
bool semDescritores;

void faltamDescritores() {
    if (!semDescritores)
        logEventAt(Gravidade::kAviso, "refusing connections: fewer than %d of %d descriptors are free", kReservaDescritores,
                 limiteDescritores);
    semDescritores = true;
    recusadasSemDescritor++;
}

void sobramDescritores() {
    if (semDescritores)
        logEventAt(Gravidade::kNota, "accepting connections again; %d were refused for want of descriptors", recusadasSemDescritor);
    semDescritores = false;
    recusadasSemDescritor = 0;
}

uint16_t networkOrder(uint16_t porta) {
    unsigned char b[2] = {uint8_t(porta >> 8), uint8_t(porta & 0xFF)};
    uint16_t v;
    memcpy(&v, b, sizeof v);
    return v;
}

}  // namespace

TEscuta::TEscuta() {
    proximo = primeira;
    if (primeira != nullptr)
        primeira->anterior = this;
    primeira = this;
}

TEscuta::~TEscuta() {
    EngineCore::dropListenerSocket(this);
    if (servida == this)
        servida = nullptr;
    if (seguinte == this)
        seguinte = proximo;
    if (anterior != nullptr)
        anterior->proximo = proximo;
    else
        primeira = proximo;
    if (proximo != nullptr)
        proximo->anterior = anterior;
}

void EngineCore::dropListenerSocket(TEscuta* e) {
    if (e->sock >= 0) {
        if (e->vigiada)
            platformUnwatch(e->sock);
        forgetSocket(e->sock);
        platformClose(e->sock);
    }
    e->sock = -1;
    e->vigiada = 0;
    e->legivel = 0;
    e->pausadoAte = 0;
}

const char* TEscuta::cAbre(const char* ender, uint16_t porta) {
    EngineCore::dropListenerSocket(this);
    auto falha = [this](const char* rotulo) {
        formatText(erroTexto, int32_t(sizeof erroTexto), "%s: %s", rotulo, platformErrorText());
        EngineCore::dropListenerSocket(this);
        return erroTexto;
    };
    sock = platformTcpSocket();
    if (sock < 0)
        return falha("socket()");
    uint32_t endereco = 0;  // every local address
    if (ender != nullptr && ender[0] != 0 && !platformResolve(ender, &endereco))
        return falha("socket()");
    platformReuseAddress(sock);
    if (!platformBind(sock, endereco, networkOrder(porta)))
        return falha("bind()");
    if (!platformListen(sock, kBacklog))
        return falha("listen()");
    if (!platformSetNonBlocking(sock))
        return falha("listen()");
    if (!platformWatch(sock, kWaitRead, true))
        return falha("listen()");
    vigiada = 1;
    EngineCore::registerSocket(sock, nullptr, this);
    return nullptr;
}

void TEscuta::cAceita(int socket, const PeerAddress&) { platformClose(socket); }

void EngineCore::acceptListeners() {
    for (TEscuta* e = primeira; e != nullptr; e = seguinte) {
        seguinte = e->proximo;
        if (!e->legivel)
            continue;
        e->legivel = 0;
        servida = e;
        while (e->sock >= 0) {
            PeerAddress peer;
            bool esgotado = false;
            int s = platformAcceptPeer(e->sock, &peer.ip, &peer.port, &esgotado);
            if (s < 0) {
                if (esgotado) {
                    faltamDescritores();
                    // The connection stays queued and the listener readable:
                    // watching it now would wake every wait at once. Rest
                    // for about a second and keep serving the others.
                    e->pausadoAte = clockSeconds + 1;
                    if (e->vigiada)
                        platformUnwatch(e->sock);
                    e->vigiada = 0;
                }
                break;
            }
            e->totalAceitas++;
            // Descriptors are handed out lowest first, so every one below s
            // is taken: s in the reserve means at most the reserve is free.
            limiteDescritores = platformDescriptorLimit();
            if (s >= limiteDescritores - kReservaDescritores) {
                platformClose(s);
                e->totalSemDescritor++;
                faltamDescritores();
                continue;
            }
            sobramDescritores();
            // The socket is non-blocking already; buffer sizes that fail
            // leave the kernel's, which serve as well.
            platformSetBuffers(s, kBufferRecepcao, kBufferEnvio);
            platformSetNoDelay(s);
            e->cAceita(s, peer);
            if (servida != e)
                break;  // the callback destroyed the listener
        }
        servida = nullptr;
    }
    seguinte = nullptr;
}

int EngineCore::prepareListeners() {
    int espera = 0;
    for (TEscuta* e = primeira; e != nullptr; e = e->proximo) {
        if (e->sock < 0)
            continue;
        bool quer = true;
        if (e->pausadoAte != 0) {
            if (clockSeconds >= e->pausadoAte) {
                e->pausadoAte = 0;
            } else {
                quer = false;
                int d = int(e->pausadoAte - clockSeconds);
                if (espera == 0 || d < espera)
                    espera = d;
            }
        }
        if (quer && !e->vigiada) {
            if (platformWatch(e->sock, kWaitRead, true))
                e->vigiada = 1;
        } else if (!quer && e->vigiada) {
            platformUnwatch(e->sock);
            e->vigiada = 0;
        }
    }
    return espera;
}

void EngineCore::listenerEvent(TEscuta* e) { e->legivel = 1; }

