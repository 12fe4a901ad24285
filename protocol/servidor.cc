// Admission: every accepted socket becomes a client of its machine, unless
// that machine already holds maxconec connections. A refusal is sent on the
// bare socket, since no connection object exists for it.
#include "protocol/servidor.h"

#include "config/config.h"
#include "engine/clock.h"
#include "engine/diario.h"
#include "engine/platform.h"
#include "protocol/cliente.h"
#include "protocol/contadores.h"
#include "protocol/maquina.h"
#include "text/format.h"

void TServidor::cAceita(int socket, const PeerAddress& peer) {
    TMaquina* m = cBuscaMaquina(peer.ip);
    // Only an existing record is held to the limit: a machine's first
    // connection is always admitted, whatever maxconec says.
    if (m != nullptr && m->conexoes >= config.maxconec) {
        char recusa[100];
        char* fim = formatText(recusa, sizeof recusa, "-Erro: Não é permitido mais de %d conex%s por máquina.\r\n",
                               config.maxconec, config.maxconec == 1 ? "ão" : "ões");
        // One attempt on the non-blocking socket: what it does not take
        // at once is lost, and the socket closes regardless.
        platformSend(socket, recusa, size_t(fim - recusa));
        platformClose(socket);
        contadores.recusadasLimite++;
        cAnotaRecusa(m);
        return;
    }
    if (m == nullptr)
        m = new TMaquina(peer.ip);
    TCliente* cliente = new TCliente(m);
    cliente->cConecta(socket);

    char saudacao[80];
    formatText(saudacao, sizeof saudacao, "+OK QUELTA Versão 2.03. Agora %d usuário%s.\r\n", usuarios,
               usuarios == 1 ? "" : "s");
    // A fresh ring always has room for the greeting.
    cliente->cEnvia(saudacao, -1);
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
