// The server's main routine: take the registry, load it, read the
// configuration, open the listener, run the loop. Only a stop signal
// brings it back here, for a clean end.
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "engine/credencial.h"
#include "engine/diario.h"
#include "engine/loop.h"
#include "engine/platform.h"
#include "engine/tls.h"
#include "operations/metricas.h"
#include "protocol/cliente.h"
#include "protocol/comandos.h"
#include "protocol/envelhecimento.h"
#include "protocol/recepcao.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/fold.h"

namespace {


void ajuda(const char* programa) {
    printf("Usage: %s [--help | --version | -t [FILE] | --check-config [FILE]]\n"
           "Directory server. Reads <name>.cfg and keeps its users in <name>.sav in the\n"
           "current directory, <name> being the program's own name up to its first '.'.\n"
           "-t checks the configuration (FILE, or <name>.cfg) as the server would read it,\n"
           "the TLS pair included, and exits 0 when it is fine, 1 otherwise; it opens no\n"
           "port and creates no file.\n"
           "SIGTERM or SIGINT end it cleanly; see the manual page for the configuration.\n",
           programa);
}

// The TLS pair of a configuration, each file taken from the service
// manager's credentials when it handed one over under that name.
const char* carregaParTls(const Configuracao& c) {
    char certificado[512], chave[512];
    return tlsCarrega(credencialCaminho(c.certificado, certificado, sizeof certificado),
                      credencialCaminho(c.chave, chave, sizeof chave));
}

// -t: one line per problem, "FILE:LINE: key: what is wrong", or one line
// saying the file is fine. The exit status says which.
int verifica(const char* nome) {
    const char* motivo;
    int fd = abreConfiguracao(nome, &motivo);
    if (fd < 0) {
        printf("%s: %s\n", nome, motivo != nullptr ? motivo : platformErrorText());
        return 1;
    }
    Configuracao lida;
    AvisosConfiguracao avisos;
    bool inteira = readConfiguration(fd, lida, nullptr, &avisos);
    platformCloseFile(fd);
    if (!inteira) {
        printf("%s: cannot be read to its end: %s\n", nome, platformErrorText());
        return 1;
    }
    int32_t guardados = avisos.total < AvisosConfiguracao::kAvisosMax ? avisos.total : AvisosConfiguracao::kAvisosMax;
    for (int32_t i = 0; i < guardados; i++)
        printf("%s:%s\n", nome, avisos.itens[i]);
    if (avisos.total > guardados)
        printf("%s: %d problems more\n", nome, avisos.total - guardados);
    int32_t problemas = avisos.total;
    if (lida.portatls != 0) {
        if (const char* erro = carregaParTls(lida)) {
            printf("%s: portatls: the TLS pair does not load: %s\n", nome, erro);
            problemas++;
        }
    }
    if (problemas == 0)
        printf("%s: the configuration is fine\n", nome);
    return problemas == 0 ? 0 : 1;
}

// SIGHUP: the configuration read afresh, the service manager told
// around it.
void recarrega() {
    char aviso[64];
    snprintf(aviso, sizeof aviso, "RELOADING=1\nMONOTONIC_USEC=%lld",
             static_cast<long long>(platformMonotonicMicroseconds()));
    platformNotify(aviso);
    char senhaAntes[sizeof config.senhaadm];
    memcpy(senhaAntes, config.senhaadm, sizeof senhaAntes);
    reloadConfiguration();
    // An unlock was given for the password in force then: a changed or
    // removed one takes every unlock with it.
    if (memcmp(senhaAntes, config.senhaadm, sizeof senhaAntes) != 0) {
        int32_t n = TCliente::cBloqueiaTodos();
        logEventAt(Gravidade::kNota, "senhaadm changed: administration locked again in %d session%s", n,
                   n == 1 ? "" : "s");
    }
    // New handshakes take the pair as it is now; one that does not load
    // leaves the one in use.
    if (config.portatls != 0) {
        if (const char* erro = carregaParTls(config))
            logEventAt(Gravidade::kAviso, "TLS certificate not reloaded: %s; the pair in use stays", erro);
        else
            logEventAt(Gravidade::kNota, "TLS certificate and key reloaded");
    }
    platformNotify("READY=1");
}

// The log line of a listener that did not open: the address and port it
// was for, and the system's reason (erro is "label: reason").
void naoEscuta(int32_t porta, const char* erro) {
    uint32_t ip;
    if (config.ender[0] != 0 && !platformResolve(config.ender, &ip)) {
        logEventAt(Gravidade::kErro, "start-up failed: ender %s is no address and does not resolve", config.ender);
        return;
    }
    const char* motivo = strstr(erro, ": ");
    logEventAt(Gravidade::kErro, "start-up failed: cannot listen on %s:%d: %s",
               config.ender[0] != 0 ? config.ender : "0.0.0.0", porta, motivo != nullptr ? motivo + 2 : erro);
}

}  // namespace

int main(int argc, char** argv) {
    const char* programa = argc > 0 && argv[0] != nullptr ? argv[0] : "quelta";
    // The configuration refuses an administration password that reads as
    // a command: the interpreter knows which words those are.
    comandoNoInicio = palavraDeComandoNoInicio;
    logSetProgram(programa);
    // Nothing is touched before the command line is known to be plain.
    if (argc > 1) {
        if (argc == 2 && strcmp(argv[1], "--help") == 0) {
            ajuda(programa);
            return 0;
        }
        if (argc == 2 && strcmp(argv[1], "--version") == 0) {
            printf("quelta %s\n", QUELTA_VERSION);
            return 0;
        }
        if (argc <= 3 && (strcmp(argv[1], "-t") == 0 || strcmp(argv[1], "--check-config") == 0)) {
            buildFoldTable();
            deriveFileNames(programa);
            return verifica(argc == 3 ? argv[2] : configFileName);
        }
        logEventAt(Gravidade::kErro, "unknown argument %s; usage: %s [--help | --version | -t [FILE]]", argv[1], programa);
        return 2;
    }
    // The sockets layer needs no start-up on Linux; this is where the
    // process stops SIGPIPE and SIGXFSZ and raises its descriptor limit. A
    // stop signal from here on ends it cleanly at its next wait.
    platformStart();
    platformCatchStopSignals();
    buildFoldTable();  // key matching of the configuration depends on it
    deriveFileNames(programa);

    // An index found to disagree with its file ends the process; the
    // ageing timer (envelhecimento) lives in the same room and is armed already.
    registro.aoDiscordar = registroDiscordante;
    // One server per registry, for the whole life of the process.
    if (!registro.cTrava()) {
        logEventAt(Gravidade::kErro, "%s is in use by another server", registryFileName);
        return 1;
    }

    // The registry is loaded before the configuration is read, so it sees
    // the default values.
    int64_t inicio = platformMilliseconds();
    if (!registro.cCarrega()) {
        printf("%s: Problema ao acessar o registro de usuários\n", programa);
        logEventAt(Gravidade::kErro, "start-up failed: the registry file %s cannot be loaded: %s", registryFileName, registro.motivoCarga);
        return -1;
    }
    int64_t carga = platformMilliseconds() - inicio;

    const char* motivo;
    int fd = abreConfiguracao(configFileName, &motivo);
    if (fd < 0 && motivo == nullptr) {
        printf("Abrindo arquivo %s: %s\n", configFileName, platformErrorText());
        logEventAt(Gravidade::kErro, "start-up failed: cannot open %s: %s", configFileName, platformErrorText());
        return 1;
    }
    if (fd < 0) {
        logEventAt(Gravidade::kErro, "start-up failed: %s is %s", configFileName, motivo);
        return 1;
    }
    // A wrong value is told and its key keeps its default: a file that
    // served yesterday still starts the server.
    AvisosConfiguracao avisos;
    readConfiguration(fd, config, nullptr, &avisos);
    platformCloseFile(fd);
    reportProblems(configFileName, avisos);
    reportConfiguration();

    // The TLS pair is loaded before anything is accepted.
    if (config.portatls != 0) {
        if (const char* erro = carregaParTls(config)) {
            puts(erro);
            logEventAt(Gravidade::kErro, "start-up failed: TLS port %d: %s", config.portatls, erro);
            return 1;
        }
    }
    static TRecepcao servidor;  // lives as long as the process
    if (const char* erro = servidor.cAbre(config.ender, uint16_t(config.porta))) {
        puts(erro);
        naoEscuta(config.porta, erro);
        return 1;
    }
    static TRecepcao servidorTls(true);
    if (config.portatls != 0) {
        if (const char* erro = servidorTls.cAbre(config.ender, uint16_t(config.portatls))) {
            puts(erro);
            naoEscuta(config.portatls, erro);
            return 1;
        }
    }
    // The metrics endpoint, when asked for, shares the loop.
    static TMetricas metricas({&servidor, &servidor.recusas}, {&servidorTls, &servidorTls.recusas},
                              {kComandosNaTabela, palavraDoComando});
    if (config.metricas[0] != 0) {
        char endereco[64];
        uint16_t porta;
        const char* erro = separaEnderecoPorta(config.metricas, endereco, sizeof endereco, &porta)
                               ? metricas.cAbre(endereco, porta)
                               : "metricas: not ADDRESS:PORT";
        if (erro != nullptr) {
            puts(erro);
            logEventAt(Gravidade::kErro, "start-up failed: metrics endpoint %s: %s", config.metricas, erro);
            return 1;
        }
    }
    logEventAt(Gravidade::kNota, "listening on port %d; %d users loaded from %s in %d ms", config.porta, indice.registros,
             registryFileName, int32_t(carga));
    platformNotify("READY=1");
    runEventLoop(recarrega);

    // A stop signal: the pass it came in has finished; what was written
    // reaches the disk before the process ends.
    platformNotify("STOPPING=1");
    registro.cFecha();
    logEventAt(Gravidade::kNota, "ended by %s", platformSignalName(platformStopSignal()));
    return 0;
}
