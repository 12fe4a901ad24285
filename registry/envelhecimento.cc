// The ageing pass: TRegistro's timer, every 5 seconds. It removes users
// idle for diasreg days, at most 10 examined per pass after the first,
// and always ends with the registry file closed.
#include <cstdio>

#include "engine/clock.h"
#include "engine/platform.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "server/config.h"

namespace {
constexpr int kPorPassagem = 10;
constexpr int kIntervalo = 5;
constexpr uint64_t kMinutosPorDia = 1440;
}  // namespace

void TRegistro::cDispara() {
    cArma(kIntervalo);
    if (cursor == nullptr)
        cursor = cPrimeiro();
    if (diasreg > 0) {
        // 64 bits: a huge diasreg means nobody expires, never a wrapped
        // threshold.
        uint64_t prazo = uint64_t(diasreg) * kMinutosPorDia;
        for (int vistos = 0; cursor != nullptr && (primeiraPassagem || vistos < kPorPassagem); vistos++) {
            TUsuario* no = cursor;
            if (uint64_t(no->data) + prazo >= uint64_t(minuteClock) || !cExpira(no))
                cursor = cProximo(no);
        }
    }
    if (truncaPendente)
        cConfereTamanho();
    cFecha();
    primeiraPassagem = false;
}

bool TRegistro::cExpira(TUsuario* no) {
    int32_t d = int32_t(no->cPosicao());
    int32_t ultimoSlot = registros - 1;
    if (d < ultimoSlot) {
        // Nobody to tell about a failed read or write: the user stays as
        // is and the next sweep tries again.
        if (!cLe(ultimoSlot))
            return false;
        TUsuario* movido = cBusca(email());
        if (movido == nullptr || movido == no || int32_t(movido->cPosicao()) != ultimoSlot) {
            printf("%s: o índice e o arquivo do registro discordam\n", registryFileName);
            exitServer(1);
        }
        if (!cGrava(d))
            return false;
        movido->cDefinePosicao(uint32_t(d));
    }
    cRetira(no);  // moves cursor on
    delete no;
    cTrunca(registros);
    return true;
}

// Retries a failed truncation until the file is exactly registros records.
void TRegistro::cConfereTamanho() {
    if (cTrunca(registros) == 0 && platformFileSize(fd) != int64_t(registros) * registro_campo::kRecord)
        truncaPendente = true;
}

void TRegistro::cFecha() {
    if (fd != -1) {
        // Bounds what a power loss can take to the last pass's changes.
        // Nobody could act on a failed sync; the next write will report
        // the disk's trouble to its command.
        if (gravouDesdePassagem)
            platformSync(fd);
        platformCloseFile(fd);
        fd = -1;
    }
    gravouDesdePassagem = false;
}
