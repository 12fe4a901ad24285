// The ageing timer re-arms itself first, so a pass that ends the process
// or takes long changes nothing of the rhythm.
#include "protocol/envelhecimento.h"

#include <cstdio>

#include "config/config.h"
#include "engine/clock.h"
#include "engine/loop.h"
#include "registry/registro.h"

namespace {
constexpr int kIntervalo = 5;
}  // namespace

TEnvelhecimento envelhecimento;

TEnvelhecimento::TEnvelhecimento() { cArma(1); }

void TEnvelhecimento::cDispara() {
    cArma(kIntervalo);
    registro.cEnvelhece(minuteClock);
}

TSincroniaPeriodica sincroniaPeriodica;

TSincroniaPeriodica::TSincroniaPeriodica() { cArma(1); }

void TSincroniaPeriodica::cDispara() {
    cArma(1);
    // A failed sync stays due; the next second tries again.
    if (config.sincronia == kSincroniaSegundo)
        registro.cSincronizaSegundo();
}

void registroDiscordante(const char* arquivo) {
    printf("%s: o índice e o arquivo do registro discordam\n", arquivo);
    exitServer(1);
}
