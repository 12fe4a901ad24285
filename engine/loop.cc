// The event loop: each pass runs its steps in order and ends in one wait on
// every watched socket. Readiness found by the wait is recorded on the
// owning objects and consumed by the next pass.
#include "engine/loop.h"

#include <cstdlib>
#include <cstring>

#include "engine/alarme.h"
#include "engine/clock.h"
#include "engine/comunica.h"
#include "engine/core.h"
#include "engine/diario.h"
#include "engine/platform.h"

namespace {

struct Dono {
    TComunica* conexao;
    TEscuta* escuta;
};

// Owner of each watched descriptor, indexed by descriptor; grown on demand.
Dono* donos;
int totalDonos;

bool iniciado;

// platformWait reports at most this many per call; level-triggered, the
// rest come in the next wait.
PlatformEvent eventos[256];

// Wake-ups are aimed 100 ms past a second boundary, so that the pass sees
// the new second and fires its timers.
constexpr int64_t kAfterSecondMs = 100;

int computeWait(int maxWaitMs) {
    bool podeEsperar = EngineCore::prepareConnections();
    int pausa = EngineCore::prepareListeners();
    if (!podeEsperar)
        return 0;
    int i = wheelSecondsToNextSlot();
    if (pausa > 0 && pausa < i)
        i = pausa;
    int64_t espera = (clockSeconds + i) * 1000 + kAfterSecondMs - platformMilliseconds();
    if (espera < 0)
        espera = 0;
    if (maxWaitMs >= 0 && espera > maxWaitMs)
        espera = maxWaitMs;
    return int(espera);
}

void waitStep(int timeoutMs) {
    int n = platformWait(eventos, int(sizeof eventos / sizeof eventos[0]), timeoutMs);
    for (int i = 0; i < n; i++) {
        int fd = eventos[i].fd;
        if (fd < 0 || fd >= totalDonos)
            continue;
        if (donos[fd].conexao != nullptr)
            EngineCore::connectionEvent(donos[fd].conexao, eventos[i].events);
        else if (donos[fd].escuta != nullptr)
            EngineCore::listenerEvent(donos[fd].escuta);
    }
}

}  // namespace

void EngineCore::registerSocket(int fd, TComunica* c, TEscuta* e) {
    if (fd < 0)
        return;
    if (fd >= totalDonos) {
        int novo = totalDonos < 1024 ? 1024 : totalDonos;
        while (novo <= fd)
            novo *= 2;
        donos = static_cast<Dono*>(realloc(donos, sizeof(Dono) * size_t(novo)));
        if (donos == nullptr)
            abort();
        memset(donos + totalDonos, 0, sizeof(Dono) * size_t(novo - totalDonos));
        totalDonos = novo;
    }
    donos[fd] = Dono{c, e};
}

void EngineCore::forgetSocket(int fd) {
    if (fd >= 0 && fd < totalDonos)
        donos[fd] = Dono{nullptr, nullptr};
}

void runPass(int maxWaitMs) {
    if (!iniciado) {
        clockStart();
        iniciado = true;
    }
    clockRefresh();                  // 1. clocks and due timers
    EngineCore::acceptListeners();   // 2. accept
    EngineCore::receiveLevels(kLevels);  // 3. receive, levels 0..5
    EngineCore::flushLevels();       // 4. flush, levels 0..5
    if (antesDeEnviar != nullptr)    //    work whose replies found nothing to send
        antesDeEnviar();
    waitStep(computeWait(maxWaitMs));    // 5. one wait on every socket
}

void exitServer(int status) {
    platformNotify("STOPPING=1");
    platformExit(status);
}

void runEventLoop(void (*aoSinalHup)()) {
    int64_t ultimoSegundo = -1;
    while (platformStopSignal() == 0) {
        runPass(-1);
        if (clockSeconds != ultimoSegundo) {
            // Under load every wait returns at once, without the signals.
            ultimoSegundo = clockSeconds;
            platformCollectSignals();
        }
        if (!platformTakeHangup())
            continue;
        if (aoSinalHup != nullptr)
            aoSinalHup();
        else
            logEventAt(Gravidade::kAviso, "SIGHUP ignored: this program reads its configuration only at start-up");
    }
}
