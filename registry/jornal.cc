// The journal of sincronia = sempre and segundo. A batch's changes lie
// scattered over the registry, and syncing the file for each batch would
// write every page they touched; instead each batch is appended to the
// journal (the registry's name with ".lote"), and the journal synced
// before the batch's replies leave (sempre) or once a second (segundo):
// one sequential write and one sync. The registry's own pages reach the
// disk at the next checkpoint (the ageing pass's close, a journal grown
// past 64 MiB, or any other write to the file), which syncs the file and
// then empties the journal. Synced once a second, the registry's pages
// would be written whole every second, each page then write-protected
// again and its next change a fault. A load first applies what a journal
// holds: after a power loss, the batches the registry may have lost.
//
// A batch in the journal: "QLT1", the payload's length, its FNV-1a digest
// and its number of pieces (32-bit little-endian each), the registry
// file's device and inode (64-bit), then each piece as its offset in the
// registry (64-bit), its length (16-bit) and its bytes. A batch torn by a
// power loss fails its length or digest, and the replay stops there; one
// written for another file (the registry replaced since) is skipped.
#include <cstring>

#include "config/config.h"
#include "engine/diario.h"
#include "engine/platform.h"
#include "registry/registro.h"
#include "text/format.h"

namespace {

constexpr int kCabecalho = 32;
constexpr uint8_t kMagia[4] = {'Q', 'L', 'T', '1'};
// A batch's fields and notes: each piece at most a record, two a change.
constexpr size_t kMaiorLote = kCabecalho + size_t(2 * TRegistro::kLote) * (10 + 32);
uint8_t loteEscrito[kMaiorLote];
// A journal past this many bytes is emptied at once: its replay stays
// short, and so does the checkpoint's sync.
constexpr int64_t kMaiorJornal = 64 << 20;

void poe(uint8_t* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++)
        p[i] = uint8_t(v >> (8 * i));
}

uint64_t le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; i++)
        v |= uint64_t(p[i]) << (8 * i);
    return v;
}

uint32_t fnv(const uint8_t* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; i++)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

void nomeDoJornal(char* nome, size_t tamanho) { formatText(nome, tamanho, "%s.lote", registryFileName); }

}  // namespace

bool TRegistro::cJornalAcrescenta(const PlatformWrite* pecas, const long* resultados, int32_t n, bool sincroniza) {
    if (fdJornal < 0) {
        char caminho[sizeof registryFileName + 8];
        nomeDoJornal(caminho, sizeof caminho);
        fdJornal = platformOpenFile(caminho, true);
        if (fdJornal < 0)
            return false;
        int64_t tamanho = platformFileSize(fdJornal);
        tamJornal = tamanho > 0 ? tamanho : 0;
    }
    PlatformFileId id{};
    if (!platformFileId(fd, &id))
        return false;
    size_t usado = kCabecalho;
    uint32_t pedacos = 0;
    for (int32_t i = 0; i < n; i++) {
        if (resultados[i] != long(pecas[i].n))
            continue;  // not written: nothing to replay
        poe(loteEscrito + usado, uint64_t(pecas[i].offset), 8);
        poe(loteEscrito + usado + 8, pecas[i].n, 2);
        memcpy(loteEscrito + usado + 10, pecas[i].buf, pecas[i].n);
        usado += 10 + pecas[i].n;
        pedacos++;
    }
    memcpy(loteEscrito, kMagia, 4);
    poe(loteEscrito + 4, usado - kCabecalho, 4);
    poe(loteEscrito + 8, fnv(loteEscrito + kCabecalho, usado - kCabecalho), 4);
    poe(loteEscrito + 12, pedacos, 4);
    poe(loteEscrito + 16, id.device, 8);
    poe(loteEscrito + 24, id.inode, 8);
    // Written where the last whole batch ends. A batch that fails is
    // taken back, so its bytes are cut off: whole but unsynced, a replay
    // would bring back changes answered as failed. Should the cut fail
    // too, the next batch is written over them.
    if (platformWriteAt(fdJornal, loteEscrito, usado, tamJornal) != long(usado) ||
        (sincroniza && !platformSync(fdJornal))) {
        platformTruncate(fdJornal, tamJornal);
        return false;
    }
    tamJornal += int64_t(usado);
    jornalPorSincronizar = !sincroniza;
    return true;
}

bool TRegistro::cJornalSincroniza() {
    if (!jornalPorSincronizar)
        return true;
    if (!platformSync(fdJornal))
        return false;  // still due
    jornalPorSincronizar = false;
    return true;
}

bool TRegistro::cJornalEsvazia() {
    if (tamJornal == 0)
        return true;
    // The registry's pages first: once they are on the disk, the journal
    // says nothing the file does not.
    if (fd == -1 || !platformSync(fd))
        return false;
    naoSincronizado = false;
    foraDoJornal = false;
    if (platformTruncate(fdJornal, 0) != 0 || !platformSync(fdJornal))
        return false;
    tamJornal = 0;
    jornalPorSincronizar = false;
    return true;
}

bool TRegistro::cJornalCheio() const { return tamJornal > kMaiorJornal; }

bool TRegistro::cJornalReaplica() {
    char caminho[sizeof registryFileName + 8];
    nomeDoJornal(caminho, sizeof caminho);
    int j = platformOpenFile(caminho, false);
    if (j < 0)
        return platformLastFailure() == PlatformFailure::kMissing;
    int64_t tamanho = platformFileSize(j);
    int64_t arquivo = platformFileSize(fd);
    PlatformFileId id{};
    if (tamanho < 0 || arquivo < 0 || !platformFileId(fd, &id)) {
        platformCloseFile(j);
        return false;
    }
    int64_t pos = 0, aplicados = 0;
    bool ok = true;
    uint8_t cabecalho[kCabecalho];
    // The pieces go into the batches' map of the file, a batch at a time:
    // a journal of 64 MiB holds a million or two, and one write each kept
    // a start after a crash waiting for seconds.
    static PlatformWrite pecas[2 * kLote];
    static long escritos[2 * kLote];
    int npecas = 0;
    auto aplica = [&]() {
        if (npecas == 0)
            return true;
        cCobreComMapa(arquivo);
        cEscreve(pecas, npecas, escritos);
        bool todos = true;
        for (int i = 0; i < npecas; i++)
            todos = todos && escritos[i] == long(pecas[i].n);
        npecas = 0;
        return todos;
    };
    while (ok && pos + kCabecalho <= tamanho && platformReadAt(j, cabecalho, kCabecalho, pos) == kCabecalho &&
           memcmp(cabecalho, kMagia, 4) == 0) {
        size_t carga = size_t(le(cabecalho + 4, 4));
        if (carga > kMaiorLote - kCabecalho || pos + kCabecalho + int64_t(carga) > tamanho ||
            platformReadAt(j, loteEscrito, carga, pos + kCabecalho) != long(carga) ||
            fnv(loteEscrito, carga) != uint32_t(le(cabecalho + 8, 4)))
            break;  // torn by the power loss: what follows was never answered
        pos += kCabecalho + int64_t(carga);
        if (le(cabecalho + 16, 8) != id.device || le(cabecalho + 24, 8) != id.inode)
            continue;  // written for a file that is no longer the registry
        for (size_t p = 0; ok && p + 10 <= carga;) {
            int64_t onde = int64_t(le(loteEscrito + p, 8));
            size_t n = size_t(le(loteEscrito + p + 8, 2));
            if (p + 10 + n > carga)
                break;
            // Only within the records the file holds now.
            if (onde >= 0 && onde + int64_t(n) <= arquivo && n > 0) {
                pecas[npecas++] = {loteEscrito + p + 10, n, onde};
                if (npecas == 2 * kLote)
                    ok = aplica();
            }
            p += 10 + n;
        }
        ok = ok && aplica();  // before the next batch is read over this one
        aplicados++;
    }
    // Let go before the sync, which would otherwise write-protect every
    // page the replay touched again (some 70 ms for 48 MB of journal).
    cSoltaMapa();
    ok = ok && (aplicados == 0 || platformSync(fd)) && (tamanho == 0 || platformTruncate(j, 0) == 0) && platformSync(j);
    platformCloseFile(j);
    if (ok && aplicados > 0)
        logEventAt(Gravidade::kNota, "registry file %s: %d batches of changes applied from its journal", registryFileName,
                   int32_t(aplicados));
    return ok;
}
