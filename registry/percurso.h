// The one walk over a registry file's whole records, in slot order, shared
// by the server's load and the registry tool's check, dump and load, so
// that both see the same records: above all, both leave out the same
// last record.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/platform.h"
#include "registry/ficha.h"

// Whole records per read: about 1 MiB, and whole records only, so no
// record straddles two reads.
constexpr int64_t kRegistrosPorBloco = 1248;

// Reads the first `registros` records of fd (the caller has found them
// whole in the file's length) in blocks of kRegistrosPorBloco and hands
// each to visita(slot, rec) in slot order, until visita returns false; rec
// is valid during the call only.
//
// A removal killed between moving the last record and cutting it off
// leaves that record twice, the copy last. The file never holds two
// identical records otherwise, so a last record that repeats an earlier
// one byte for byte is not handed over, and copiaDe names the slot it
// repeats (-1: none). False when a read came short (failed, or the file
// shrank meanwhile); slotFalho then names the first slot not read, and
// the records handed over so far are only part of the file.
template <class Visita>
bool cPercorreRegistros(int fd, int64_t registros, int64_t& copiaDe, int64_t& slotFalho, Visita visita) {
    using registro_campo::kRecord;
    copiaDe = -1;
    slotFalho = -1;
    uint8_t ultimo[kRecord];
    bool compara = registros >= 2;
    if (compara && platformReadAt(fd, ultimo, kRecord, (registros - 1) * kRecord) != kRecord) {
        slotFalho = registros - 1;
        return false;
    }
    uint8_t* bloco = new uint8_t[size_t(std::max<int64_t>(std::min(registros, kRegistrosPorBloco), 1) * kRecord)];
    bool inteiro = true;
    bool continua = true;
    for (int64_t primeiro = 0; primeiro < registros && continua;) {
        int64_t n = std::min(kRegistrosPorBloco, registros - primeiro);
        long quer = long(n * kRecord);
        if (platformReadAt(fd, bloco, size_t(quer), primeiro * kRecord) != quer) {
            slotFalho = primeiro;
            inteiro = false;
            break;
        }
        for (int64_t i = 0; i < n && continua; i++) {
            int64_t slot = primeiro + i;
            const uint8_t* rec = bloco + i * kRecord;
            if (slot == registros - 1 && copiaDe >= 0)
                break;
            if (compara && copiaDe < 0 && slot < registros - 1 && memcmp(rec, ultimo, kRecord) == 0)
                copiaDe = slot;
            continua = visita(slot, static_cast<const uint8_t*>(rec));
        }
        primeiro += n;
    }
    delete[] bloco;
    return inteiro;
}
