// quelta-cli: talks to a Quelta server. One command from the command line,
// a batch from standard input, or a session on a terminal. Exit status 0
// for a "+OK" reply, 1 for a "-" reply or a line this program refuses to
// send, 2 when no reply could be had (usage, connection, TLS check).
#include <getopt.h>
#include <locale.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/cli/cli.h"
#include "tools/cli/texto.h"

namespace {

const char kUsage[] =
    "Usage: quelta-cli [OPTION]... [COMMAND [WORD]...]\n"
    "Talks to a Quelta server.\n"
    "\n"
    "With a command, sends it as one line, prints the reply (a listing up to\n"
    "its final \".\") and exits. Without one, on a terminal: a session with line\n"
    "editing and history; otherwise sends every line of standard input,\n"
    "prints every reply until the server closes, and exits.\n"
    "\n"
    "  --host HOST       server name or address (QUELTA_HOST; 127.0.0.1)\n"
    "  --port PORT       server port (QUELTA_PORT; 1956, or 1957 with --tls)\n"
    "  --tls             speak TLS, checking the server's certificate and name\n"
    "  --cacert FILE     trust the CA certificates in FILE, not the system's\n"
    "  --sni NAME        the server's name to send and check (for an address)\n"
    "  --insecure        do not check the certificate (tests only)\n"
    "  --latin1          the terminal's text is Latin-1, not UTF-8\n"
    "  --timeout SECONDS limit for connecting and, without a terminal, for each\n"
    "                    wait for the server (30; 0: none)\n"
    "  --help            show this text\n"
    "  --version         print the version\n"
    "\n"
    "A command word that starts with \"-\" goes after \"--\".\n"
    "Exit status: 0 the reply began with +OK (or the batch was sent), 1 it\n"
    "began with \"-\" or a line could not be sent in Latin-1, 2 no reply:\n"
    "usage, connection or TLS certificate.\n";

int usageError(const std::string& texto) {
    complain(texto + " (see quelta-cli --help)");
    return 2;
}

// The three replies that run over several lines, up to a line ".". The
// wire's Latin-1 is written as escapes so that it does not depend on how
// the compiler stores literals.
bool isListing(const std::string& primeira) {
    for (const char* inicio : {"+OK Este servidor QUELTA processa os seguintes comandos:",
                               "+OK Informa\xE7\xF5" "es do usu\xE1rio:",
                               "+OK Lista de usu\xE1rios encontrados se segue"})
        if (primeira.compare(0, strlen(inicio), inicio) == 0)
            return true;
    return false;
}

// Waits for the greeting, the first line of every conversation. Empty with
// the greeting in `linha`, or the failure.
std::string readGreeting(TSessao& s, int timeoutMs, std::string& linha) {
    for (;;) {
        if (s.cLinha(linha))
            return "";
        TSessao::Passo p = s.cEspera(timeoutMs);
        if (p == TSessao::kNada)
            return "no greeting from the server within " + std::to_string(timeoutMs / 1000) + " s";
        if (p == TSessao::kFalha)
            return "connection failed: " + s.erro();
        if (p == TSessao::kFim && !s.cLinha(linha)) {
            linha = s.cResto();
            if (linha.empty())
                return "the server closed the connection before its greeting";
            return "";
        }
    }
}

int waitMs(const Opcoes& o) { return o.destino.timeoutMs > 0 ? o.destino.timeoutMs : -1; }

int statusOf(const std::string& primeira) {
    return primeira.compare(0, 3, "+OK") == 0 ? 0 : primeira.compare(0, 1, "-") == 0 ? 1 : 2;
}

int runCommand(const Opcoes& o, TSessao& s, const std::string& linha, bool quit) {
    s.cEnfileira(linha + "\r\n");
    // The server answers a line that arrives before the end of the stream
    // and then closes: a reply that never ends its line cannot hang us.
    s.cFechaEnvioDepois();
    int status = -1;  // from the first line
    bool listagem = false, fim = false;
    for (;;) {
        std::string l;
        bool crlf = false;
        while (s.cLinha(l, &crlf)) {
            printLine(o, l);
            if (status < 0) {
                status = statusOf(l);
                listagem = isListing(l);
                if (status == 2)
                    complain("the reply begins with neither +OK nor -");
            }
            if (!listagem || (l == "." && crlf))
                return status;
        }
        if (fim) {
            // A reply cut by its buffer lacks its line end; the close ends it.
            l = s.cResto();
            if (status < 0 && !l.empty()) {
                printLine(o, l);
                return statusOf(l);
            }
            if (status < 0 && quit)
                return 0;  // QUIT has no reply
            complain(status < 0 ? "the server closed the connection without a reply"
                                : "the server closed the connection before the end of the listing");
            return 2;
        }
        TSessao::Passo p = s.cEspera(waitMs(o));
        if (p == TSessao::kNada) {
            complain("no reply from the server within " + std::to_string(o.destino.timeoutMs / 1000) + " s");
            return 2;
        }
        if (p == TSessao::kFalha) {
            complain("connection failed: " + s.erro());
            return 2;
        }
        fim = p == TSessao::kFim;
    }
}

int runBatch(const Opcoes& o, TSessao& s, const std::string& lote) {
    s.cEnfileira(lote);
    s.cFechaEnvioDepois();
    for (;;) {
        TSessao::Passo p = s.cEspera(waitMs(o));
        std::string l;
        while (s.cLinha(l))
            printLine(o, l);
        // What arrived is shown now, not when the buffer fills.
        fflush(stdout);
        if (p == TSessao::kFim) {
            l = s.cResto();
            if (!l.empty())
                printLine(o, l);
            return 0;
        }
        if (p == TSessao::kNada) {
            complain("no reply from the server within " + std::to_string(o.destino.timeoutMs / 1000) + " s");
            return 2;
        }
        if (p == TSessao::kFalha) {
            complain("connection failed: " + s.erro());
            return 2;
        }
    }
}

// Standard input as the wire's lines, each ended by CR LF. Empty with the
// batch in `lote`, or why it cannot be sent.
std::string readBatch(const Opcoes& o, std::string& lote) {
    std::ostringstream todo;
    todo << std::cin.rdbuf();
    std::istringstream linhas(todo.str());
    long numero = 0;
    for (std::string l, fio, erro; std::getline(linhas, l);) {
        numero++;
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        if (!toWire(l, o.utf8, fio, erro))
            return "line " + std::to_string(numero) + ": " + erro;
        lote += fio + "\r\n";
    }
    return "";
}

bool parsePort(const char* texto, std::string& porta) {
    char* fim = nullptr;
    long n = strtol(texto, &fim, 10);
    if (*texto == 0 || *fim != 0 || n < 1 || n > 65535)
        return false;
    porta = std::to_string(n);
    return true;
}

}  // namespace

void complain(const std::string& texto) { fprintf(stderr, "quelta-cli: %s\n", texto.c_str()); }

void printLine(const Opcoes& o, const std::string& linha) {
    std::string s = fromWire(linha, o.utf8, o.terminal);
    s += '\n';
    fwrite(s.data(), 1, s.size(), stdout);
}

int main(int argc, char** argv) {
    setlocale(LC_ALL, "");
    Opcoes o;
    o.utf8 = !localeIsLatin1();
    o.terminal = isatty(1) == 1;
    bool portaDada = false;
    if (const char* h = getenv("QUELTA_HOST"); h != nullptr && *h != 0)
        o.destino.host = h;
    if (const char* p = getenv("QUELTA_PORT"); p != nullptr && *p != 0) {
        if (!parsePort(p, o.destino.port))
            return usageError(std::string("QUELTA_PORT is not a port: ") + p);
        portaDada = true;
    }
    enum { kHost = 1, kPort, kTls, kCacert, kSni, kInsecure, kLatin1, kTimeout, kHelp, kVersion };
    const option opcoes[] = {{"host", required_argument, nullptr, kHost},
                             {"port", required_argument, nullptr, kPort},
                             {"tls", no_argument, nullptr, kTls},
                             {"cacert", required_argument, nullptr, kCacert},
                             {"sni", required_argument, nullptr, kSni},
                             {"insecure", no_argument, nullptr, kInsecure},
                             {"latin1", no_argument, nullptr, kLatin1},
                             {"timeout", required_argument, nullptr, kTimeout},
                             {"help", no_argument, nullptr, kHelp},
                             {"version", no_argument, nullptr, kVersion},
                             {nullptr, 0, nullptr, 0}};
    opterr = 0;
    // "+": the first word that is not an option starts the command, whose
    // words may look like options (FIND -x).
    for (int c; (c = getopt_long(argc, argv, "+", opcoes, nullptr)) != -1;) {
        switch (c) {
        case kHost:
            o.destino.host = optarg;
            break;
        case kPort:
            if (!parsePort(optarg, o.destino.port))
                return usageError(std::string("--port needs a port from 1 to 65535, not ") + optarg);
            portaDada = true;
            break;
        case kTls:
            o.destino.tls = true;
            break;
        case kCacert:
            o.destino.cacert = optarg;
            break;
        case kSni:
            o.destino.sni = optarg;
            break;
        case kInsecure:
            o.destino.insecure = true;
            break;
        case kLatin1:
            o.utf8 = false;
            break;
        case kTimeout: {
            char* fim = nullptr;
            long s = strtol(optarg, &fim, 10);
            if (*optarg == 0 || *fim != 0 || s < 0 || s > 86400)
                return usageError(std::string("--timeout needs seconds from 0 to 86400, not ") + optarg);
            o.destino.timeoutMs = int(s * 1000);
            break;
        }
        case kHelp:
            fputs(kUsage, stdout);
            return 0;
        case kVersion:
            printf("quelta-cli %s\n", QUELTA_VERSION);
            return 0;
        default:
            return usageError(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    if (o.destino.tls && !portaDada)
        o.destino.port = "1957";
    if (!o.destino.tls && (!o.destino.cacert.empty() || !o.destino.sni.empty() || o.destino.insecure))
        return usageError("--cacert, --sni and --insecure go with --tls");

    // Everything is converted before connecting, so a line that cannot go
    // is refused before the server sees a byte.
    std::string linha, lote, erro;
    bool quit = false;
    const bool comando = optind < argc;
    if (comando) {
        std::string palavras;
        for (int i = optind; i < argc; i++)
            palavras += (i > optind ? " " : "") + std::string(argv[i]);
        // A line end inside a word would send a second command.
        if (palavras.find_first_of("\r\n") != std::string::npos)
            return usageError("a command word holds a line end");
        if (palavras.find_first_not_of(' ') == std::string::npos)
            return usageError("the command is empty");
        if (!toWire(palavras, o.utf8, linha, erro)) {
            complain(erro);
            return 1;
        }
        quit = strcasecmp(argv[optind], "quit") == 0;
    } else if (isatty(0) != 1) {
        erro = readBatch(o, lote);
        if (!erro.empty()) {
            complain("standard input, " + erro);
            return 1;
        }
    }

    TConexao conexao;
    erro = conexao.cAbre(o.destino);
    if (!erro.empty()) {
        complain(erro);
        return 2;
    }
    TSessao s(conexao);
    std::string saudacao;
    erro = readGreeting(s, waitMs(o), saudacao);
    if (!erro.empty()) {
        complain(erro);
        return 2;
    }
    // A refusal (too many connections from this address) is the server's
    // reply to everything this run would have asked.
    if (saudacao.compare(0, 1, "-") == 0) {
        printLine(o, saudacao);
        return 1;
    }
    if (comando)
        return runCommand(o, s, linha, quit);
    if (isatty(0) != 1)
        return runBatch(o, s, lote);
    return runInteractive(o, s, saudacao);
}
