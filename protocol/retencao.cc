// Holding a client's input: the events the engine hands over, the hold of
// a line that waits for room in the ring or for a listing's next step,
// and the wait a failed password costs. Every change of the input state
// goes through cMuda(Fluxo).
#include <cassert>
#include <cstring>

#include "config/config.h"
#include "engine/clock.h"
#include "protocol/cliente.h"
#include "admission/maquina.h"
#include "operations/penalidade.h"

void TCliente::cMuda(Fluxo nova) {
    if (nova == estadoFluxo)
        return;
    // The server holds a waiting client, not the client the server.
    if (nova == kEsperando)
        cArma(0);
    // Held input reads nothing more: what the peer sends waits in the
    // kernel and costs no pass.
    if ((nova == kLendo) != (estadoFluxo == kLendo))
        cSuspende(nova != kLendo);
    estadoFluxo = nova;
}

void TCliente::cEvento(const char* dados, int32_t len) {
    if (dados == nullptr) {
        switch (len) {
        case kEventoFechada:
            delete this;  // the sockets are already closed
            return;
        case kEventoFimDaEntrada:
            semMaisPedidos = true;
            cEncerraSeConcluido();
            return;
        default:
            cDrenada();
            return;
        }
    }
    if (estadoFluxo != kEsperando)
        cArma(config.maxtempo);
    if (estadoFluxo != kLendo) {
        // The engine reads nothing while input is held; bytes handed over
        // regardless go behind it, as far as the buffer holds them.
        int32_t n = len < kRecepcao - retidos ? len : kRecepcao - retidos;
        memcpy(retido + retidos, dados, size_t(n));
        retidos = uint16_t(retidos + n);
        return;
    }
    cAntecipaUsuarios(dados, len);
    cProcessa(dados, len);
}

void TCliente::cDrenada() {
    // Drained, or the turn a listing stopped at its bound asked for: the
    // listing's step comes first, then the lines that waited, in order,
    // then the listing fills what room is left. A penalty's wait asks for
    // its own turn when it ends.
    if (estadoFluxo == kEsperando)
        return;
    cArma(config.maxtempo);
    if (estado == kListaAdiada) {
        cMuda(kListando);
        cLista();
    }
    if (estadoFluxo == kRetida) {
        if (estado == kListaAdiada)
            cMuda(kListando);  // they waited for this step, not for the end
        if (!cRetoma() || estadoFluxo == kEsperando)
            return;
    }
    if (estado != kListaAdiada)
        cLista();
    cEncerraSeConcluido();
}

TCliente::Seguimento TCliente::cLinhaCompleta(const char* resto, int32_t n) {
    const Comando* cmd = cReconhece();
    if (!cPodeInterpretar(cmd)) {
        cRetem(resto, n, true, cmd);
        return kRetido;
    }
    if (!cComando(cmd))
        return kFim;
    if (estadoFluxo == kEsperando) {
        // The failure's reply waits: so does everything behind it.
        cRetem(resto, n, false, nullptr);
        return kRetido;
    }
    return kSegue;
}

bool TCliente::cPodeInterpretar(const Comando* cmd) {
    if (estado == kListaAdiada || estadoFluxo == kEsperando)
        return false;  // the listing's next step, or the wait, comes first
    // The check waits for the penalty to end, whichever connection of the
    // address earned it; a right password must not answer sooner than a
    // wrong one would.
    if (cConfereSenha(cmd)) {
        int32_t falta = penalidadeRestante(maquina->ip, cContaDaLinha(cmd), clockSeconds);
        if (falta > 0) {
            cEspera(falta);
            return false;
        }
    }
    int32_t precisa = cRespostaMaxima(cmd);
    if (precisa < livre())
        return true;
    // One attempt: the ring moves behind the stage (no system call) while
    // the stage has room, or a socket with room takes it at once, and the
    // line runs without waiting for the next pass. The flush step sends
    // what was staged and queued after it in one send.
    cAbreEspaco();
    return precisa < livre();
}

void TCliente::cRetem(const char* dados, int32_t len, bool linhaEspera, const Comando* cmd) {
    if (linhaEspera) {
        linhaPronta = true;
        comandoRetido = cmd;
    }
    if (retido == nullptr)
        retido = new char[kRecepcao];
    memmove(retido, dados, size_t(len));  // dados may lie inside retido
    retidos = uint16_t(len);
    if (estadoFluxo == kLendo)
        cMuda(kRetida);
}

bool TCliente::cRetoma() {
    if (linhaPronta) {
        // Nothing ran since the line was recognised: its row still holds.
        if (!cPodeInterpretar(comandoRetido))
            return true;
        linhaPronta = false;
        if (!cComando(comandoRetido))
            return false;
        if (estadoFluxo == kEsperando)
            return true;  // its reply waits, and the bytes behind it
    }
    int32_t n = retidos;
    retidos = 0;
    if (n > 0 && !cProcessa(retido, n))
        return false;
    if (!linhaPronta && retidos == 0 && estadoFluxo == kRetida)
        cMuda(kLendo);
    return true;
}

bool TCliente::cEncerraSeConcluido() {
    if (!semMaisPedidos || estadoFluxo != kLendo || pendentes() != 0 || emLista())
        return false;
    delete this;
    return true;
}

void TCliente::cEspera(int32_t segundos) {
    fimEspera = clockSeconds + segundos;
    espera.cArma(segundos);
    cMuda(kEsperando);
}

void TCliente::cFimDaEspera() {
    // A wait beyond one timer's 300 seconds takes several turns.
    int64_t falta = fimEspera - clockSeconds;
    if (falta > 0) {
        espera.cArma(int32_t(falta));
        return;
    }
    if (tamRetida > 0) {
        cEnvia(respostaRetida, tamRetida);
        tamRetida = 0;
    }
    // The failure may have been the last thing the client had sent.
    cMuda(linhaPronta || retidos > 0 ? kRetida : kLendo);
    cPedeVez();
}
