// Line framing and the command interpreter of a client. Bytes become lines
// of at most 2048 characters; each line is one command, except while the
// registration dialogue collects a name or a block of information lines.
#include <cstring>

#include "config/config.h"
#include "engine/clock.h"
#include "engine/loop.h"
#include "protocol/cliente.h"
#include "protocol/comandos.h"
#include "protocol/maquina.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/fold.h"
#include "text/format.h"
#include "text/sha0.h"
#include "util/calendario.h"

namespace {

constexpr uint16_t kLinhaMax = 2048;

// The empty text of every field a line does not fill.
char kVazio[1] = {0};

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

// Writes terminators into linha: after this, linha itself reads as the
// command word, spaces and the address token, which is what the
// administration password is compared with.
Pedido separa(char* linha) {
    char* p = linha;
    while (*p != 0 && *p != ' ')
        p++;
    while (*p == ' ')
        p++;
    Pedido a{p, kVazio, nullptr, nullptr};
    while (*p != 0 && *p != ':' && *p != ' ')
        p++;
    char fim = *p;
    if (fim != 0)
        *p++ = 0;
    if (fim == ':') {
        a.senha = p;
        while (*p != 0 && *p != ' ')
            p++;
        if (*p != 0)
            *p++ = 0;
    }
    while (*p == ' ')
        p++;
    a.resto = p;
    return a;
}

void dataHora(uint32_t minutos, int32_t& dia, int32_t& mes, int32_t& ano, int32_t& hora, int32_t& minuto) {
    minutesToDate(minutos, dia, mes, ano);
    hora = int32_t((minutos / 60) % 24);
    minuto = int32_t(minutos % 60);
}

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

void comandoStop(TCliente&, const Pedido&) { exitServer(0); }

void comandoDebug(TCliente& c, const Pedido&) {
    c.cEstatistica();
    c.depura = true;
}

// One row per command: what it needs before its handler runs. Argument
// commands are split and, where they name a user, looked up before the
// line is compared with the administration password; the others are
// compared first, so a password that reads like a command still unlocks.
struct Comando {
    const char* palavra;
    bool argumento;       // takes an address token: linha is split in place
    bool usuario;         // names a registered user, looked up and read first
    bool senha;           // the user's password, unless administration is unlocked
    bool administracao;   // only once administration is unlocked
    bool destroi;         // the handler destroys the client (QUIT)
    Executa executa;
};

const Comando kComandos[] = {
    // palavra  argumento usuario senha administracao destroi
    {"register", true, false, false, false, false, comandoRegister},
    {"ip", true, true, false, false, false, comandoIp},
    {"get", true, true, false, false, false, comandoGet},
    {"logon", true, true, true, false, false, comandoLogon},
    {"logoff", true, true, true, false, false, comandoLogoff},
    {"remove", true, true, true, false, false, comandoRemove},
    {"find", true, false, false, false, false, comandoFind},
    {"date", true, true, false, true, false, comandoDate},
    {"ip2", true, true, false, true, false, comandoIp2},
    {"now", false, false, false, false, false, comandoNow},
    {"noop", false, false, false, false, false, comandoNoop},
    {"quit", false, false, false, false, true, comandoQuit},
    {"help", false, false, false, false, false, comandoHelp},
    {"stop", false, false, false, true, false, comandoStop},
    {"--debug", false, false, false, false, false, comandoDebug},
};

// The first row whose word is the line's first word (folded, so letter
// case does not matter), or null.
const Comando* reconhece(const char* linha) {
    for (const Comando& cmd : kComandos)
        if (compareWord(linha, cmd.palavra) == 0)
            return &cmd;
    return nullptr;
}

// The named user's node, with its record read into registro's buffer;
// false, after the reply, when there is no such user or no such record.
bool achaUsuario(TCliente& c, Pedido& p) {
    p.usuario = cBusca(p.email);
    if (p.usuario != nullptr && registro.cLe(p.usuario))
        return true;
    char resposta[200];
    formatText(resposta, sizeof resposta, "-Usuário não está registrado: %s\r\n", p.email);
    responde(c, resposta);
    return false;
}

// The digest of the password token against the record just read; the
// digest stays in cadSenha.
bool senhaConfere(TCliente& c, const char* senha) {
    digestText(senha, c.cadSenha);
    return digestsEqual(c.cadSenha, registro.senha());
}

}  // namespace

void responde(TCliente& c, const char* texto) { c.cEnvia(texto, -1); }

void TCliente::cEvento(const char* dados, int32_t len) {
    if (dados == nullptr) {
        if (len == 0) {
            delete this;  // the sockets are already closed
            return;
        }
        cArma(config.maxtempo);
        cLista();
        return;
    }
    cArma(config.maxtempo);
    for (int32_t i = 0; i < len; i++) {
        uint8_t b = uint8_t(dados[i]);
        if (tamanho == 0)
            estadoLinha = 0;
        if ((b == '\n' && fimLinha == '\r') || (b == '\r' && fimLinha == '\n')) {
            fimLinha = 0;  // second half of a line end
            continue;
        }
        if (b == '\r' || b == '\n') {
            if (tamanho == 0) {
                estadoLinha = 0;  // empty lines are never interpreted
                continue;
            }
            if (multilinha && estadoLinha == 1) {
                // The "." line ends the block: drop the dot (it may have been
                // dropped already if the block was full) and the LF before it.
                fimLinha = b;
                if (linha[tamanho - 1] == '.')
                    tamanho--;
                if (tamanho > 0 && linha[tamanho - 1] == '\n')
                    tamanho--;
                linha[tamanho] = 0;
                tamanho = 0;
                estadoLinha = 0;
                multilinha = false;
                if (!cComando())
                    return;
                continue;
            }
            if (linha[tamanho - 1] == '\n') {
                estadoLinha = 0;  // an empty information line is left out
                continue;
            }
            fimLinha = b;
            if (!multilinha) {
                linha[tamanho] = 0;
                tamanho = 0;
                estadoLinha = 0;
                if (!cComando())
                    return;  // the client is gone; the rest of the bytes with it
            } else {
                estadoLinha = 0;
                if (tamanho < kLinhaMax)
                    linha[tamanho++] = '\n';
            }
            continue;
        }
        estadoLinha = (estadoLinha == 0 && b == '.') ? 1 : 2;
        if (b < 0x20 || tamanho >= kLinhaMax)
            continue;
        linha[tamanho++] = char(b);
    }
}

bool TCliente::cComando() {
    if (dialogo == kAguardaNome) {
        dialogoNome(*this);
        return true;
    }
    if (dialogo == kAguardaInformacao) {
        dialogoConclusao(*this);
        return true;
    }
    const Comando* cmd = reconhece(linha);
    Pedido p{kVazio, kVazio, kVazio, nullptr};
    if (cmd != nullptr && cmd->argumento) {
        p = separa(linha);
        if (cmd->usuario && !achaUsuario(*this, p))
            return true;
    }
    // Compared exactly, case included: every line that is no command, and
    // those of the commands that need a password or the administration.
    // For an argument command linha now ends where the address token ended.
    bool comparaSenhaAdm = cmd == nullptr || !cmd->argumento || cmd->senha || cmd->administracao;
    if (comparaSenhaAdm && strcmp(linha, config.senhaadm) == 0) {
        desbloqueado = true;
        responde(*this, "+OK Comandos de administração desbloqueados\r\n");
        return true;
    }
    if (cmd == nullptr) {
        char resposta[120];
        formatText(resposta, sizeof resposta, "-Comando desconhecido: %s\r\n", linha);
        responde(*this, resposta);
        return true;
    }
    if (cmd->administracao && !desbloqueado) {
        responde(*this, "-Acesso negado\r\n");
        return true;
    }
    if (cmd->senha && !desbloqueado && !senhaConfere(*this, p.senha)) {
        responde(*this, "-Senha inválida\r\n");
        return true;
    }
    cmd->executa(*this, p);
    return !cmd->destroi;  // after QUIT nothing of this client may be touched
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
