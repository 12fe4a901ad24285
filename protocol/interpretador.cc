// The command interpreter of a client: the table of commands, each
// line's recognition, and the checks a row asks for before its handler
// runs (the user, the administration, the passwords and what a failed
// password costs). Framing is enquadramento.cc's, holding retencao.cc's.
#include <cstring>

#include "config/config.h"
#include "engine/diario.h"
#include "protocol/cliente.h"
#include "protocol/comandos.h"
#include "operations/contadores.h"
#include "admission/maquina.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/fold.h"
#include "text/format.h"

namespace {

// The empty text of every field a line does not fill.
char kVazio[1] = {0};

// Writes terminators into linha: after this, linha itself reads as the
// command word, spaces and the address token, which is what the
// administration password is compared with.
Pedido separa(char* linha) {
    size_t n;
    char* p = linha + tokenDoEndereco(linha, &n);
    Pedido a{p, kVazio, nullptr, nullptr};
    p += n;
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

// How much of a named user's record a command reads before it runs.
enum Leitura : uint8_t {
    kSemUsuario,  // names nobody
    kRegistro,    // the whole record
    kNo,          // its node and digest hold all it needs: nothing is read
};

}  // namespace

// One row per command: what it needs before its handler runs. Argument
// commands are split and, where they name a user, looked up. A line that
// begins with a command word runs that command and is never compared with
// the administration password: comparisons nobody counted would let a
// guesser try a password that reads like a command for free. Such a
// password is refused instead, when the configuration is read.
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

namespace {

// Replies of any line: the administration unlock, and an unknown line's
// echo (kRespostaDesconhecido).
constexpr int16_t kRespostaMinima = 64;
// The name's refusal, or the prompt for the information.
constexpr int16_t kRespostaNome = 80;
// A lookup that fails replies in a 200-byte buffer; so do IP, NOW and the
// statistics line's two halves together.
constexpr int16_t kRespostaUsuario = 200;

const Comando kComandos[] = {
    // palavra  argumento usuario senha administracao destroi confere resposta
    {"register", true, kSemUsuario, false, false, false, true, kRespostaMinima, comandoRegister},
    {"ip", true, kNo, false, false, false, false, kRespostaUsuario, comandoIp},
    {"get", true, kRegistro, false, false, false, false, kRespostaGet, comandoGet},
    {"logon", true, kNo, true, false, false, true, kRespostaUsuario, comandoLogon},
    {"logoff", true, kNo, true, false, false, true, kRespostaUsuario, comandoLogoff},
    {"remove", true, kRegistro, true, false, false, true, kRespostaUsuario, comandoRemove},
    // The listing's lines find their own room; this is its first line.
    {"find", true, kSemUsuario, false, false, false, false, kRespostaMinima, comandoFind},
    {"date", true, kRegistro, false, true, false, false, kRespostaUsuario, comandoDate},
    {"ip2", true, kRegistro, false, true, false, false, kRespostaUsuario, comandoIp2},
    {"now", false, kSemUsuario, false, false, false, false, kRespostaUsuario, comandoNow},
    {"noop", false, kSemUsuario, false, false, false, false, kRespostaMinima, comandoNoop},
    // Under --debug the statistics line leaves with the last flush.
    {"quit", false, kSemUsuario, false, false, true, false, kRespostaUsuario, comandoQuit},
    {"help", false, kSemUsuario, false, false, false, false, kRespostaAjuda, comandoHelp},
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

}  // namespace

const int32_t kComandosNaTabela = int32_t(sizeof kComandos / sizeof kComandos[0]);
static_assert(sizeof kComandos / sizeof kComandos[0] < sizeof Contadores::comandos / sizeof(uint64_t),
              "a counter for every row and one for the lines that are no command");

const char* palavraDoComando(int32_t linha) { return kComandos[linha].palavra; }

const char* palavraDeComandoNoInicio(const char* texto) {
    // The interpreter's own recognition: whatever it would take for a
    // command, --debug included, in any letter case.
    const Comando* cmd = reconhece(texto);
    return cmd != nullptr ? cmd->palavra : nullptr;
}

namespace {

// The named user's node, with its record (or its head) read into registro's buffer;
// false, after the reply, when there is no such user or no such record.
bool achaUsuario(TCliente& c, Pedido& p, Leitura leitura) {
    p.usuario = cBusca(p.email);
    if (p.usuario != nullptr && (leitura == kNo || registro.cLe(p.usuario)))
        return true;
    char resposta[kRespostaUsuario];
    formatText(resposta, sizeof resposta, "-Usuário não está registrado: %s\r\n", p.email);
    responde(c, resposta);
    return false;
}

// The name and information lines of a registration are no commands.
bool emDialogo(const TCliente& c) {
    return c.conversa() == kNome || c.conversa() == kInformacao || c.conversa() == kBloco;
}

}  // namespace

size_t tokenDoEndereco(const char* linha, size_t* n) {
    const char* p = linha;
    while (*p != 0 && *p != ' ')
        p++;
    while (*p == ' ')
        p++;
    size_t k = 0;
    while (p[k] != 0 && p[k] != ':' && p[k] != ' ')
        k++;
    *n = k;
    return size_t(p - linha);
}

void responde(TCliente& c, const char* texto) { c.cEnvia(texto, -1); }

const Comando* TCliente::cReconhece() const { return emDialogo(*this) ? nullptr : reconhece(linha); }

int32_t TCliente::cRespostaMaxima(const Comando* cmd) const {
    // The dialogue's replies: the name's refusal or the information
    // prompt, and the completion's outcome.
    if (estado == kNome)
        return kRespostaNome;
    if (estado == kBloco)
        return kRespostaMinima;
    if (cmd == nullptr)
        return kRespostaDesconhecido;
    return cmd->resposta > kRespostaMinima ? cmd->resposta : kRespostaMinima;
}

bool TCliente::cConfereSenha(const Comando* cmd) const {
    if (emDialogo(*this))
        return false;  // names and information are never compared
    if (cmd == nullptr)
        return config.senhaadm[0] != 0 && estado != kRestoRecusado;
    // Unlocked, LOGON, LOGOFF and REMOVE compare nothing.
    return cmd->confere && !(cmd->senha && desbloqueado());
}

bool TCliente::cComando(const Comando* cmd) {
    if (estado == kNome) {
        dialogoNome(*this);
        return true;
    }
    if (estado == kBloco) {
        dialogoConclusao(*this);
        return true;
    }
    contadores.comandos[cmd != nullptr ? cmd - kComandos : kComandosNaTabela]++;
    // What a client wrote ahead for a registration that was refused (its
    // name, its information, the "." line) is no guess at the
    // administration password: it is not compared, so it can neither
    // unlock nor fail. A command, or the "." line, ends that run.
    bool resto = estado == kRestoRecusado;
    if (resto && (cmd != nullptr || strcmp(linha, ".") == 0))
        cMuda(kOcioso);
    Pedido p{kVazio, kVazio, kVazio, nullptr};
    if (cmd != nullptr && cmd->argumento) {
        p = separa(linha);
        if (cmd->usuario != kSemUsuario && !achaUsuario(*this, p, cmd->usuario))
            return true;
    }
    // Compared exactly, case included: every line that is no command, and
    // only those, so every comparison that fails counts as one.
    // Without a password nothing is compared, and nothing can fail.
    bool administracao = cmd == nullptr && !resto && config.senhaadm[0] != 0;
    if (administracao && cSenhaAdmConfere()) {
        cConfirmou(nullptr);
        cDesbloqueia();
        char endereco[16];
        formatDotted(endereco, maquina->ip);
        logEventAt(Gravidade::kNota, "administration unlocked from %s", endereco);
        responde(*this, "+OK Comandos de administração desbloqueados\r\n");
        return true;
    }
    if (cmd == nullptr) {
        char resposta[kRespostaDesconhecido];
        formatText(resposta, sizeof resposta, "-Comando desconhecido: %s\r\n", linha);
        if (administracao)
            cFalhou(resposta, nullptr);
        else
            responde(*this, resposta);
        return true;
    }
    if (cmd->administracao && !desbloqueado()) {
        responde(*this, "-Acesso negado\r\n");
        return true;
    }
    if (cmd->senha && !desbloqueado()) {
        if (!cSenhaConfere(p.senha, p.usuario)) {
            cFalhou("-Senha inválida\r\n", p.email);
            return true;
        }
        cConfirmou(p.email);
    }
    cmd->executa(*this, p);
    return !cmd->destroi;  // after QUIT nothing of this client may be touched
}
