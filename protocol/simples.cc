// The commands that need no user: NOW, NOOP, QUIT, HELP, STOP and the
// statistics line of --debug.
#include "config/config.h"
#include "engine/clock.h"
#include "engine/diario.h"
#include "engine/loop.h"
#include "protocol/cliente.h"
#include "protocol/comandos.h"
#include "admission/maquina.h"
#include "registry/indice.h"
#include "text/format.h"
#include "util/calendario.h"

namespace {

const char kAjuda[] =
    "+OK Este servidor QUELTA processa os seguintes comandos:\r\n"
    "  HELP                   Fornece informações sobre os comandos\r\n"
    "  QUIT                   Encerra o serviço do servidor\r\n"
    "  NOOP                   Apenas responde +OK\r\n"
    "  NOW                    Mostra data/hora da máquina\r\n"
    "  IP <email>             Obtém o IP do usuário\r\n"
    "  GET <email>            Obtém IP e outras informações do usuário\r\n"
    "  REGISTER <email>       Registra informação do usuário\r\n"
    "  REMOVE <email>         Remove o registro de um usuário\r\n"
    "  LOGON <email>          Altera o IP de um usuário já cadastrado\r\n"
    "  LOGON <email> <informação sobre o logon>\r\n"
    "  LOGOFF <email>         Limpa informação do IP, mantendo as outras\r\n"
    "  FIND <nome_buscado>    Busca um nome e retorna seu endereço eletrônico\r\n"
    "                 Para procurar só os ativos acrescentar + na frente do e-mail\r\n"
    "  DATE <email> dd/mm/aaaa hh:mm  Muda data/hora de um nome no registro\r\n"
    "  IP2 <email> <endereço IP> Muda o endereço IP\r\n"
    "  STOP                   Encerra o Quelta\r\n"
    " Para email com senha, acrescentar dois pontos e a senha após o email.\r\n"
    " Exemplo:  fulano@exemplo.com.br:senha\r\n"
    " Nota1: Não coloque espaços no e-mail e na senha.\r\n"
    " Nota2: Para usar os comandos DATE, STOP e remover qualquer nome com o comando\r\n"
    " é necessário digitar a senha de administração.\r\n"
    ".\r\n";
// The help goes out in one cEnvia.
static_assert(sizeof kAjuda - 1 <= TComunica::kMaiorTexto, "help text must fit one send");

void dataHora(uint32_t minutos, int32_t& dia, int32_t& mes, int32_t& ano, int32_t& hora, int32_t& minuto) {
    minutesToDate(minutos, dia, mes, ano);
    minutesToTime(minutos, hora, minuto);
}

}  // namespace

extern const int16_t kRespostaAjuda = int16_t(sizeof kAjuda - 1);

void comandoNow(TCliente& c, const Pedido&) {
    int32_t dia, mes, ano, hora, minuto;
    dataHora(minuteClock, dia, mes, ano, hora, minuto);
    char resposta[100];
    formatText(resposta, sizeof resposta, "+OK Data: %d/%d/%d %d:%d:%d\r\n", dia, mes, ano, hora, minuto,
               int32_t(clockSecond));
    responde(c, resposta);
}

void comandoNoop(TCliente& c, const Pedido&) { responde(c, "+OK\r\n"); }

void comandoQuit(TCliente& c, const Pedido&) {
    delete &c;  // pending output gets one flush attempt
}

void comandoHelp(TCliente& c, const Pedido&) { c.cEnvia(kAjuda, int32_t(sizeof kAjuda - 1)); }

void comandoStop(TCliente& c, const Pedido&) {
    char pontos[16];
    formatDotted(pontos, c.maquina->ip);
    logEventAt(Gravidade::kNota, "STOP from %s", pontos);
    exitServer(0);
}

void comandoDebug(TCliente& c, const Pedido&) {
    c.cEstatistica();
    c.depura = true;
}

void TCliente::cEstatistica() {
    char parte[100];
    formatText(parte, sizeof parte, "+OK:  Usuários: %d  Máquinas: %d  Registros: %d", usuarios, maquinas,
               indice.registros);
    cEnvia(parte, -1);
    int32_t dia, mes, ano, hora, minuto;
    dataHora(minuteClock, dia, mes, ano, hora, minuto);
    formatText(parte, sizeof parte, "  Data: %d/%d/%d %d:%d:%d\r\n", dia, mes, ano, hora, minuto,
               int32_t(clockSecond));
    cEnvia(parte, -1);
}
