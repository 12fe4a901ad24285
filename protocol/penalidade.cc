// The penalty table: a fixed array of entries, chained from hash buckets
// by address and linked in the order of their last failure, oldest first.
// A failure moves its entry to the young end, so forgetting and making
// room both take from the old end. Links are indexes plus one, so the
// zero-filled arrays start as an empty table and cost no page until used.
#include "protocol/penalidade.h"

#include <cassert>

#include "config/config.h"

namespace {

constexpr int32_t kBaldes = 65536;  // a power of two
constexpr int kDobras = 3;          // the delay doubles at most this often

struct Entrada {
    uint32_t ip;
    uint8_t falhas;    // 1..kDobras + 1: failures that counted
    int64_t fim;       // the second at which the penalty ends
    int64_t ultima;    // the second of the last failure
    int32_t antes;     // age list: the next older entry
    int32_t depois;    // age list: the next younger entry; the free list too
    int32_t seguinte;  // bucket chain
};

Entrada entradas[kPenalidadeEnderecos];
int32_t baldes[kBaldes];
int32_t maisVelha;   // old end of the age list
int32_t maisNova;    // young end of the age list
int32_t livres;      // entries given back, chained through depois
int32_t usadas;      // entries ever taken; those past it were never used
int32_t total;

Entrada& de(int32_t i) { return entradas[i - 1]; }

int32_t& baldeDe(uint32_t ip) { return baldes[(ip * 2654435761u) >> 16 & (kBaldes - 1)]; }

int32_t acha(uint32_t ip) {
    int32_t i = baldeDe(ip);
    while (i != 0 && de(i).ip != ip)
        i = de(i).seguinte;
    return i;
}

void tiraDaIdade(int32_t i) {
    Entrada& e = de(i);
    if (e.antes != 0)
        de(e.antes).depois = e.depois;
    else
        maisVelha = e.depois;
    if (e.depois != 0)
        de(e.depois).antes = e.antes;
    else
        maisNova = e.antes;
    e.antes = e.depois = 0;
}

void poeNaIdade(int32_t i) {
    Entrada& e = de(i);
    e.antes = maisNova;
    e.depois = 0;
    if (maisNova != 0)
        de(maisNova).depois = i;
    else
        maisVelha = i;
    maisNova = i;
}

void esquece(int32_t i) {
    int32_t* elo = &baldeDe(de(i).ip);
    while (*elo != i)
        elo = &de(*elo).seguinte;
    *elo = de(i).seguinte;
    tiraDaIdade(i);
    de(i).depois = livres;
    livres = i;
    total--;
}

int32_t novaEntrada(uint32_t ip) {
    if (total == kPenalidadeEnderecos)
        esquece(maisVelha);
    int32_t i;
    if (livres != 0) {
        i = livres;
        livres = de(i).depois;
    } else {
        i = ++usadas;
    }
    assert(i >= 1 && i <= kPenalidadeEnderecos);
    Entrada& e = de(i);
    e = Entrada{};
    e.ip = ip;
    int32_t& balde = baldeDe(ip);
    e.seguinte = balde;
    balde = i;
    total++;
    return i;
}

}  // namespace

int32_t penalidadeFalha(uint32_t ip, int64_t agora) {
    if (config.penalidade <= 0)
        return 0;
    while (maisVelha != 0 && agora - de(maisVelha).ultima >= kPenalidadeMemoria)
        esquece(maisVelha);
    int32_t i = acha(ip);
    if (i == 0)
        i = novaEntrada(ip);
    else
        tiraDaIdade(i);
    poeNaIdade(i);
    Entrada& e = de(i);
    if (e.falhas <= kDobras)
        e.falhas++;
    int32_t atraso = config.penalidade << (e.falhas - 1);
    e.ultima = agora;
    e.fim = agora + atraso + 1;
    return atraso + 1;
}

int32_t penalidadeRestante(uint32_t ip, int64_t agora) {
    int32_t i = total != 0 ? acha(ip) : 0;
    if (i == 0 || de(i).fim <= agora)
        return 0;
    return int32_t(de(i).fim - agora);
}

void penalidadeSucesso(uint32_t ip) {
    int32_t i = total != 0 ? acha(ip) : 0;
    if (i != 0)
        esquece(i);
}

int32_t penalidadeEnderecos() { return total; }

void penalidadeZera() {
    if (total == 0)
        return;  // every entry was unchained: the buckets are empty
    for (int32_t& b : baldes)
        b = 0;
    maisVelha = maisNova = livres = usadas = total = 0;
}
