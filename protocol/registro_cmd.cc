// REGISTER with its dialogue (address, name, information block), LOGON and
// LOGOFF. Nothing reaches the registry before the dialogue completes, and
// every change is written to the file before the index node follows it. An
// existing entry is replaced only with its own password, checked when
// REGISTER starts and again when the dialogue completes.
#include <cstring>

#include "config/config.h"
#include "engine/alarme.h"
#include "engine/clock.h"
#include "protocol/cliente.h"
#include "protocol/comandos.h"
#include "protocol/lote.h"
#include "admission/maquina.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/fold.h"
#include "text/format.h"
#include "text/iguais.h"
#include "text/email.h"
#include "text/sha0.h"

namespace {

const char kJaRegistrado[] = "-Usuário já registrado e senha inválida\r\n";

// Whether the dialogue's password (cadSenha) is u's own.
bool senhaDoUsuario(const TCliente& c, const TUsuario* u) {
    return equalConstantTime(cSenhaDoNo(u), c.cadSenha, sizeof c.cadSenha);
}

}  // namespace

void comandoRegister(TCliente& c, const Pedido& p) {
    const char* email = p.email;
    if (c.maquina->cArmado()) {
        // A wait armed for 300 seconds in this very second waits in the
        // current slot and reads 0 left: the whole turn is still to go.
        int32_t restante = c.maquina->cRestante();
        char resposta[60];
        formatText(resposta, sizeof resposta, "-Registre novamente após %d segundo(s)\r\n",
                   restante > 0 ? restante : kAlarmeVolta);
        responde(c, resposta);
        c.cRecusaRegistro();
        return;
    }
    if (!cEmailValido(email)) {
        responde(c, "-email inválido\r\n");
        c.cRecusaRegistro();
        return;
    }
    digestText(p.senha, c.cadSenha);
    // cBusca cuts the key to the stored 79 characters, so a longer address
    // meets the password of the entry it would replace.
    TUsuario* u = cBusca(email);
    if (u != nullptr) {
        // A digest that differs is a guess, and costs what a guess costs.
        if (!senhaDoUsuario(c, u)) {
            c.cFalhou(kJaRegistrado, email);
            c.cRecusaRegistro();
            return;
        }
        c.cConfirmou(email);
    }
    responde(c, "+OK Informe nome do usuário\r\n");
    c.cAguardaNome(email);
}

void dialogoNome(TCliente& c) {
    if (strlen(c.linha) < 5) {
        responde(c, "-Cancelado: O nome deve ter pelo menos 5 caracteres\r\n");
        c.cRecusaRegistro();
        return;
    }
    responde(c, "+OK Entre as informações, uma por linha, na última só um ponto\r\n");
    c.cAguardaInformacao();
}

void dialogoConclusao(TCliente& c) {
    c.cConcluiDialogo();
    // Looked up again: the entry may have appeared or gone meanwhile. One
    // that appeared belongs to whoever registered it, with a password of
    // their own, which this dialogue must match as if it had been there at
    // the start.
    TUsuario* u = cBusca(c.cadEmail);
    if (u != nullptr && !senhaDoUsuario(c, u)) {
        responde(c, kJaRegistrado);
        return;
    }
    if (registro.cRegistra(u, c.cadEmail, c.cadNome, c.linha, c.cadSenha, c.maquina->ip, minuteClock) == nullptr) {
        responde(c, "-Erro ao registrar usuário\r\n");
        return;
    }
    responde(c, "+OK Nome registrado\r\n");
    c.maquina->cArma(config.regtempo);  // 0 or less starts no wait
}

void comandoLogon(TCliente& c, const Pedido& p) {
    const char* resto = p.resto;
    using namespace registro_campo;
    // The note is the first word of the rest, cut to the field.
    char nota[kLogonLen];
    int n = 0;
    while (n < kLogonLen - 1 && resto[n] != 0 && resto[n] != ' ') {
        nota[n] = resto[n];
        n++;
    }
    nota[n] = 0;
    // LOGON and LOGOFF take the client's address and the time; their
    // replies leave once the batch has reached the file.
    respondeNoLote(c, registro.cEntra(p.usuario, c.maquina->ip, minuteClock, nota), "+OK Entrada registrada\r\n");
}

void comandoLogoff(TCliente& c, const Pedido& p) {
    // The logon note stays as it was.
    respondeNoLote(c, registro.cSai(p.usuario, c.maquina->ip, minuteClock), "+OK Saída registrada\r\n");
}
