// The greeting: the first line every admitted client reads.
#include "protocol/recepcao.h"

#include "protocol/cliente.h"
#include "text/format.h"

TComunica* TRecepcao::cAdmitido(int socket, TMaquina* m, TTransporte* sessao) {
    TCliente* cliente = new TCliente(m);
    if (sessao != nullptr)
        cliente->cConecta(socket, sessao, true);
    else
        cliente->cConecta(socket);
    char saudacao[80];
    formatText(saudacao, sizeof saudacao, "+OK QUELTA Versão 2.03. Agora %d usuário%s.\r\n", usuarios,
               usuarios == 1 ? "" : "s");
    // A fresh ring always has room for the greeting.
    cliente->cEnvia(saudacao, -1);
    return cliente;
}
