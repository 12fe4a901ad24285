// The session on a terminal: libedit reads the user's lines one key at a
// time (its callback interface), so one poll waits on the terminal and on
// the server, and a reply or the server's time-out is shown while the user
// types: the prompt line is wiped, the reply printed, the line drawn again.
#include <editline/readline.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/cli/cli.h"
#include "tools/cli/texto.h"

namespace {

const char* const kPalavras[] = {"REGISTER", "IP", "GET", "FIND", "LOGON", "LOGOFF", "REMOVE",
                                 "DATE", "IP2", "NOW", "NOOP", "QUIT", "HELP", "STOP"};

// libedit's callbacks take no context: the one session of the process.
struct Estado {
    const Opcoes* opcoes = nullptr;
    TSessao* sessao = nullptr;
    bool saiu = false;  // Ctrl-D
    bool quit = false;  // the user sent QUIT
    bool linhaLida = false;  // the handler took a line in this call
} estado;

char* completaPalavra(const char* texto, int vez) {
    static size_t i;
    if (vez == 0)
        i = 0;
    const size_t n = strlen(texto);
    // The user's case: "fi" completes to "find", "FI" and "" to "FIND".
    const bool minusculas = n > 0 && texto[0] >= 'a' && texto[0] <= 'z';
    while (i < sizeof kPalavras / sizeof kPalavras[0]) {
        const char* p = kPalavras[i++];
        if (strncasecmp(p, texto, n) == 0) {
            char* r = strdup(p);
            for (char* c = r; minusculas && *c != 0; c++)
                if (*c >= 'A' && *c <= 'Z')
                    *c = char(*c - 'A' + 'a');
            return r;
        }
    }
    return nullptr;
}

char** completa(const char* texto, int inicio, int) {
    // Only the command word is completed; never a file name.
    rl_attempted_completion_over = 1;
    if (inicio != 0)
        return nullptr;
    return rl_completion_matches(texto, completaPalavra);
}

// Whether a line may be kept in the history file: the known commands, and
// only when their first word after the command has no ":password". Any
// other line may be the administration password (or a registration's
// name and information), and stays out.
bool mayKeep(const std::string& linha) {
    const size_t fimPalavra = linha.find(' ');
    const std::string palavra = linha.substr(0, fimPalavra);
    bool conhecida = false;
    for (const char* p : kPalavras)
        conhecida = conhecida || strcasecmp(p, palavra.c_str()) == 0;
    if (!conhecida)
        return false;
    if (fimPalavra == std::string::npos)
        return true;
    const size_t arg = linha.find_first_not_of(' ', fimPalavra);
    if (arg == std::string::npos)
        return true;
    const size_t fimArg = linha.find(' ', arg);
    return linha.substr(arg, fimArg == std::string::npos ? std::string::npos : fimArg - arg).find(':') ==
           std::string::npos;
}

void aoLerLinha(char* texto) {
    if (texto == nullptr) {
        estado.saiu = true;
        return;
    }
    estado.linhaLida = true;
    std::string linha = texto;
    free(texto);
    std::string fio, erro;
    if (!toWire(linha, estado.opcoes->utf8, fio, erro)) {
        complain(erro);
        return;
    }
    if (!linha.empty() && mayKeep(linha))
        add_history(linha.c_str());
    const size_t p = linha.find_first_not_of(' ');
    if (p != std::string::npos && strncasecmp(linha.c_str() + p, "quit", 4) == 0 &&
        (linha.size() == p + 4 || linha[p + 4] == ' '))
        estado.quit = true;
    estado.sessao->cEnfileira(fio + "\r\n");
}

std::string historyFile() {
    const char* home = getenv("HOME");
    if (home == nullptr || *home == 0)
        return "";
    return std::string(home) + "/.quelta_history";
}

}  // namespace

int runInteractive(const Opcoes& o, TSessao& s, const std::string& saudacao) {
    estado.opcoes = &o;
    estado.sessao = &s;
    printLine(o, saudacao);
    fflush(stdout);

    const std::string historico = historyFile();
    using_history();
    stifle_history(1000);
    if (!historico.empty())
        read_history(historico.c_str());
    rl_attempted_completion_function = completa;
    const std::string prompt = "quelta " + o.destino.host + ":" + o.destino.port + "> ";
    rl_callback_handler_install(prompt.c_str(), aoLerLinha);
    // Where the terminal understands it, the prompt line is wiped before
    // a reply is printed over it; elsewhere the reply starts a new line.
    const char* term = getenv("TERM");
    const char* apaga = term != nullptr && strcmp(term, "dumb") != 0 ? "\r\033[K" : "\n";

    int status = 0;
    while (!estado.saiu) {
        int teclado = 0;
        TSessao::Passo p = s.cEspera(-1, 0, &teclado);
        std::string l;
        bool primeira = true;
        while (s.cLinha(l)) {
            if (primeira)
                fputs(apaga, stdout);
            primeira = false;
            printLine(o, l);
        }
        if (p == TSessao::kFim || p == TSessao::kFalha) {
            l = s.cResto();
            if (primeira)
                fputs(apaga, stdout);
            if (!l.empty())
                printLine(o, l);
            if (p == TSessao::kFalha) {
                complain("connection failed: " + s.erro());
                status = 2;
            } else if (!estado.quit) {
                complain("the server closed the connection");
                status = 2;
            }
            break;
        }
        fflush(stdout);
        if (!primeira)
            rl_forced_update_display();
        // A terminal that went away (a closed window, a dropped login)
        // gives libedit nothing to read: leave as for Ctrl-D.
        if (teclado < 0)
            estado.saiu = true;
        if (teclado > 0) {
            estado.linhaLida = false;
            rl_callback_read_char();
            // libedit leaves the line it handed over in its buffered mode;
            // installing again starts the next line with its prompt.
            if (estado.linhaLida && !estado.saiu)
                rl_callback_handler_install(prompt.c_str(), aoLerLinha);
        }
    }
    rl_callback_handler_remove();
    if (estado.saiu)
        fputs("\n", stdout);
    if (!historico.empty()) {
        // The file is the user's alone, though no password goes into it.
        int fd = open(historico.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0)
            close(fd);
        write_history(historico.c_str());
    }
    return status;
}
