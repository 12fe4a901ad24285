// Line framing and the command interpreter of a client. Bytes become lines
// of at most 2048 characters; each line is one command, except while the
// registration dialogue collects a name or a block of information lines.
#include <cassert>
#include <cstring>

#include "config/config.h"
#include "engine/clock.h"
#include "engine/diario.h"
#include "engine/loop.h"
#include "protocol/cliente.h"
#include "protocol/comandos.h"
#include "protocol/maquina.h"
#include "protocol/penalidade.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/fold.h"
#include "text/format.h"
#include "text/iguais.h"
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

void comandoStop(TCliente& c, const Pedido&) {
    char pontos[16];
    formatDotted(pontos, c.maquina->ip);
    logEvent("STOP from %s", pontos);
    exitServer(0);
}

void comandoDebug(TCliente& c, const Pedido&) {
    c.cEstatistica();
    c.depura = true;
}

// One row per command: what it needs before its handler runs. Argument
// commands are split and, where they name a user, looked up before the
// line is compared with the administration password; the others are
// compared first, so a password that reads like a command still unlocks.
// How much of a named user's record a command reads before it runs.
enum Leitura : uint8_t {
    kSemUsuario,  // names nobody
    kRegistro,    // the whole record
    kCabeca,      // its head (address, name, IP) is all the reply needs
};

struct Comando {
    const char* palavra;
    bool argumento;       // takes an address token: linha is split in place
    Leitura usuario;      // names a registered user, looked up and read first
    bool senha;           // the user's password, unless administration is unlocked
    bool administracao;   // only once administration is unlocked
    bool destroi;         // the handler destroys the client (QUIT)
    // A password is compared whose failure counts and costs the address
    // time: the row's own check, or REGISTER's of an existing entry
    // (whether there is one shows only after the lookup, so it always
    // waits out a penalty).
    bool confere;
    int16_t resposta;     // the longest reply the line may give, in bytes
    Executa executa;
};

// Replies of any line: the administration unlock, and an unknown line's
// echo (its 120-byte buffer).
constexpr int16_t kRespostaMinima = 64;
constexpr int16_t kRespostaDesconhecido = 120;
// A lookup that fails replies in a 200-byte buffer; so do IP, NOW and the
// statistics line's two halves together.
constexpr int16_t kRespostaUsuario = 200;

const Comando kComandos[] = {
    // palavra  argumento usuario senha administracao destroi confere resposta
    {"register", true, kSemUsuario, false, false, false, true, kRespostaMinima, comandoRegister},
    {"ip", true, kCabeca, false, false, false, false, kRespostaUsuario, comandoIp},
    {"get", true, kRegistro, false, false, false, false, 880, comandoGet},  // GET's own buffer
    {"logon", true, kRegistro, true, false, false, true, kRespostaUsuario, comandoLogon},
    {"logoff", true, kRegistro, true, false, false, true, kRespostaUsuario, comandoLogoff},
    {"remove", true, kRegistro, true, false, false, true, kRespostaUsuario, comandoRemove},
    // The listing's lines find their own room; this is its first line.
    {"find", true, kSemUsuario, false, false, false, false, kRespostaMinima, comandoFind},
    {"date", true, kRegistro, false, true, false, false, kRespostaUsuario, comandoDate},
    {"ip2", true, kRegistro, false, true, false, false, kRespostaUsuario, comandoIp2},
    {"now", false, kSemUsuario, false, false, false, false, kRespostaUsuario, comandoNow},
    {"noop", false, kSemUsuario, false, false, false, false, kRespostaMinima, comandoNoop},
    // Under --debug the statistics line leaves with the last flush.
    {"quit", false, kSemUsuario, false, false, true, false, kRespostaUsuario, comandoQuit},
    {"help", false, kSemUsuario, false, false, false, false, int16_t(sizeof kAjuda - 1), comandoHelp},
    {"stop", false, kSemUsuario, false, true, false, false, kRespostaMinima, comandoStop},
    {"--debug", false, kSemUsuario, false, false, false, false, kRespostaUsuario, comandoDebug},
};

// The first row whose word is the line's first word (folded, so letter
// case does not matter), or null.
const Comando* reconhece(const char* linha) {
    for (const Comando& cmd : kComandos)
        if (compareWord(linha, cmd.palavra) == 0)
            return &cmd;
    return nullptr;
}

// The named user's node, with its record (or its head) read into registro's buffer;
// false, after the reply, when there is no such user or no such record.
bool achaUsuario(TCliente& c, Pedido& p, Leitura leitura) {
    p.usuario = cBusca(p.email);
    if (p.usuario != nullptr && (leitura == kCabeca ? registro.cLeCabeca(p.usuario) : registro.cLe(p.usuario)))
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
    return equalConstantTime(c.cadSenha, registro.senha(), sizeof c.cadSenha);
}

// The line against the administration password, both as zero-padded
// buffers of the password's size (the configuration keeps it padded): the
// time depends neither on the password's length nor on where the first
// difference lies. A line too long for the buffer cannot be the password,
// and its length is the client's own to know.
bool senhaAdmConfere(const char* linha) {
    char copia[sizeof config.senhaadm] = {};
    size_t n = strnlen(linha, sizeof copia);
    if (n == sizeof copia)
        return false;
    memcpy(copia, linha, n);
    return equalConstantTime(copia, config.senhaadm, sizeof copia);
}

// The client's address token as a log line may show it: the token is
// the client's to choose, so only bytes 0x21..0x7E pass, each other byte
// becomes '?', and it is cut to size - 1; no token can end the line or
// pass for another field of it.
void copyPrintable(char* out, const char* token, int size) {
    int n = 0;
    for (; n < size - 1 && token[n] != 0; n++) {
        uint8_t b = uint8_t(token[n]);
        out[n] = b >= 0x21 && b <= 0x7E ? char(b) : '?';
    }
    out[n] = 0;
}

// The name and information lines of a registration are no commands.
bool emDialogo(const TCliente& c) { return c.dialogo == kAguardaNome || c.dialogo == kAguardaInformacao; }

// The longest reply the line in linha may give; cmd is its row (null for
// a dialogue line or an unknown line).
int32_t respostaMaxima(const TCliente& c, const Comando* cmd) {
    // The dialogue's replies: the name's refusal or the information
    // prompt, and the completion's outcome.
    if (c.dialogo == kAguardaNome)
        return 80;
    if (c.dialogo == kAguardaInformacao)
        return kRespostaMinima;
    if (cmd == nullptr)
        return kRespostaDesconhecido;
    return cmd->resposta > kRespostaMinima ? cmd->resposta : kRespostaMinima;
}

// Whether the line in linha runs a password check whose failure counts.
bool confereSenha(const TCliente& c, const Comando* cmd) {
    if (emDialogo(c))
        return false;  // names and information are never compared
    if (cmd == nullptr)
        return config.senhaadm[0] != 0 && !c.restoRecusado;
    // Unlocked, LOGON, LOGOFF and REMOVE compare nothing.
    return cmd->confere && !(cmd->senha && c.desbloqueado);
}

// The password the line in linha checks: the account of its address token
// for a command, the administration password for any other line.
uint64_t contaDaLinha(const char* linha, const Comando* cmd) {
    if (cmd == nullptr)
        return kContaAdministracao;
    // The token as separa will cut it: after the word and its blanks, up
    // to a ':' or a blank.
    const char* p = linha;
    while (*p != 0 && *p != ' ')
        p++;
    while (*p == ' ')
        p++;
    size_t n = 0;
    while (p[n] != 0 && p[n] != ':' && p[n] != ' ')
        n++;
    return penalidadeConta(p, n);
}

uint64_t contaDe(const char* email) {
    return email == nullptr ? kContaAdministracao : penalidadeConta(email, strlen(email));
}

}  // namespace

void responde(TCliente& c, const char* texto) { c.cEnvia(texto, -1); }

void TCliente::cEvento(const char* dados, int32_t len) {
    if (dados == nullptr) {
        if (len == 0) {
            delete this;  // the sockets are already closed
            return;
        }
        if (len == 2) {
            fimDaEntrada = true;
            cEncerraSeConcluido();
            return;
        }
        // Drained, or the turn a listing stopped at its bound asked for: the
        // listing's step comes first, then the lines that waited, in order,
        // then the listing fills what room is left. A penalty's wait asks
        // for its own turn when it ends.
        if (emEspera)
            return;
        cArma(config.maxtempo);
        if (listaAdiada) {
            listaAdiada = false;
            cLista();
        }
        if (retendo()) {
            listaAdiada = false;  // they waited for this step, not for the end
            if (!cRetoma() || emEspera)
                return;
        }
        if (!listaAdiada)
            cLista();
        cEncerraSeConcluido();
        return;
    }
    if (!emEspera)
        cArma(config.maxtempo);
    if (retendo()) {
        // The engine reads nothing while input is held; bytes handed over
        // regardless go behind it, as far as the buffer holds them.
        int32_t n = len < kLinhaMax - retidos ? len : kLinhaMax - retidos;
        memcpy(retido + retidos, dados, size_t(n));
        retidos = uint16_t(retidos + n);
        return;
    }
    cProcessa(dados, len);
}

bool TCliente::cProcessa(const char* dados, int32_t len) {
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
                Seguimento s = cLinhaCompleta(dados + i + 1, len - i - 1);
                if (s != kSegue)
                    return s == kRetido;
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
                Seguimento s = cLinhaCompleta(dados + i + 1, len - i - 1);
                if (s != kSegue)
                    return s == kRetido;  // gone: the rest of the bytes with it
            } else {
                estadoLinha = 0;
                if (tamanho < kLinhaMax)
                    linha[tamanho++] = '\n';
            }
            continue;
        }
        // Control bytes are dropped before they can count: a line that
        // reads "." without them ends an information block.
        if (b < 0x20)
            continue;
        estadoLinha = (estadoLinha == 0 && b == '.') ? 1 : 2;
        if (tamanho >= kLinhaMax)
            continue;
        linha[tamanho++] = char(b);
    }
    return true;
}

TCliente::Seguimento TCliente::cLinhaCompleta(const char* resto, int32_t n) {
    if (!cPodeInterpretar()) {
        cRetem(resto, n, true);
        return kRetido;
    }
    if (!cComando())
        return kFim;
    if (emEspera) {
        // The failure's reply waits: so does everything behind it.
        cRetem(resto, n, false);
        return kRetido;
    }
    return kSegue;
}

bool TCliente::cPodeInterpretar() {
    if (listaAdiada || emEspera)
        return false;  // the listing's next step, or the wait, comes first
    // The check waits for the penalty to end, whichever connection of the
    // address earned it; a right password must not answer sooner than a
    // wrong one would.
    const Comando* cmd = emDialogo(*this) ? nullptr : reconhece(linha);
    if (confereSenha(*this, cmd)) {
        int32_t falta = penalidadeRestante(maquina->ip, contaDaLinha(linha, cmd), clockSeconds);
        if (falta > 0) {
            cEspera(falta);
            return false;
        }
    }
    int32_t precisa = respostaMaxima(*this, cmd);
    if (precisa < livre())
        return true;
    // One attempt: a socket with room takes the ring at once, and the line
    // runs without waiting for the next pass. Its reply is queued next (or
    // QUIT closes), and the flush step sends that without holding back.
    cDescarrega(true);
    return precisa < livre();
}

void TCliente::cRetem(const char* dados, int32_t len, bool linhaEspera) {
    if (linhaEspera)
        linhaPronta = true;
    if (retido == nullptr)
        retido = new char[kLinhaMax];
    memmove(retido, dados, size_t(len));  // dados may lie inside retido
    retidos = uint16_t(len);
    cSuspende(true);
}

bool TCliente::cRetoma() {
    if (linhaPronta) {
        if (!cPodeInterpretar())
            return true;
        linhaPronta = false;
        if (!cComando())
            return false;
        if (emEspera)
            return true;  // its reply waits, and the bytes behind it
    }
    int32_t n = retidos;
    retidos = 0;
    if (n > 0 && !cProcessa(retido, n))
        return false;
    if (!retendo())
        cSuspende(false);
    return true;
}

bool TCliente::cEncerraSeConcluido() {
    if (!fimDaEntrada || retendo() || pendentes() != 0 || dialogo == kListando || dialogo == kFimDaLista)
        return false;
    delete this;
    return true;
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
    // What a client wrote ahead for a registration that was refused (its
    // name, its information, the "." line) is no guess at the
    // administration password: it is not compared, so it can neither
    // unlock nor fail. A command, or the "." line, ends that run.
    bool resto = restoRecusado;
    if (cmd != nullptr || strcmp(linha, ".") == 0)
        restoRecusado = false;
    Pedido p{kVazio, kVazio, kVazio, nullptr};
    if (cmd != nullptr && cmd->argumento) {
        p = separa(linha);
        if (cmd->usuario != kSemUsuario && !achaUsuario(*this, p, cmd->usuario))
            return true;
    }
    // Compared exactly, case included: every line that is no command, and
    // those of the commands that need a password or the administration.
    // For an argument command linha now ends where the address token ended.
    // Without a password nothing is compared, and nothing can fail.
    bool administracao = config.senhaadm[0] != 0 && !(cmd == nullptr && resto);
    bool comparaSenhaAdm =
        administracao && (cmd == nullptr || !cmd->argumento || cmd->senha || cmd->administracao);
    if (comparaSenhaAdm && senhaAdmConfere(linha)) {
        cConfirmou(nullptr);
        desbloqueado = true;
        responde(*this, "+OK Comandos de administração desbloqueados\r\n");
        return true;
    }
    if (cmd == nullptr) {
        char resposta[120];
        formatText(resposta, sizeof resposta, "-Comando desconhecido: %s\r\n", linha);
        // A command's line that is not the password is still that command;
        // only a line that is nothing else was a guess.
        if (administracao)
            cFalhou(resposta, nullptr);
        else
            responde(*this, resposta);
        return true;
    }
    if (cmd->administracao && !desbloqueado) {
        responde(*this, "-Acesso negado\r\n");
        return true;
    }
    if (cmd->senha && !desbloqueado) {
        if (!senhaConfere(*this, p.senha)) {
            cFalhou("-Senha inválida\r\n", p.email);
            return true;
        }
        cConfirmou(p.email);
    }
    cmd->executa(*this, p);
    return !cmd->destroi;  // after QUIT nothing of this client may be touched
}

void TCliente::cFalhou(const char* resposta, const char* email) {
    assert(!emEspera);  // nothing is interpreted during a wait
    char endereco[16];
    formatDotted(endereco, maquina->ip);
    if (email != nullptr) {
        char token[registro_campo::kEmailLen];
        copyPrintable(token, email, sizeof token);
        logEvent("authentication failure for %s from %s", token, endereco);
    } else {
        logEvent("administration unlock failure from %s", endereco);
    }
    int32_t segundos = penalidadeFalha(maquina->ip, contaDe(email), clockSeconds);
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

void TCliente::cEspera(int32_t segundos) {
    emEspera = true;
    fimEspera = clockSeconds + segundos;
    espera.cArma(segundos);
    cArma(0);  // the idle timer: the client is waiting for the server
}

void TCliente::cFimDaEspera() {
    // A wait beyond one timer's 300 seconds takes several turns.
    int64_t falta = fimEspera - clockSeconds;
    if (falta > 0) {
        espera.cArma(int32_t(falta));
        return;
    }
    emEspera = false;
    if (tamRetida > 0) {
        cEnvia(respostaRetida, tamRetida);
        tamRetida = 0;
    }
    if (!retendo())
        cSuspende(false);  // the failure was the last thing it had sent
    cPedeVez();
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
