// The registry file and its primitives. Slot n lies at n * 840 (64-bit
// offsets); the file is opened on demand by any primitive and closed only
// by the ageing pass.
#include "registry/registro.h"

#include <algorithm>
#include <cstring>

#include "config/config.h"
#include "engine/diario.h"
#include "engine/platform.h"
#include "registry/indice.h"
#include "registry/percurso.h"
#include "text/fold.h"
#include "text/format.h"

using namespace registro_campo;

TRegistro registro;

namespace {

int64_t deslocamento(int32_t slot) { return int64_t(slot) * kRecord; }


// A node from a whole record; posicao, links and colour come with the
// index. The texts stop at 79 and 31 characters, as if bytes 79 and 111
// had been zeroed by a read.
void noDoRegistro(const uint8_t* rec, TUsuario* no) {
    const char* email = reinterpret_cast<const char*>(rec + kEmail);
    cDefineChaveDaCarga(no, email, int32_t(strnlen(email, kEmailLen - 1)));
    no->data = cLeData(rec);
    no->estado = rec[kEstado];
    no->ip = cLeIp(rec);
    cLeTexto(rec, kNome, kNomeLen, no->nome);
}

}  // namespace

uint32_t TRegistro::ip() const { return cLeIp(buffer); }

void TRegistro::defineIp(uint32_t v) {
    slotLido = -1;
    cPoeIp(buffer, v);
}

uint32_t TRegistro::data() const { return cLeData(buffer); }

void TRegistro::defineData(uint32_t minutos) {
    slotLido = -1;
    cPoeData(buffer, minutos);
}

bool TRegistro::cTrava() {
    int trava = platformOpenFile(registryFileName, true);
    if (trava < 0)
        return true;
    if (!platformLockFile(trava)) {
        platformCloseFile(trava);
        return false;
    }
    // trava stays open, unused, to the end: the lock lives as long as it.
    travado = platformFileId(trava, &identidade);
    return true;
}

bool TRegistro::cDoTravado(int novo) {
    PlatformFileId id;
    if (!travado || (platformFileId(novo, &id) && id == identidade))
        return true;
    // Another program's file under our name: writing our slots into it
    // would destroy its records, and reading it would lend its users'
    // passwords to ours. Told once, like any failure of the file.
    if (!arquivoFalhou) {
        arquivoFalhou = true;
        logEventAt(Gravidade::kErro, "registry file %s was replaced or removed while the server runs; the file now under that name "
                 "is left alone",
                 registryFileName);
    }
    platformCloseFile(novo);
    return false;
}

bool TRegistro::cAbre() {
    if (fd == -1) {
        int novo = platformOpenFile(registryFileName, false);
        if (novo < 0 || !cDoTravado(novo))
            return false;
        fd = novo;
    }
    return true;
}

void TRegistro::cNota(bool ok, const char* motivo) {
    if (!ok)
        errosContados++;
    // Once per change of state, not once per command: a file that has gone
    // would otherwise fill the log at the rate of the queries.
    if (ok == !arquivoFalhou)
        return;
    arquivoFalhou = !ok;
    if (ok)
        logEventAt(Gravidade::kNota, "registry file %s works again", registryFileName);
    else
        logEventAt(Gravidade::kErro, "registry file %s fails: %s", registryFileName, motivo);
}

bool TRegistro::cLePrimeiros(int32_t slot, long bytes) {
    cGravaLote();
    bool aberto = slot >= 0 && cAbre();
    long lidos = aberto ? platformReadAt(fd, buffer, size_t(bytes), deslocamento(slot)) : -1;
    slotLido = lidos == kRecord ? slot : -1;
    if (slot >= 0)
        cNota(lidos == bytes, lidos < 0 ? platformErrorText()
                              : lidos != bytes && cCurto(platformFileSize(fd)) ? kMotivoCurto
                                                                                : "a record cut short");
    // Whatever the file held, email, nome and info end inside their fields.
    buffer[kEmail + kEmailLen - 1] = 0;
    buffer[kNome + kNomeLen - 1] = 0;
    buffer[kInfo + kInfoLen - 1] = 0;
    return lidos == bytes;
}

bool TRegistro::cLe(int32_t slot) { return cLePrimeiros(slot, kRecord); }

bool TRegistro::cLe(const TUsuario* no) {
    return cLe(int32_t(no->cPosicao())) && compareFolded(email(), no->email()) == 0;
}

bool TRegistro::cGrava(int32_t slot) {
    slotLido = -1;  // buffer holds the change now, not the file's record
    if (slot < 0) {
        lidoGuardado = -1;
        return false;
    }
    arquivoCurto = false;
    bool ok = cGravaNoArquivo(slot);
    lidoGuardado = -1;  // good for one write only
    cNota(ok, arquivoCurto ? kMotivoCurto : platformErrorText());
    return ok;
}

bool TRegistro::cCurto(int64_t tamanho) {
    // Cut in place behind our back (same file, fewer bytes): the records
    // past its end are the index's still, and a slot written there would
    // leave zero-filled records before it, loaded later as users without
    // an address. Nothing is written until the file is whole again.
    arquivoCurto = tamanho >= 0 && tamanho < deslocamento(indice.registros);
    return arquivoCurto;
}

bool TRegistro::cGravaNoArquivo(int32_t slot) {
    cGravaLote();
    // A journal's batches must be in the file's own bytes before anything
    // else changes them: a replay would write them over what comes now.
    if (discordam || !cAbre() || !cJornalEsvazia())
        return false;
    int64_t inicio = deslocamento(slot);
    // The slot's present bytes are the way back from a write cut short (a
    // full disk), which would leave a record part new and part old: in a
    // compaction, a slot with another user's digest.
    // A change of the record just read has them already (cGuardaLido);
    // anything else reads them first.
    uint8_t anterior[kRecord];
    int64_t tamanhoAnterior = -1;  // set for an append: the length to cut back to
    if (lidoGuardado == slot) {
        memcpy(anterior, lido, kRecord);
    } else if (platformReadAt(fd, anterior, kRecord, inicio) != kRecord) {
        tamanhoAnterior = platformFileSize(fd);
        // A whole record lies there and could not be read: without a way
        // back it is not written either.
        if (tamanhoAnterior < 0 || tamanhoAnterior >= inicio + kRecord || cCurto(tamanhoAnterior))
            return false;
    }
    gravouDesdePassagem = true;  // even a failed write may have moved bytes
    naoSincronizado = true;
    foraDoJornal = true;
    long escritos = platformWriteAt(fd, buffer, kRecord, inicio);
    // Under sincronia = sempre the record is on the disk before the reply
    // says so; a sync that fails takes the change back like a write cut
    // short, since nobody may be told of a change the disk may not keep.
    if (escritos == kRecord && (config.sincronia != kSincroniaSempre || cSincroniza()))
        return true;
    if (escritos > 0)  // -1 moved not one byte: the slot is as it was
        cDesfaz(inicio, anterior, tamanhoAnterior);
    return false;
}

bool TRegistro::cSincroniza() {
    cGravaLote();
    if (tamJornal > 0)
        return cJornalEsvazia();  // syncs the file on the way
    if (fd == -1 || !naoSincronizado)
        return true;
    naoSincronizado = false;
    if (platformSync(fd)) {
        foraDoJornal = false;
        return true;
    }
    naoSincronizado = true;
    return false;
}

bool TRegistro::cSincronizaSegundo() {
    cGravaLote();
    // The batches since the last checkpoint are all in the journal: its
    // sync keeps them, one sequential write instead of every page they
    // touched (which the checkpoint writes a few times a minute).
    if (tamJornal > 0 && !foraDoJornal)
        return cJornalSincroniza();
    return cSincroniza();
}

void TRegistro::cGuardaLido(const TUsuario* no) {
    int32_t slot = int32_t(no->cPosicao());
    lidoGuardado = slotLido == slot ? slot : -1;
    if (lidoGuardado >= 0)
        memcpy(lido, buffer, kRecord);
}

void TRegistro::cDesfaz(int64_t inicio, const uint8_t* anterior, int64_t tamanhoAnterior) {
    if (tamanhoAnterior < 0) {
        // A slot left part new and part old would answer for two users.
        if (platformWriteAt(fd, anterior, kRecord, inicio) != kRecord)
            cDiscordam();
    } else if (platformTruncate(fd, tamanhoAnterior) != 0) {
        // A piece shorter than a record past the last one is no record;
        // the ageing pass cuts it off.
        truncaPendente = true;
    }
}

bool TRegistro::cGrava(const TUsuario* no) { return cGrava(int32_t(no->cPosicao())); }

int TRegistro::cTrunca(int32_t n) {
    cGravaLote();
    int r = -1;
    arquivoCurto = false;
    // A truncation only ever shortens: one that lengthened a file cut in
    // place would fill it with zero records.
    if (n >= 0 && cAbre() && cJornalEsvazia() && !cCurto(platformFileSize(fd))) {
        gravouDesdePassagem = true;
        r = platformTruncate(fd, deslocamento(n));
    }
    if (n >= 0)
        cNota(r == 0, arquivoCurto ? kMotivoCurto : platformErrorText());
    // A stale record left past the end would load as one more user.
    if (r != 0)
        truncaPendente = true;
    else if (n == indice.registros)
        truncaPendente = false;
    return r;
}

bool TRegistro::cCarrega() {
    if (fd == -1) {
        // The retry creates a missing file; it never truncates, so a file
        // that failed to open once for a passing reason is not wiped.
        int novo = platformOpenFile(registryFileName, false);
        if (novo < 0)
            novo = platformOpenFile(registryFileName, true);
        if (novo < 0) {
            formatText(motivoCarga, sizeof motivoCarga, "cannot open it: %s", platformErrorText());
            return false;
        }
        if (!cDoTravado(novo)) {
            copyString(motivoCarga, "another file took its name");
            return false;
        }
        fd = novo;
    }

    // What a power loss may have taken from the file, its journal holds.
    if (!cJornalReaplica()) {
        formatText(motivoCarga, sizeof motivoCarga, "cannot apply its journal %s.lote: %s", registryFileName,
                   platformErrorText());
        return false;
    }
    // Only the whole records present now are loaded; a trailing piece
    // shorter than a record is not a record.
    int64_t tamanho = platformFileSize(fd);
    if (tamanho < 0) {
        formatText(motivoCarga, sizeof motivoCarga, "cannot read its size: %s", platformErrorText());
        return false;  // loading nothing would let new records overwrite old ones
    }
    int64_t inteiros = tamanho / kRecord;
    if (inteiros > kMaxRegistros) {
        formatText(motivoCarga, sizeof motivoCarga, "it holds more than %d records", int32_t(kMaxRegistros));
        return false;  // slots beyond 24 bits would alias in the index
    }

    int32_t capacidade = int32_t(inteiros > 0 ? inteiros : 1);
    TUsuario** nos = new TUsuario*[size_t(capacidade)];
    platformAdviseLargePages(nos, size_t(capacidade) * sizeof(TUsuario*));
    // One block for all the nodes: a million allocations cost more than
    // the reading, and the index lays them out in key order from here.
    TUsuario* bloco = cNovoBloco(capacidade);
    auto* senhas = new uint8_t[size_t(capacidade)][kSenhaLen];
    platformAdviseLargePages(senhas, size_t(capacidade) * kSenhaLen);
    int64_t n = 0;
    int64_t copiaDe, slotFalho;
    TChavesDeCarga* chaves = cNovasChaves(capacidade);
    bool completo = cPercorreRegistros(fd, inteiros, copiaDe, slotFalho,
                                       [nos, bloco, chaves, senhas, &n](int64_t, const uint8_t* rec) {
                                           memcpy(senhas[n], rec + kSenha, kSenhaLen);
                                           nos[n] = &bloco[n];
                                           noDoRegistro(rec, nos[n]);
                                           cPreparaChave(chaves, nos[n], int32_t(n));
                                           n++;
                                           return true;
                                       });
    if (completo) {
        cMontaIndice(nos, capacidade, int32_t(n), bloco, chaves);  // the index keeps nos, the nodes and the keys
        cAdotaSenhas(senhas, capacidade);
    } else {
        delete[] senhas;
        cDescartaChavesDaCarga();
        formatText(motivoCarga, sizeof motivoCarga, "reading it failed at record %d: %s", int32_t(slotFalho),
                   platformErrorText());
        // Starting with part of the file would let new records overwrite
        // the users that were not read.
        cLiberaChaves(chaves);
        cLiberaBloco(bloco, capacidade);
        delete[] nos;
    }
    // The repeated last record is cut off: the removal's second step.
    if (completo && copiaDe >= 0)
        cTrunca(indice.registros);
    return completo;
}

void TRegistro::cDiscordam() {
    if (discordam)
        return;
    discordam = true;
    if (aoDiscordar != nullptr)
        aoDiscordar(registryFileName);
}

bool TRegistro::cRemove(TUsuario* no) {
    cGravaLote();  // its nodes may move or go
    if (tamJornal > 0 && !cJornalEsvazia())
        return false;  // the journal's slots must not move under it
    int32_t d = int32_t(no->cPosicao());
    if (d >= indice.registros)
        return false;
    int32_t ultimoSlot = indice.registros - 1;
    // The moved record's node is found by its slot, not by its key: a
    // foreign file may hold keys no lookup meets (leading blanks, two
    // addresses equal under folding). An index whose slot table does not
    // match the nodes no longer describes the file, and serving on would
    // write users' changes over each other.
    TUsuario* movido = cNoDoSlot(ultimoSlot);
    if (cNoDoSlot(d) != no || movido == nullptr || (movido == no) != (d == ultimoSlot))
        cDiscordam();
    if (discordam)
        return false;
    if (d != ultimoSlot) {
        // A last record that is not its node's own (the file replaced
        // behind our back) is a failed read like any other: nothing
        // changes, and the ageing pass tries again later.
        if (!cLe(movido) || !cGrava(d))
            return false;
        cMudaDeSlot(movido, d);
    }
    cRetira(no);  // moves the ageing cursor on
    cLiberaUsuario(no);
    cTrunca(indice.registros);  // a failure is remembered and retried by the ageing pass
    return true;
}

TUsuario* TRegistro::cRegistra(TUsuario* no, const char* email, const char* nome, const char* info,
                               const uint8_t* senha, uint32_t ip, uint32_t data) {
    TFicha f;
    copyBounded(f.email, email, kEmailLen);
    copyBounded(f.nome, nome, kNomeLen);
    copyBounded(f.info, info, kInfoLen);
    memcpy(f.senha, senha, kSenhaLen);
    f.ip = ip;
    f.data = data;
    f.estado = kRegistrado;
    slotLido = -1;
    f.cCodifica(buffer);
    // A slot number has 24 bits; past that a new entry has nowhere to go.
    bool gravou = no != nullptr ? cGrava(no) : indice.registros < kMaxRegistros && cGrava(indice.registros);
    if (!gravou)
        return nullptr;
    if (no == nullptr) {
        no = cNovoUsuario();
        cInsere(no, f.email, data);
    }
    no->data = data;
    no->estado = kRegistrado;
    no->ip = ip;
    copyBounded(no->nome, f.nome, kNomeLen);
    cDefineSenha(no, f.senha);
    return no;
}

bool TRegistro::cMudaData(TUsuario* no, uint32_t data) {
    cGuardaLido(no);
    cPoeData(buffer, data);
    if (!cGrava(no))
        return false;
    no->data = data;
    return true;
}

bool TRegistro::cMudaIp(TUsuario* no, uint32_t ip) {
    cGuardaLido(no);
    cPoeIp(buffer, ip);
    if (!cGrava(no))
        return false;
    no->ip = ip;
    return true;
}
