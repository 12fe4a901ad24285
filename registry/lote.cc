// The batch of presence changes: LOGON and LOGOFF change only a record's
// address, date, digest-and-state run (bytes 112..140) and note, which the
// node and the index's digest hold, so a change needs no read; the
// changes of a pass reach the file together, before any of their replies
// leaves. They are written into a map of the file, which costs no system
// call (the page cache is the same, so a killed process loses nothing it
// wrote); where there is no map, in one platformWriteMany.
#include <cstring>

#include "config/config.h"
#include "engine/platform.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/fold.h"

using namespace registro_campo;

namespace {

// Address, date, digest and state lie together from byte 112 on.
constexpr int kCampos = kEstado + 1 - kIp;

void poeCampos(uint8_t* campos, uint32_t ip, uint32_t data, const uint8_t* senha, uint8_t estado) {
    memcpy(campos, &ip, 4);  // network order, as it lies in memory
    for (int i = 0; i < 4; i++)
        campos[4 + i] = uint8_t(data >> (8 * i));
    memcpy(campos + 8, senha, kSenhaLen);
    campos[kEstado - kIp] = estado;
}

int32_t hashDoSlot(int32_t slot, int32_t tamanho) { return int32_t((uint32_t(slot) * 2654435761u) >> 20) % tamanho; }

// The pieces of one batch and their results.
uint8_t camposDoLote[TRegistro::kLote][kCampos];
PlatformWrite pecas[2 * TRegistro::kLote];  // the fields', then the notes'
long resultados[2 * TRegistro::kLote];  // the fields', then the notes'
int32_t notaDe[TRegistro::kLote];       // the change of each note written
long resultadoNota[TRegistro::kLote];
bool gravou[TRegistro::kLote];

}  // namespace

bool TRegistro::cNoLote(const TUsuario* no) const {
    int32_t slot = int32_t(no->cPosicao());
    for (int32_t h = hashDoSlot(slot, kMapaLote); mapaLote[h] != 0; h = (h + 1) % kMapaLote)
        if (lote[mapaLote[h] - 1].slot == slot)
            return true;
    return false;
}

int32_t TRegistro::cMudancaDe(TUsuario* no) {
    if (discordam)
        return -1;
    int32_t slot = int32_t(no->cPosicao());
    int32_t h = hashDoSlot(slot, kMapaLote);
    for (; mapaLote[h] != 0; h = (h + 1) % kMapaLote)
        if (lote[mapaLote[h] - 1].slot == slot)
            return mapaLote[h] - 1;
    if (nLote == kLote) {
        cGravaLote();
        h = hashDoSlot(slot, kMapaLote);
    }
    Mudanca& m = lote[nLote];
    m.no = no;
    m.slot = slot;
    m.ipAntes = no->ip;
    m.dataAntes = no->data;
    m.estadoAntes = no->estado;
    m.tamNota = 0;
    mapaLote[h] = int16_t(nLote + 1);
    return nLote++;
}

int32_t TRegistro::cEntra(TUsuario* no, uint32_t ip, uint32_t data, const char* nota) {
    int32_t i = cMudancaDe(no);
    if (i < 0)
        return -1;
    Mudanca& m = lote[i];
    // The note and its terminator: the field's bytes after it stay.
    copyBounded(m.nota, nota, kLogonLen);
    m.tamNota = uint8_t(strlen(m.nota) + 1);
    no->estado = kConectado;
    no->ip = ip;
    no->data = data;
    return i;
}

int32_t TRegistro::cSai(TUsuario* no, uint32_t ip, uint32_t data) {
    int32_t i = cMudancaDe(no);
    if (i < 0)
        return -1;
    no->estado = kDesconectado;
    no->ip = ip;
    no->data = data;
    return i;
}

void TRegistro::cEscreve(const PlatformWrite* pecas, int32_t n, long* resultados) {
    // Every piece lies within the records, which the file holds whole.
    if (mapa != nullptr)
        platformWriteManyMapped(fd, mapa, pecas, n, resultados);
    else
        platformWriteMany(fd, pecas, n, resultados);
}

void TRegistro::cSoltaMapa() {
    platformUnmapFile(mapa, size_t(tamMapa));
    mapa = nullptr;
    tamMapa = 0;
}

void TRegistro::cCobreComMapa(int64_t tamanho) {
    if (tamanho == tamMapa)
        return;
    platformUnmapFile(mapa, size_t(tamMapa));
    mapa = tamanho > 0 ? platformMapFile(fd, size_t(tamanho)) : nullptr;
    tamMapa = mapa != nullptr ? tamanho : 0;
}

void TRegistro::cGravaLote() {
    int32_t n = nLote;
    if (n == 0)
        return;
    nLote = 0;  // what runs from here (a sync, the report) finds it written
    memset(mapaLote, 0, sizeof mapaLote);
    arquivoCurto = false;
    // A file cut in place behind our back is written into no more: a slot
    // past its end would leave zero records before it.
    bool aberto = !discordam && cAbre();
    // Batches that are not journaled must not meet older ones that are:
    // a replay would write those over them.
    bool jornal = config.sincronia != kSincroniaNunca;
    if (aberto && tamJornal > 0 && !jornal)
        aberto = cJornalEsvazia();
    int64_t tamanho = aberto ? platformFileSize(fd) : -1;
    aberto = aberto && !cCurto(tamanho);
    if (aberto)
        cCobreComMapa(tamanho);
    // The fields of every change first, then the notes of those whose
    // fields were written: a note never lands beside a failed change.
    for (int32_t i = 0; aberto && i < n; i++) {
        const Mudanca& m = lote[i];
        poeCampos(camposDoLote[i], m.no->ip, m.no->data, cSenhaDoNo(m.no), m.no->estado);
        pecas[i] = PlatformWrite{camposDoLote[i], size_t(kCampos), int64_t(m.slot) * kRecord + kIp};
    }
    if (aberto) {
        gravouDesdePassagem = true;
        naoSincronizado = true;
        foraDoJornal = foraDoJornal || !jornal;
        cEscreve(pecas, n, resultados);
    }
    int32_t k = 0;
    for (int32_t i = 0; aberto && i < n; i++) {
        const Mudanca& m = lote[i];
        if (m.tamNota > 0 && resultados[i] == kCampos) {
            notaDe[k] = i;
            pecas[n + k++] = PlatformWrite{m.nota, m.tamNota, int64_t(m.slot) * kRecord + kLogon};
        }
    }
    if (k > 0)
        cEscreve(pecas + n, k, resultados + n);
    for (int32_t i = 0; i < n; i++)
        resultadoNota[i] = lote[i].tamNota;
    for (int32_t j = 0; j < k; j++)
        resultadoNota[notaDe[j]] = resultados[n + j];
    int32_t falhas = 0;
    // Under sempre and segundo the journal takes what was written; sempre
    // syncs it before the replies.
    bool sincronizou =
        aberto && (!jornal || cJornalAcrescenta(pecas, resultados, n + k, config.sincronia == kSincroniaSempre));
    for (int32_t i = 0; i < n; i++) {
        const Mudanca& m = lote[i];
        long rCampos = aberto ? resultados[i] : -1;
        long rNota = resultadoNota[i];
        gravou[i] = sincronizou && rCampos == kCampos && rNota == long(m.tamNota);
        if (gravou[i])
            continue;
        falhas++;
        // Its address, date and state go back, in the record and the node:
        // nobody is told of a change the file may not keep.
        if (rCampos != -1) {
            foraDoJornal = true;
            uint8_t antes[kCampos];
            poeCampos(antes, m.ipAntes, m.dataAntes, cSenhaDoNo(m.no), m.estadoAntes);
            if (platformWriteAt(fd, antes, kCampos, int64_t(m.slot) * kRecord + kIp) != kCampos)
                cDiscordam();
        }
        m.no->ip = m.ipAntes;
        m.no->data = m.dataAntes;
        m.no->estado = m.estadoAntes;
    }
    if (falhas > 0)
        errosContados += uint64_t(falhas - 1);  // cNota counts one
    cNota(falhas == 0, arquivoCurto ? kMotivoCurto : platformErrorText());
    if (sincronizou && cJornalCheio())
        cJornalEsvazia();  // the batch is safe in the journal either way
    if (aoGravarLote != nullptr)
        aoGravarLote(gravou, n);
}
