// Line framing and the command interpreter of a client. Bytes become lines
// of at most 2048 characters; each line is one command, except while the
// registration dialogue collects a name or a block of information lines.
#include <cstring>

#include "engine/clock.h"
#include "protocol/cliente.h"
#include "protocol/comandos.h"
#include "protocol/maquina.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "server/config.h"
#include "text/fold.h"
#include "text/format.h"
#include "text/sha0.h"

namespace {

constexpr uint16_t kLinhaMax = 2048;

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
// The help goes out in one cEnvia, which takes at most 2046 bytes.
static_assert(sizeof kAjuda - 1 < 2046, "help text must fit one send");

// The nine commands that take an argument, in the order they are tried.
enum Argumento { kRegister, kIp, kGet, kLogon, kLogoff, kRemove, kFind, kDate, kIp2, kNenhum };
const char* const kComandosArgumento[kNenhum] = {"register", "ip",   "get",  "logon", "logoff",
                                                 "remove",   "find", "date", "ip2"};

Argumento reconhece(const char* linha) {
    for (int i = 0; i < kNenhum; i++)
        if (compareWord(linha, kComandosArgumento[i]) == 0)
            return Argumento(i);
    return kNenhum;
}

// The first argument of a command line, split in place.
struct Argumentos {
    char* email;  // address token (for FIND, the pattern)
    char* senha;  // password token, empty when there was no ':'
    char* resto;  // what follows, inner spaces kept
};

// Writes terminators into linha: after this, linha itself reads as the
// command word, spaces and the address token, which is what the
// administration password is compared with.
Argumentos separa(char* linha) {
    static char vazio[1] = {0};
    char* p = linha;
    while (*p != 0 && *p != ' ')
        p++;
    while (*p == ' ')
        p++;
    Argumentos a{p, vazio, nullptr};
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

}  // namespace

void responde(TCliente& c, const char* texto) { c.cEnvia(texto, -1); }

void TCliente::cEvento(const char* dados, int32_t len) {
    if (dados == nullptr) {
        if (len == 0) {
            delete this;  // the sockets are already closed
            return;
        }
        cArma(maxtempo);
        cLista();
        return;
    }
    cArma(maxtempo);
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
    if (dialogo == 1) {
        dialogoNome(*this);
        return true;
    }
    if (dialogo == 2) {
        dialogoConclusao(*this);
        return true;
    }

    Argumento cmd = reconhece(linha);
    TUsuario* u = nullptr;
    Argumentos a{nullptr, nullptr, nullptr};
    if (cmd != kNenhum) {
        a = separa(linha);
        if (cmd == kRegister) {
            comandoRegister(*this, a.email, a.senha);
            return true;
        }
        if (cmd == kFind) {
            comandoFind(*this, a.email);
            return true;
        }
        u = cBusca(a.email);
        if (u == nullptr || !registro.cLe(u)) {
            char resposta[200];
            formatText(resposta, sizeof resposta, "-Usuário não está registrado: %s\r\n", a.email);
            responde(*this, resposta);
            return true;
        }
        if (cmd == kIp) {
            comandoIp(*this, u);
            return true;
        }
        if (cmd == kGet) {
            comandoGet(*this);
            return true;
        }
    }

    // Compared exactly, case included. For the commands above, linha now
    // ends where the address token ended.
    if (strcmp(linha, senhaadm) == 0) {
        desbloqueado = true;
        responde(*this, "+OK Comandos de administração desbloqueados\r\n");
        return true;
    }

    switch (cmd) {
    case kDate:
    case kIp2:
        if (!desbloqueado) {
            responde(*this, "-Acesso negado\r\n");
        } else if (cmd == kDate) {
            comandoDate(*this, u, a.resto);
        } else {
            comandoIp2(*this, u, a.resto);
        }
        return true;
    case kLogon:
    case kLogoff:
    case kRemove:
        if (!desbloqueado) {
            digestText(a.senha, cadSenha);
            if (memcmp(cadSenha, registro.senha(), sizeof cadSenha) != 0) {
                responde(*this, "-Senha inválida\r\n");
                return true;
            }
        }
        if (cmd == kLogon)
            comandoLogon(*this, u, a.resto);
        else if (cmd == kLogoff)
            comandoLogoff(*this, u);
        else
            comandoRemove(*this, u);
        return true;
    default:
        break;
    }

    if (compareWord(linha, "now") == 0) {
        int32_t dia, mes, ano, hora, minuto;
        dataHora(minuteClock, dia, mes, ano, hora, minuto);
        char resposta[100];
        formatText(resposta, sizeof resposta, "+OK Data: %d/%d/%d %d:%d:%d\r\n", dia, mes, ano, hora, minuto,
                   int32_t(clockSecond));
        responde(*this, resposta);
    } else if (compareWord(linha, "noop") == 0) {
        responde(*this, "+OK\r\n");
    } else if (compareWord(linha, "quit") == 0) {
        delete this;  // pending output gets one flush attempt
        return false;
    } else if (compareWord(linha, "help") == 0) {
        cEnvia(kAjuda, int32_t(sizeof kAjuda - 1));
    } else if (compareWord(linha, "stop") == 0) {
        if (desbloqueado)
            exitServer(0);
        responde(*this, "-Acesso negado\r\n");
    } else if (compareWord(linha, "--debug") == 0) {
        cEstatistica();
        depura = true;
    } else {
        char resposta[120];
        formatText(resposta, sizeof resposta, "-Comando desconhecido: %s\r\n", linha);
        responde(*this, resposta);
    }
    return true;
}

void TCliente::cEstatistica() {
    char parte[100];
    formatText(parte, sizeof parte, "+OK:  Usuários: %d  Máquinas: %d  Registros: %d", usuarios, maquinas,
               registros);
    cEnvia(parte, -1);
    int32_t dia, mes, ano, hora, minuto;
    dataHora(minuteClock, dia, mes, ano, hora, minuto);
    formatText(parte, sizeof parte, "  Data: %d/%d/%d %d:%d:%d\r\n", dia, mes, ano, hora, minuto,
               int32_t(clockSecond));
    cEnvia(parte, -1);
}
