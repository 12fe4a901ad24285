// The penalty table: a fixed array of entries keyed by address and
// password, chained from hash buckets and linked in the order of their
// last failure, oldest first, in one of two age lists: addresses at the
// address-wide limit, and every other entry. A failure moves its entries
// to the young end of their list, so forgetting takes from the old ends,
// and making room takes from the old end of the second list while it has
// anything: a flood of new addresses cannot push a guesser out. Links are
// indexes plus one, so the zero-filled arrays start as an empty table and
// cost no page until used.
#include "operations/penalidade.h"

#include <cassert>

#include "config/config.h"
#include "text/fold.h"

namespace {

constexpr int32_t kBaldes = 65536;  // a power of two
constexpr int kDobras = 3;          // the delay doubles at most this often
constexpr uint64_t kEndereco = 0;   // conta of the address's own entry
constexpr size_t kContaMax = 79;    // characters of an address the index keeps

// The age lists.
enum Lista : uint8_t {
    kComum = 0,     // passwords, and addresses below the limit
    kNoLimite = 1,  // addresses at kPenalidadeLimiteEndereco: the last to make room
};

struct Entrada {
    uint64_t conta;
    uint32_t ip;
    uint8_t falhas;    // a password's: 1..kDobras + 1; an address's: up to 255
    uint8_t lista;     // the age list it is in, a Lista
    int64_t fim;       // the second at which the penalty ends
    int64_t ultima;    // the second of the last failure
    int32_t antes;     // age list: the next older entry
    int32_t depois;    // age list: the next younger entry; the free list too
    int32_t seguinte;  // bucket chain
};

struct Tabela {
    Entrada entradas[kPenalidadeEntradas];
    int32_t baldes[kBaldes];
    struct Idade {
        int32_t maisVelha;  // old end
        int32_t maisNova;   // young end
    } idades[2];            // by Lista
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
    Tabela::Idade& idade = t.idades[e.lista];
    if (e.antes != 0)
        de(e.antes).depois = e.depois;
    else
        idade.maisVelha = e.depois;
    if (e.depois != 0)
        de(e.depois).antes = e.antes;
    else
        idade.maisNova = e.antes;
    e.antes = e.depois = 0;
}

// At the young end of lista.
void poeNaIdade(int32_t i, Lista lista) {
    Entrada& e = de(i);
    Tabela::Idade& idade = t.idades[lista];
    e.lista = lista;
    e.antes = idade.maisNova;
    e.depois = 0;
    if (idade.maisNova != 0)
        de(idade.maisNova).depois = i;
    else
        idade.maisVelha = i;
    idade.maisNova = i;
}

Lista listaDe(const Entrada& e) {
    return e.conta == kEndereco && e.falhas >= kPenalidadeLimiteEndereco ? kNoLimite : kComum;
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

// Every entry whose last failure is kPenalidadeMemoria or more before agora.
void esqueceVelhas(int64_t agora) {
    for (Tabela::Idade& idade : t.idades)
        while (idade.maisVelha != 0 && agora - de(idade.maisVelha).ultima >= kPenalidadeMemoria)
            esquece(idade.maisVelha);
}

// The entry to forget for room: the oldest below the limit, unless that is
// poupada (the youngest, so the only one), then the oldest at the limit.
int32_t vitima(int32_t poupada) {
    int32_t i = t.idades[kComum].maisVelha;
    if (i == 0 || i == poupada)
        i = t.idades[kNoLimite].maisVelha;
    assert(i != 0 && i != poupada);  // a full table holds far more than two entries
    return i;
}

// The entry of (ip, conta), made when missing (never in poupada's place),
// now the youngest of its list; its index.
int32_t renova(uint32_t ip, uint64_t conta, int64_t agora, int32_t poupada = 0) {
    int32_t i = acha(ip, conta);
    if (i != 0) {
        tiraDaIdade(i);
    } else {
        if (t.total == kPenalidadeEntradas)
            esquece(vitima(poupada));
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
    poeNaIdade(i, listaDe(de(i)));
    de(i).ultima = agora;
    return i;
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
    esqueceVelhas(agora);
    // Counted even without a delay: what is logged depends on the count.
    bool atrasa = config.penalidade > 0;
    int32_t s = renova(ip, conta, agora);
    Entrada& senha = de(s);
    if (senha.falhas <= kDobras)
        senha.falhas++;
    int32_t atraso = atrasa ? config.penalidade << (senha.falhas - 1) : 0;
    if (atrasa)
        senha.fim = agora + atraso + 1;
    int32_t e = renova(ip, kEndereco, agora, s);
    Entrada& endereco = de(e);
    if (endereco.falhas < 255)
        endereco.falhas++;
    if (endereco.falhas == kPenalidadeLimiteEndereco) {
        tiraDaIdade(e);  // into the list that makes room last
        poeNaIdade(e, kNoLimite);
    }
    if (!atrasa)
        return 0;
    if (endereco.falhas >= kPenalidadeLimiteEndereco) {
        atraso = config.penalidade << kDobras;
        endereco.fim = agora + atraso + 1;
    }
    return atraso + 1;
}

int32_t penalidadeFalhasDoEndereco(uint32_t ip) {
    int32_t i = acha(ip, kEndereco);
    return i == 0 ? 0 : de(i).falhas;
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
    t.idades[kComum] = t.idades[kNoLimite] = Tabela::Idade{};
    t.livres = t.usadas = t.total = 0;
}
