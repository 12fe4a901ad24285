// The server's main routine: take the registry, load it, read the
// configuration, open the listener, run the loop. Only a stop signal
// brings it back here, for a clean end.
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "engine/diario.h"
#include "engine/loop.h"
#include "engine/platform.h"
#include "engine/tls.h"
#include "protocol/cliente.h"
#include "protocol/metricas.h"
#include "protocol/servidor.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/fold.h"

namespace {


void ajuda(const char* programa) {
    printf("Usage: %s [--help | --version]\n"
           "Directory server. Reads <name>.cfg and keeps its users in <name>.sav in the\n"
           "current directory, <name> being the program's own name up to its first '.'.\n"
           "SIGTERM or SIGINT end it cleanly; see the manual page for the configuration.\n",
           programa);
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
    senhaAdmSemComando();
    // An unlock was given for the password in force then: a changed or
    // removed one takes every unlock with it.
    if (memcmp(senhaAntes, config.senhaadm, sizeof senhaAntes) != 0) {
        int32_t n = TCliente::cBloqueiaTodos();
        logEvent("senhaadm changed: administration locked again in %d session%s", n, n == 1 ? "" : "s");
    }
    // New handshakes take the pair as it is now; one that does not load
    // leaves the one in use.
    if (config.portatls != 0) {
        if (const char* erro = tlsCarrega(config.certificado, config.chave))
            logEvent("TLS certificate not reloaded: %s; the pair in use stays", erro);
        else
            logEvent("TLS certificate and key reloaded");
    }
    platformNotify("READY=1");
}

}  // namespace

int main(int argc, char** argv) {
    const char* programa = argc > 0 && argv[0] != nullptr ? argv[0] : "quelta";
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
        logEvent("unknown argument %s; usage: %s [--help | --version]", argv[1], programa);
        return 2;
    }
    // The sockets layer needs no start-up on Linux; this is where the
    // process stops SIGPIPE and SIGXFSZ and raises its descriptor limit. A
    // stop signal from here on ends it cleanly at its next wait.
    platformStart();
    platformCatchStopSignals();
    buildFoldTable();  // key matching of the configuration depends on it
    deriveFileNames(programa);

    // One server per registry, for the whole life of the process.
    if (!registro.cTrava()) {
        logEvent("%s is in use by another server", registryFileName);
        return 1;
    }

    // The registry is loaded before the configuration is read, so it sees
    // the default values.
    int64_t inicio = platformMilliseconds();
    if (!registro.cCarrega()) {
        printf("%s: Problema ao acessar o registro de usuários\n", programa);
        logEvent("start-up failed: the registry file %s cannot be loaded", registryFileName);
        return -1;
    }
    int64_t carga = platformMilliseconds() - inicio;

    int fd = platformOpenReadOnly(configFileName);
    if (fd < 0) {
        printf("Abrindo arquivo %s: %s\n", configFileName, platformErrorText());
        logEvent("start-up failed: cannot open %s: %s", configFileName, platformErrorText());
        return 1;
    }
    readConfiguration(fd);
    platformCloseFile(fd);
    reportConfiguration();
    senhaAdmSemComando();

    // The TLS pair is loaded before anything is accepted.
    if (config.portatls != 0) {
        if (const char* erro = tlsCarrega(config.certificado, config.chave)) {
            puts(erro);
            logEvent("start-up failed: TLS port %d: %s", config.portatls, erro);
            return 1;
        }
    }
    static TServidor servidor;  // lives as long as the process
    if (const char* erro = servidor.cAbre(config.ender, uint16_t(config.porta))) {
        puts(erro);
        logEvent("start-up failed: %s", erro);
        return 1;
    }
    static TServidor servidorTls(true);
    if (config.portatls != 0) {
        if (const char* erro = servidorTls.cAbre(config.ender, uint16_t(config.portatls))) {
            puts(erro);
            logEvent("start-up failed: TLS port %d: %s", config.portatls, erro);
            return 1;
        }
    }
    // The metrics endpoint, when asked for, shares the loop.
    static TMetricas metricas(&servidor);
    if (config.metricas[0] != 0) {
        char endereco[64];
        uint16_t porta;
        const char* erro = separaEnderecoPorta(config.metricas, endereco, sizeof endereco, &porta)
                               ? metricas.cAbre(endereco, porta)
                               : "metricas: not ADDRESS:PORT";
        if (erro != nullptr) {
            puts(erro);
            logEvent("start-up failed: metrics endpoint %s: %s", config.metricas, erro);
            return 1;
        }
    }
    logEvent("listening on port %d; %d users loaded from %s in %d ms", config.porta, indice.registros,
             registryFileName, int32_t(carga));
    platformNotify("READY=1");
    runEventLoop(recarrega);

    // A stop signal: the pass it came in has finished; what was written
    // reaches the disk before the process ends.
    platformNotify("STOPPING=1");
    registro.cFecha();
    logEvent("ended by %s", platformSignalName(platformStopSignal()));
    return 0;
}
