// Life of a client object: it counts itself in usuarios and in its
// machine's conexoes from construction to destruction, and the last client
// of a machine without a pending registration wait takes the record along.
// Here too the conversation's moves that the command handlers make, and
// the chain of the clients that unlocked administration.
#include "protocol/cliente.h"
#include "protocol/lote.h"

#include <cstring>

#include "config/config.h"
#include "admission/maquina.h"
#include "text/fold.h"

TCliente::TCliente(TMaquina* m) : maquina(m) {
    espera.dono = this;
    cMantemAposFim(true);  // a batch whose sender has finished is still answered
    usuarios++;
    m->conexoes++;
    cArma(config.maxtempo);  // clamped by the wheel; 0 or less: never times out
}

namespace {

TCliente* primeiroDesbloqueado = nullptr;

}  // namespace

TCliente::~TCliente() {
    loteAntesDoFim(*this);  // its replies are settled before they leave
    cBloqueia();
    usuarios--;
    maquina->conexoes--;
    // Queued now, it leaves with the flush attempt of ~TComunica.
    if (depura)
        cEstatistica();
    maquina->cTerminaSeLivre();
    delete[] retido;
    // The bases go next, TAlarme (the idle timer) before TComunica, whose
    // destructor makes one flush attempt and closes the socket.
}

void TCliente::cTempoEsgotado() {
    cEnvia("-Tempo esgotado\r\n", -1);
    delete this;
}

void TCliente::cAguardaNome(const char* email) {
    memset(cadEmail, 0, sizeof cadEmail);
    copyBounded(cadEmail, email, sizeof cadEmail);
    cMuda(kNome);
}

void TCliente::cAguardaInformacao() {
    memset(cadNome, 0, sizeof cadNome);
    copyBounded(cadNome, linha, sizeof cadNome);
    cMuda(kInformacao);
}

void TCliente::cRecusaRegistro() {
    cMuda(kRestoRecusado);
}

void TCliente::cIniciaLista(const char* p) {
    copyBounded(padrao, p, sizeof padrao);
    cadEmail[0] = 0;
    cMuda(kListando);
}

void TCliente::cDesbloqueia() {
    if (desbloqueio.dentro)
        return;
    desbloqueio.dentro = true;
    desbloqueio.anterior = nullptr;
    desbloqueio.proximo = primeiroDesbloqueado;
    if (primeiroDesbloqueado != nullptr)
        primeiroDesbloqueado->desbloqueio.anterior = this;
    primeiroDesbloqueado = this;
}

void TCliente::cBloqueia() {
    if (!desbloqueio.dentro)
        return;
    if (desbloqueio.anterior != nullptr)
        desbloqueio.anterior->desbloqueio.proximo = desbloqueio.proximo;
    else
        primeiroDesbloqueado = desbloqueio.proximo;
    if (desbloqueio.proximo != nullptr)
        desbloqueio.proximo->desbloqueio.anterior = desbloqueio.anterior;
    desbloqueio = Desbloqueio{};
}

int32_t TCliente::cBloqueiaTodos() {
    int32_t n = 0;
    for (; primeiroDesbloqueado != nullptr; n++)
        primeiroDesbloqueado->cBloqueia();
    return n;
}
