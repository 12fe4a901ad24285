// The greeting: the first line every admitted client reads.
#include "protocol/recepcao.h"

#include "protocol/cliente.h"
#include "text/format.h"

TComunica* TRecepcao::cAdmitido(TMaquina* m) {
    TCliente* cliente = new TCliente(m);
    char saudacao[80];
    formatText(saudacao, sizeof saudacao, "+OK QUELTA Versão " QUELTA_VERSION ". Agora %d usuário%s.\r\n", usuarios,
               usuarios == 1 ? "" : "s");
    // A fresh ring always has room for the greeting, socket or none.
    cliente->cEnvia(saudacao, -1);
    return cliente;
}
