// The 840-byte record of the registry file: where its fields lie, and the
// one encoder and decoder of them. The server, the registry tool, the
// tests and the benchmarks all lay records out through here, so the
// layout is written once. Header only, and built on nothing of ours: a
// test or benchmark that writes files for the server needs no library.
#pragma once

#include <cstdint>
#include <cstring>

// Record layout: offsets of the fields in the 840-byte record, and their
// sizes. A text field holds at most its size less one characters: the
// server reads its last byte as a terminator, whatever the file holds.
namespace registro_campo {
constexpr int kEmail = 0, kEmailLen = 80;
constexpr int kNome = 80, kNomeLen = 32;
constexpr int kIp = 112;      // 4 bytes, network order
constexpr int kData = 116;    // 4 bytes, little-endian
constexpr int kSenha = 120, kSenhaLen = 20;  // stored digest
constexpr int kEstado = 140;  // 1 byte
constexpr int kInfo = 141, kInfoLen = 687;
constexpr int kLogon = 828, kLogonLen = 12;
constexpr int kRecord = 840;
}  // namespace registro_campo

// The address: the four bytes of the record as they lie in memory, so
// network order in, network order out.
inline uint32_t cLeIp(const uint8_t* rec) {
    uint32_t v;
    memcpy(&v, rec + registro_campo::kIp, 4);
    return v;
}
inline void cPoeIp(uint8_t* rec, uint32_t ip) { memcpy(rec + registro_campo::kIp, &ip, 4); }

// The date, minutes since 1601, little-endian whatever the host.
inline uint32_t cLeData(const uint8_t* rec) {
    const uint8_t* p = rec + registro_campo::kData;
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void cPoeData(uint8_t* rec, uint32_t minutos) {
    for (int i = 0; i < 4; i++)
        rec[registro_campo::kData + i] = uint8_t(minutos >> (8 * i));
}

// Writes at most tamanho - 1 characters of texto and a terminator into the
// text field at campo. The field's bytes after the terminator stay as they
// were: a whole record starts zeroed, so its fields come out zero-padded,
// while LOGON's note goes over the old one as it always has.
inline void cPoeTexto(uint8_t* rec, int campo, int tamanho, const char* texto) {
    char* destino = reinterpret_cast<char*>(rec + campo);
    int i = 0;
    for (; i < tamanho - 1 && texto[i] != 0; i++)
        destino[i] = texto[i];
    destino[i] = 0;
}

// The text field at campo as the server reads it, into destino (tamanho
// bytes): up to its first NUL and never the field's last byte, terminated.
// Returns its length.
inline int cLeTexto(const uint8_t* rec, int campo, int tamanho, char* destino) {
    const char* origem = reinterpret_cast<const char*>(rec + campo);
    int i = 0;
    for (; i < tamanho - 1 && origem[i] != 0; i++)
        destino[i] = origem[i];
    destino[i] = 0;
    return i;
}

// Every field of one record, texts terminated within their arrays.
struct TFicha {
    char email[registro_campo::kEmailLen] = {};
    char nome[registro_campo::kNomeLen] = {};
    uint32_t ip = 0;    // network order
    uint32_t data = 0;  // minutes since 1601
    uint8_t senha[registro_campo::kSenhaLen] = {};
    uint8_t estado = 0;  // an Estado; a foreign file may hold any byte
    char info[registro_campo::kInfoLen] = {};  // lines separated by '\n'
    char logon[registro_campo::kLogonLen] = {};

    // The 840 bytes at rec: every field, texts cut to their field less one
    // byte, every byte that holds no field zero.
    void cCodifica(uint8_t* rec) const {
        using namespace registro_campo;
        memset(rec, 0, kRecord);
        cPoeTexto(rec, kEmail, kEmailLen, email);
        cPoeTexto(rec, kNome, kNomeLen, nome);
        cPoeIp(rec, ip);
        cPoeData(rec, data);
        memcpy(rec + kSenha, senha, kSenhaLen);
        rec[kEstado] = estado;
        cPoeTexto(rec, kInfo, kInfoLen, info);
        cPoeTexto(rec, kLogon, kLogonLen, logon);
    }
    // The fields of the 840 bytes at rec, texts as the server reads them.
    void cDecodifica(const uint8_t* rec) {
        using namespace registro_campo;
        cLeTexto(rec, kEmail, kEmailLen, email);
        cLeTexto(rec, kNome, kNomeLen, nome);
        ip = cLeIp(rec);
        data = cLeData(rec);
        memcpy(senha, rec + kSenha, kSenhaLen);
        estado = rec[kEstado];
        cLeTexto(rec, kInfo, kInfoLen, info);
        cLeTexto(rec, kLogon, kLogonLen, logon);
    }
};
