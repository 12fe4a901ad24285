// The ageing pass, every 5 seconds. It removes users idle for diasreg days,
// at most 10 examined per pass after the first, and always ends with the
// registry file closed.
#include "config/config.h"
#include "engine/diario.h"
#include "engine/platform.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "util/calendario.h"

namespace {
constexpr int kPorPassagem = 10;
}  // namespace

void TRegistro::cEnvelhece(uint32_t agora) {
    cGravaLote();  // the nodes the pass removes must not be waiting in it
    if (indice.cursor == nullptr)
        indice.cursor = cPrimeiro();
    int removidos = 0;
    if (config.diasreg > 0) {
        // 64 bits: a huge diasreg means nobody expires, never a wrapped
        // threshold.
        uint64_t prazo = uint64_t(config.diasreg) * kMinutosPorDia;
        for (int vistos = 0; indice.cursor != nullptr && (primeiraPassagem || vistos < kPorPassagem); vistos++) {
            TUsuario* no = indice.cursor;
            // Nobody to tell about a failed read or write: the user stays
            // as is and the next sweep tries again.
            if (uint64_t(no->data) + prazo >= uint64_t(agora))
                indice.cursor = cProximo(no);
            else if (cRemove(no))
                removidos++;
            else
                indice.cursor = cProximo(no);
        }
    }
    envelhecidos += uint64_t(removidos);
    if (removidos > 0)
        logEventAt(Gravidade::kNota, "ageing removed %d users without activity for %d days; %d remain", removidos, config.diasreg,
                 indice.registros);
    if (truncaPendente)
        cConfereTamanho();
    // Under sincronia = nunca the system writes the file when it will; a
    // clean end still syncs.
    if (config.sincronia == kSincroniaNunca)
        gravouDesdePassagem = false;
    cFecha();
    primeiraPassagem = false;
}

// Retries a failed truncation until the file is exactly registros records.
void TRegistro::cConfereTamanho() {
    if (cTrunca(indice.registros) == 0 && platformFileSize(fd) != int64_t(indice.registros) * registro_campo::kRecord)
        truncaPendente = true;
}

void TRegistro::cFecha() {
    cGravaLote();
    if (fd != -1) {
        // Bounds what a power loss can take to the last pass's changes.
        // Nobody could act on a failed sync; the next write will report
        // the disk's trouble to its command.
        if (tamJornal > 0)
            cJornalEsvazia();  // syncs the file on the way
        else if (gravouDesdePassagem)
            platformSync(fd);
        cSoltaMapa();
        platformCloseFile(fd);
        fd = -1;
    }
    gravouDesdePassagem = false;
    naoSincronizado = false;
    foraDoJornal = false;
}
