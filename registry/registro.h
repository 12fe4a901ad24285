// The registry file and its one record buffer. The file is a headerless
// run of 840-byte records, slot n at n * 840, dense; it is opened on demand
// and closed by every ageing pass. The registry object lives for the whole
// process and is also the timer of the ageing pass.
#pragma once

#include <cstdint>

#include "engine/alarme.h"
#include "engine/platform.h"
#include "registry/ficha.h"
#include "registry/indice.h"

class TRegistro : public TAlarme {
public:
    // Armed for 1 second at construction, so the first ageing pass runs as
    // soon as the loop turns the wheel.
    TRegistro();

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
    // Reads slot into buffer; true only for a whole record. Bytes 79, 111
    // and 827 are zeroed after every attempt.
    bool cLe(int32_t slot);
    // The same for a node's slot, and true only when the record carries the
    // node's address (compareFolded): a file replaced behind the server's
    // back must not lend one user's password or data to another.
    bool cLe(const TUsuario* no);
    // cLe of a node for the head of its record alone (email, nome, ip: the
    // first 116 bytes), as IP needs it; the rest of buffer holds nothing of
    // this user. A read of a sixth of the record, the query asked most.
    bool cLeCabeca(const TUsuario* no);
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
    // holds no node for the last slot, ends the process: the inconsistency
    // message on standard output and exit status 1.
    bool cRemove(TUsuario* no);
    // The ageing pass, every 5 seconds.
    void cDispara() override;

    // Field views of buffer.
    char* email() { return reinterpret_cast<char*>(buffer + registro_campo::kEmail); }
    char* nome() { return reinterpret_cast<char*>(buffer + registro_campo::kNome); }
    char* info() { return reinterpret_cast<char*>(buffer + registro_campo::kInfo); }
    char* logon() { return reinterpret_cast<char*>(buffer + registro_campo::kLogon); }
    uint8_t* senha() { return buffer + registro_campo::kSenha; }
    uint8_t& estado() { return buffer[registro_campo::kEstado]; }
    uint32_t ip() const;
    void defineIp(uint32_t ip);
    uint32_t data() const;
    void defineData(uint32_t minutos);

    bool primeiraPassagem = true;
    uint8_t buffer[registro_campo::kRecord];
    int fd = -1;
    // A truncation failed: the file may hold stale records past
    // registros * 840. Every ageing pass retries until the length is right.
    bool truncaPendente = false;
    // Something was written since the last pass; the pass syncs before it
    // closes the file.
    bool gravouDesdePassagem = false;

    // Closes the file, syncing it first when something was written since
    // the last pass; the ageing pass ends with it, and so does a clean end.
    void cFecha();

private:
    // Says the file's first failure, and its recovery, once each.
    void cNota(bool ok, const char* motivo);
    bool cGravaNoArquivo(int32_t slot);
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
    [[noreturn]] void cDiscordam();
    void cConfereTamanho();
};

// The one registry object, created before main runs.
extern TRegistro registro;
