// The registry file and its one record buffer. The file is a headerless
// run of 840-byte records, slot n at n * 840, dense; it is opened on demand
// and closed by every ageing pass. The registry object lives for the whole
// process; whoever holds the clock runs its ageing pass.
#pragma once

#include <cstdint>

#include "engine/platform.h"
#include "registry/ficha.h"
#include "registry/indice.h"

class TRegistro {
public:
    // One server per registry file: opens (or creates) the file through a
    // descriptor of its own, held for the whole process, and takes its
    // exclusive lock. That file is then the registry: whenever the file is
    // opened again by name and turns out to be another one (replaced,
    // removed and recreated), nothing is read from it or written to it. False
    // only when another process holds the lock; a file that cannot be
    // opened is left to cCarrega to report.
    bool cTrava();
    // Opens (or creates, owner read/write) the registry file and builds the
    // still empty index from its whole records; the file stays open. A last
    // record identical to an earlier one (a removal cut short) is dropped
    // and cut off. False, with the index left empty, when the file can be
    // neither opened nor created, cannot be read to its end, or holds more
    // than kMaxRegistros records.
    bool cCarrega();
    // Why the last cCarrega failed, for the log.
    char motivoCarga[160] = "";
    // Reads slot into buffer; true only for a whole record. Bytes 79, 111
    // and 827 are zeroed after every attempt.
    bool cLe(int32_t slot);
    // The same for a node's slot, and true only when the record carries the
    // node's address (compareFolded): a file replaced behind the server's
    // back must not lend one user's password or data to another.
    bool cLe(const TUsuario* no);
    // Writes buffer as slot; true only when the whole record was written.
    // A write cut short is undone: the slot's previous bytes are written
    // back, or an append is cut off again, so a failure leaves the file as
    // it was. A slot holding a whole record that cannot be read first is not
    // written (false). When the old record cannot be written back, the
    // process ends as for an inconsistent index (cRemove).
    bool cGrava(int32_t slot);
    bool cGrava(const TUsuario* no);
    // Sets the file length to n records: 0, or negative on failure.
    int cTrunca(int32_t n);
    // Removes a user from file and index, moving the last record into its
    // slot, and frees the node: REMOVE and the ageing pass both compact
    // through here. False (file and index untouched, node kept) when the
    // read or the write fails, a last record that is not its node's own
    // included. A slot table that does not hold the node at its slot, or
    // holds no node for the last slot, is a disagreement (aoDiscordar).
    bool cRemove(TUsuario* no);
    // The ageing pass, every 5 seconds: removes users idle for diasreg
    // days before agora (minutes since 1601), at most 10 examined per pass
    // after the first, and always ends with the file closed.
    void cEnvelhece(uint32_t agora);

    // Index and file no longer agree: a node missing from its slot, or a
    // record that a write cut short and that could not be written back.
    // Serving on would write users' changes over each other, so nothing is
    // removed or written from then on, the operation that found it fails,
    // and aoDiscordar, when set, is told once with the file's name; the
    // server ends there.
    void (*aoDiscordar)(const char* arquivo) = nullptr;
    bool discordam = false;

    // The changes of a user. Each writes the user's record and then brings
    // the node to match, so the node's ip, estado, data and nome are the
    // file's; each returns false, with file and node untouched, when the
    // write fails. Dates are minutes since 1601, addresses network order.
    //
    // REGISTER's completion: a whole new record (state kRegistrado, no
    // logon note) over no's slot, or, when no is null, after the last
    // record as a new entry linked into the index. Texts are cut to their
    // fields; senha is the 20-byte stored digest. Returns the node, or null
    // when the write fails or the registry already holds kMaxRegistros
    // records. A replaced entry's node keeps its address text (the key
    // that found it, equal under compareFolded): the record takes the one
    // given, so the two may differ in letter case until the next load.
    TUsuario* cRegistra(TUsuario* no, const char* email, const char* nome, const char* info, const uint8_t* senha,
                        uint32_t ip, uint32_t data);
    // LOGON and LOGOFF go through the batch below; DATE and IP2 change the
    // record in buffer, which must hold no's record (cLe(no) true just
    // before, as the interpreter reads it for them), and leave the rest of
    // it as it was.
    //
    // DATE: the date alone.
    bool cMudaData(TUsuario* no, uint32_t data);
    // IP2: the address alone.
    bool cMudaIp(TUsuario* no, uint32_t ip);

    // --- The batch --------------------------------------------------------
    // LOGON and LOGOFF change a user's address, date and state (and LOGON
    // its note), nothing else: they read nothing, since the password check
    // takes the digest from the index, and their changes wait in a batch
    // that reaches the file in one go (platformWriteMany) before any reply
    // of the pass leaves. The node follows at once, and goes back when its
    // write fails. Each returns the change's number in the batch, which
    // aoGravarLote's report uses, or -1 (nothing changed) when nothing may
    // be written any more. Two changes of one user in one batch are one:
    // the later one's fields, the earlier one's way back, and the note of
    // the last LOGON among them. Every other operation on the file writes
    // the batch first, so the file takes the changes in the order made.
    //
    // LOGON: logged on from ip at data, with nota (cut to 11 characters)
    // over the old note.
    int32_t cEntra(TUsuario* no, uint32_t ip, uint32_t data, const char* nota);
    // LOGOFF: logged off from ip at data; the note stays.
    int32_t cSai(TUsuario* no, uint32_t ip, uint32_t data);
    // Writes the batch and, under sincronia = sempre, syncs the file. A
    // change whose write or sync failed is taken back: its node, and the
    // address, date and state in its record. A note is written only once
    // its change's other fields are; its old bytes were never read, so a
    // note that the sync fails (or a write cuts short) stays. aoGravarLote
    // then hears every outcome. Nothing to do for an empty batch.
    void cGravaLote();
    bool lotePendente() const { return nLote > 0; }
    // Whether no has a change waiting in the batch.
    bool cNoLote(const TUsuario* no) const;
    // Told after each batch: gravou[i] says whether change i reached the
    // file (and under sempre the disk).
    void (*aoGravarLote)(const bool* gravou, int32_t n) = nullptr;
    static constexpr int32_t kLote = 1024;

    // Read-only views of the record in buffer. The texts end inside their
    // fields after every read (cLe); logon() may fill its field.
    const char* email() const { return reinterpret_cast<const char*>(buffer + registro_campo::kEmail); }
    const char* nome() const { return reinterpret_cast<const char*>(buffer + registro_campo::kNome); }
    const char* info() const { return reinterpret_cast<const char*>(buffer + registro_campo::kInfo); }
    const char* logon() const { return reinterpret_cast<const char*>(buffer + registro_campo::kLogon); }
    const uint8_t* senha() const { return buffer + registro_campo::kSenha; }
    uint8_t estado() const { return buffer[registro_campo::kEstado]; }
    uint32_t ip() const;
    uint32_t data() const;
    // Field changes of buffer alone, for tests of the primitives: the
    // user's changes above go through the operations.
    void defineIp(uint32_t ip);
    void defineData(uint32_t minutos);

    bool primeiraPassagem = true;
    // For the operators' metrics: operations on the file that failed, and
    // users the ageing passes removed, since the start.
    uint64_t errosContados = 0;
    uint64_t envelhecidos = 0;
    // The one record buffer: what cLe read, what cGrava writes. Only the
    // registry's own operations write it.
    uint8_t buffer[registro_campo::kRecord];
    int fd = -1;
    // The file mapped shared for the batch's writes (null: none), as long
    // as the file was when mapped; remade when the length changes, gone
    // with the file's descriptor (cSoltaMapa).
    uint8_t* mapa = nullptr;
    int64_t tamMapa = 0;
    void cSoltaMapa();
    // Makes the map cover the file's tamanho bytes as they are now: a
    // registration made it longer, a removal shorter.
    void cCobreComMapa(int64_t tamanho);
    // The journal (jornal.cc): open from the first batch journaled on, and
    // the bytes of whole batches in it.
    int fdJornal = -1;
    int64_t tamJornal = 0;
    // A truncation failed: the file may hold stale records past
    // registros * 840. Every ageing pass retries until the length is right.
    bool truncaPendente = false;
    // Something was written since the last pass; the pass syncs before it
    // closes the file.
    bool gravouDesdePassagem = false;
    // Something was written since the last sync.
    bool naoSincronizado = false;
    // Of that, something the journal does not hold (a whole record, a
    // batch under nunca, a failed batch's way back).
    bool foraDoJornal = false;
    // Syncs the open file when something was written since the last sync:
    // false when the sync failed (still due, then). sincronia = sempre
    // syncs every write before it counts as done.
    bool cSincroniza();
    // sincronia = segundo's sync, once a second: what the file holds
    // outside the journal, through cSincroniza; else the journal alone,
    // whose batches the registry's pages follow at the next checkpoint.
    bool cSincronizaSegundo();

    // Closes the file, syncing it first when something was written since
    // the last pass; the ageing pass ends with it, and so does a clean end.
    void cFecha();

private:
    // The slot whose whole record buffer holds as read from the file, or
    // -1 once buffer has been changed since.
    int32_t slotLido = -1;
    // A change of the record just read keeps its bytes here (cGuardaLido)
    // as the write's way back, so the write needs no read of its own;
    // lidoGuardado is their slot, -1 after each write.
    uint8_t lido[registro_campo::kRecord];
    int32_t lidoGuardado = -1;
    void cGuardaLido(const TUsuario* no);
    // A change waiting in the batch: the node, its slot, what the node
    // held before the batch, and LOGON's note with its terminator (tamNota
    // 0: the note stays).
    struct Mudanca {
        TUsuario* no;
        int32_t slot;
        uint32_t ipAntes;
        uint32_t dataAntes;
        uint8_t estadoAntes;
        uint8_t tamNota;
        char nota[registro_campo::kLogonLen];
    };
    Mudanca lote[kLote];
    int32_t nLote = 0;
    // Changes by slot: a slot's hash, probed forwards, holds its change's
    // number + 1; 0 is free. Twice the batch's room, so probes stay short.
    static constexpr int32_t kMapaLote = 2 * kLote;
    int16_t mapaLote[kMapaLote] = {};
    int32_t cMudancaDe(TUsuario* no);
    void cEscreve(const PlatformWrite* pecas, int32_t n, long* resultados);
    // The journal of sincronia = sempre and segundo (jornal.cc): the
    // pieces of a batch that were written, appended, and synced when
    // sincroniza; false when they may not be on the disk (or, unsynced,
    // in the journal).
    bool cJornalAcrescenta(const PlatformWrite* pecas, const long* resultados, int32_t n, bool sincroniza);
    // Appended since the journal's last sync.
    bool jornalPorSincronizar = false;
    // The checkpoint: syncs the registry, then empties the journal. True
    // when the journal is empty afterwards.
    bool cJornalEsvazia();
    bool cJornalCheio() const;
    // Syncs the journal when something was appended since its last sync.
    bool cJornalSincroniza();
    // At load: applies the batches a journal holds to the file, syncs it
    // and empties the journal; false when it could not.
    bool cJornalReaplica();

    void cEsqueceMapa(int32_t slot);
    // Says the file's first failure, and its recovery, once each.
    void cNota(bool ok, const char* motivo);
    bool cGravaNoArquivo(int32_t slot);
    // Whether a file of tamanho bytes is shorter than the index's records;
    // remembered in arquivoCurto for the failure's reason.
    bool cCurto(int64_t tamanho);
    bool arquivoCurto = false;
    static constexpr char kMotivoCurto[] =
        "it was cut below the registry's records while the server runs; nothing is written to it";
    // Reads the first bytes of slot's record into buffer; true when all came.
    bool cLePrimeiros(int32_t slot, long bytes);
    bool arquivoFalhou = false;
    // The locked file, once cTrava has opened it.
    bool travado = false;
    PlatformFileId identidade{};
    // Opens the file on demand; false when it cannot be opened, or when the
    // name now leads to another file than the locked one.
    bool cAbre();
    bool cDoTravado(int fd);
    void cDesfaz(int64_t inicio, const uint8_t* anterior, int64_t tamanhoAnterior);
    void cDiscordam();
    void cConfereTamanho();
};

// The one registry object, created before main runs.
extern TRegistro registro;
