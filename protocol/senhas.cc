// Password checks of a client and what a failure costs: the comparisons
// (in constant time), the log line for the filter, and the penalty's
// delay of the failing reply.
#include <cassert>
#include <cstring>

#include "config/config.h"
#include "engine/clock.h"
#include "engine/diario.h"
#include "protocol/cliente.h"
#include "protocol/comandos.h"
#include "operations/contadores.h"
#include "admission/maquina.h"
#include "operations/penalidade.h"
#include "registry/indice.h"
#include "text/fold.h"
#include "text/format.h"
#include "text/iguais.h"
#include "text/sha0.h"

namespace {

uint64_t contaDe(const char* email) {
    return email == nullptr ? kContaAdministracao : penalidadeConta(email, strlen(email));
}

}  // namespace

uint64_t TCliente::cContaDaLinha(const Comando* cmd) const {
    if (cmd == nullptr)
        return kContaAdministracao;
    // The token as the handler will see it, before linha is split.
    size_t n;
    size_t inicio = tokenDoEndereco(linha, &n);
    return penalidadeConta(linha + inicio, n);
}

// The digest of the password token against the user's stored one, which
// the index keeps as the file holds it; the digest stays in cadSenha.
bool TCliente::cSenhaConfere(const char* senha, const TUsuario* usuario) {
    digestText(senha, cadSenha);
    return equalConstantTime(cadSenha, cSenhaDoNo(usuario), sizeof cadSenha);
}

// The line against the administration password, both as zero-padded
// buffers of the password's size (the configuration keeps it padded): the
// time depends neither on the password's length nor on where the first
// difference lies. A line too long for the buffer cannot be the password,
// and its length is the client's own to know.
bool TCliente::cSenhaAdmConfere() const {
    char copia[sizeof config.senhaadm] = {};
    size_t n = strnlen(linha, sizeof copia);
    if (n == sizeof copia)
        return false;
    memcpy(copia, linha, n);
    return equalConstantTime(copia, config.senhaadm, sizeof copia);
}

void TCliente::cFalhou(const char* resposta, const char* email) {
    assert(estadoFluxo != kEsperando);  // nothing is interpreted during a wait
    contadores.falhasSenha++;
    int32_t segundos = penalidadeFalha(maquina->ip, contaDe(email), clockSeconds);
    char endereco[16];
    formatDotted(endereco, maquina->ip);
    if (email != nullptr) {
        char token[registro_campo::kEmailLen];
        copyPrintable(token, email, sizeof token);
        logEventAt(Gravidade::kAviso, "authentication failure for %s from %s", token, endereco);
    } else if (penalidadeFalhasDoEndereco(maquina->ip) >= kPenalidadeLimiteEndereco) {
        // Every line that is no command fails this check, so most are
        // typos: the line the filter bans on waits until the address has
        // failed as often as a guesser, and then comes with each failure.
        // A client that mistypes a few commands never has one logged; a
        // guesser has its first at its 10th failure and five (a ban, at
        // the shipped jail's maxretry) by its 14th.
        logEventAt(Gravidade::kAviso, "administration unlock failure from %s", endereco);
    }
    if (segundos == 0) {
        responde(*this, resposta);
        return;
    }
    // The line's room was found before it ran, and nothing is queued
    // during the wait: the reply still fits when it goes.
    size_t n = strlen(resposta);
    assert(n < sizeof respostaRetida);
    memcpy(respostaRetida, resposta, n);
    tamRetida = uint8_t(n);
    cEspera(segundos);
}

void TCliente::cConfirmou(const char* email) { penalidadeSucesso(maquina->ip, contaDe(email)); }
