// The server's main routine: load the registry, read the configuration,
// open the listener, run the loop. It never regains control after that.
#include <cstdio>

#include "config/config.h"
#include "engine/diario.h"
#include "engine/loop.h"
#include "engine/platform.h"
#include "protocol/servidor.h"
#include "registry/registro.h"
#include "text/fold.h"

int main(int argc, char** argv) {
    const char* programa = argc > 0 && argv[0] != nullptr ? argv[0] : "quelta";
    // The sockets layer needs no start-up on Linux; this is where the
    // process stops SIGPIPE and SIGXFSZ and raises its descriptor limit.
    platformStart();
    logSetProgram(programa);
    config.ender[0] = 0;
    buildFoldTable();  // key matching of the configuration depends on it
    deriveFileNames(programa);

    // The registry is loaded before the configuration is read, so it sees
    // the default values.
    if (!registro.cCarrega()) {
        printf("%s: Problema ao acessar o registro de usuários\n", programa);
        fflush(stdout);
        return -1;
    }

    int fd = platformOpenReadOnly(configFileName);
    if (fd < 0) {
        printf("Abrindo arquivo %s: %s\n", configFileName, platformErrorText());
        exitServer(1);
    }
    readConfiguration(fd);
    platformCloseFile(fd);
    reportConfiguration();

    static TServidor servidor;  // lives as long as the process
    if (const char* erro = servidor.cAbre(config.ender, uint16_t(config.porta))) {
        puts(erro);
        fflush(stdout);
        return 1;
    }
    runEventLoop();
}
