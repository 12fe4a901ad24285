// The penalty table: a fixed array of entries keyed by address and
// password, chained from hash buckets and linked in the order of their
// last failure, oldest first. A failure moves its entries to the young
// end, so forgetting and making room both take from the old end. Links
// are indexes plus one, so the zero-filled arrays start as an empty table
// and cost no page until used.
#include "protocol/penalidade.h"

#include <cassert>

#include "config/config.h"
#include "text/fold.h"

namespace {

constexpr int32_t kBaldes = 65536;  // a power of two
constexpr int kDobras = 3;          // the delay doubles at most this often
constexpr uint64_t kEndereco = 0;   // conta of the address's own entry
constexpr size_t kContaMax = 79;    // characters of an address the index keeps

struct Entrada {
    uint64_t conta;
    uint32_t ip;
    uint8_t falhas;    // a password's: 1..kDobras + 1; an address's: up to 255
    int64_t fim;       // the second at which the penalty ends
    int64_t ultima;    // the second of the last failure
    int32_t antes;     // age list: the next older entry
    int32_t depois;    // age list: the next younger entry; the free list too
    int32_t seguinte;  // bucket chain
};

struct Tabela {
    Entrada entradas[kPenalidadeEntradas];
    int32_t baldes[kBaldes];
    int32_t maisVelha;  // old end of the age list
    int32_t maisNova;   // young end of the age list
    int32_t livres;     // entries given back, chained through depois
    int32_t usadas;     // entries ever taken; those past it were never used
    int32_t total;
};

Tabela t;

Entrada& de(int32_t i) { return t.entradas[i - 1]; }

int32_t& baldeDe(uint32_t ip, uint64_t conta) {
    uint64_t h = (uint64_t(ip) ^ conta) * 0x9E3779B97F4A7C15ull;
    return t.baldes[(h >> 40) & (kBaldes - 1)];
}

int32_t acha(uint32_t ip, uint64_t conta) {
    if (t.total == 0)
        return 0;
    int32_t i = baldeDe(ip, conta);
    while (i != 0 && (de(i).ip != ip || de(i).conta != conta))
        i = de(i).seguinte;
    return i;
}

void tiraDaIdade(int32_t i) {
    Entrada& e = de(i);
    if (e.antes != 0)
        de(e.antes).depois = e.depois;
    else
        t.maisVelha = e.depois;
    if (e.depois != 0)
        de(e.depois).antes = e.antes;
    else
        t.maisNova = e.antes;
    e.antes = e.depois = 0;
}

void poeNaIdade(int32_t i) {
    Entrada& e = de(i);
    e.antes = t.maisNova;
    e.depois = 0;
    if (t.maisNova != 0)
        de(t.maisNova).depois = i;
    else
        t.maisVelha = i;
    t.maisNova = i;
}

void esquece(int32_t i) {
    int32_t* elo = &baldeDe(de(i).ip, de(i).conta);
    while (*elo != i)
        elo = &de(*elo).seguinte;
    *elo = de(i).seguinte;
    tiraDaIdade(i);
    de(i).depois = t.livres;
    t.livres = i;
    t.total--;
}

// The entry of (ip, conta), made when missing, now the youngest.
Entrada& renova(uint32_t ip, uint64_t conta, int64_t agora) {
    int32_t i = acha(ip, conta);
    if (i != 0) {
        tiraDaIdade(i);
    } else {
        if (t.total == kPenalidadeEntradas)
            esquece(t.maisVelha);
        if (t.livres != 0) {
            i = t.livres;
            t.livres = de(i).depois;
        } else {
            i = ++t.usadas;
        }
        assert(i >= 1 && i <= kPenalidadeEntradas);
        de(i) = Entrada{};
        de(i).ip = ip;
        de(i).conta = conta;
        int32_t& balde = baldeDe(ip, conta);
        de(i).seguinte = balde;
        balde = i;
        t.total++;
    }
    poeNaIdade(i);
    de(i).ultima = agora;
    return de(i);
}

int32_t restante(int32_t i, int64_t agora) {
    return i == 0 || de(i).fim <= agora ? 0 : int32_t(de(i).fim - agora);
}

}  // namespace

uint64_t penalidadeConta(const char* token, size_t n) {
    // FNV-1a over the folded bytes. Two accounts that meet in the hash
    // share a delay from the same address, which costs an honest user no
    // more than a wait.
    uint64_t h = 0xCBF29CE484222325ull;
    for (size_t k = 0; k < n && k < kContaMax; k++) {
        uint8_t b = uint8_t(token[k]);
        h = (h ^ fold(b)) * 0x100000001B3ull;
    }
    return h > kContaAdministracao ? h : h + 2;
}

int32_t penalidadeFalha(uint32_t ip, uint64_t conta, int64_t agora) {
    if (config.penalidade <= 0)
        return 0;
    while (t.maisVelha != 0 && agora - de(t.maisVelha).ultima >= kPenalidadeMemoria)
        esquece(t.maisVelha);
    Entrada& senha = renova(ip, conta, agora);
    if (senha.falhas <= kDobras)
        senha.falhas++;
    int32_t atraso = config.penalidade << (senha.falhas - 1);
    senha.fim = agora + atraso + 1;
    // The password's entry is the youngest now, so making room for the
    // address's entry cannot take it.
    Entrada& endereco = renova(ip, kEndereco, agora);
    if (endereco.falhas < 255)
        endereco.falhas++;
    if (endereco.falhas >= kPenalidadeLimiteEndereco) {
        atraso = config.penalidade << kDobras;
        endereco.fim = agora + atraso + 1;
    }
    return atraso + 1;
}

int32_t penalidadeRestante(uint32_t ip, uint64_t conta, int64_t agora) {
    int32_t r = restante(acha(ip, conta), agora);
    int32_t e = restante(acha(ip, kEndereco), agora);
    return e > r ? e : r;
}

void penalidadeSucesso(uint32_t ip, uint64_t conta) {
    if (int32_t i = acha(ip, conta))
        esquece(i);
}

int32_t penalidadeEntradas() { return t.total; }

void penalidadeZera() {
    if (t.total == 0)
        return;  // every entry was unchained: the buckets are empty
    for (int32_t& b : t.baldes)
        b = 0;
    t.maisVelha = t.maisNova = t.livres = t.usadas = t.total = 0;
}
