// Open addressing with linear probing. Each slot is one word: 0 empty, 1 a
// removed entry (a probe goes on past it), otherwise the node's address
// with the top 16 bits of its key's hash in the bits above 48, so that a
// probe meeting another key rarely has to read that node.
#include "registry/dispersao.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/platform.h"
#include "registry/indice.h"
#include "text/fold.h"

namespace {

constexpr uintptr_t kVazio = 0;
constexpr uintptr_t kRetirado = 1;
constexpr int kBitsTag = 48;
constexpr uintptr_t kMascaraNo = (uintptr_t(1) << kBitsTag) - 1;

uint16_t tagDe(uint64_t h) { return uint16_t(h >> 48); }
TUsuario* noDe(uintptr_t e) { return reinterpret_cast<TUsuario*>(e & kMascaraNo); }

}  // namespace

// Grown before the entries in use (removed ones included) pass three
// quarters of the slots.
bool TDispersao::cheia(uint32_t mais) const {
    return uint64_t(ocupados + retirados + mais) * 4 > uint64_t(capacidade) * 3;
}

void TDispersao::abandona() {
    delete[] tabela;
    tabela = nullptr;
    capacidade = ocupados = retirados = 0;
    usavel = false;
}

namespace {

constexpr uint64_t kUns = 0x0101010101010101ull, kAltos = 0x8080808080808080ull;

// Word w of a key of n bytes at k (0 < n < kEmailLen; no byte past them
// is read), its first byte in the low bits, zeros past its end, folded.
// The key comes straight from where it was received: a word copied just
// before would wait for the copy's narrower stores. False when the word
// holds a byte from 0x80 up, a blank or a control byte.
inline bool palavraDaChave(const char* k, int32_t n, int w, uint64_t& palavra) {
    int32_t r = n - 8 * w;  // the key's bytes from this word on
    uint64_t x = 0;
    if (r >= 8) {
        memcpy(&x, k + 8 * w, 8);
    } else if (n >= 8) {
        memcpy(&x, k + n - 8, 8);  // the key's last eight bytes, this word's r on top
    } else {
        for (int i = r - 1; i >= 0; i--)
            x = (x << 8) | uint8_t(k[8 * w + i]);
    }
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    if (r >= 8 || n >= 8)
        x = __builtin_bswap64(x);
#endif
    if (r < 8 && n >= 8)
        x >>= 8 * (8 - r);
    uint64_t deles = r >= 8 ? ~uint64_t(0) : ~uint64_t(0) >> (64 - 8 * r);
    if ((x & kAltos) != 0 || (~((x | kAltos) - kUns * 0x21) & kAltos & deles) != 0)
        return false;
    palavra = foldAscii8(x);
    return true;
}

// The key (k, n) terminated, for the byte loops.
void terminada(char (&corte)[registro_campo::kEmailLen], const char* k, int32_t n) {
    memcpy(corte, k, size_t(n));
    corte[n] = 0;
}

// compareFolded of the key (k, n) with a field.
bool chaveIgualPorBytes(const char* k, int32_t n, const char* campo) {
    char corte[registro_campo::kEmailLen];
    terminada(corte, k, n);
    return compareFolded(corte, campo) == 0;
}

}  // namespace

// A word of each at a time while both are plain, where two words differ
// exactly when the keys do there.
bool TDispersao::chaveIgualAoCampo(const char* k, int32_t n, const char* campo) {
    for (int w = 0; w < (n + 7) / 8; w++) {
        uint64_t x, y;
        int fim;
        if (!palavraDaChave(k, n, w, x) || !foldedKeyWord(campo + 8 * w, y, fim))
            return chaveIgualPorBytes(k, n, campo);
        if (x != y)
            return false;
    }
    // The same n bytes: equal if the field's key ends there (a trailing
    // blank would end it too, for the byte loop).
    return campo[n] == 0 || chaveIgualPorBytes(k, n, campo);
}

// The entry whose key equals chave (of hash h), or null. A probe reads
// only the nodes whose tag matches.
TUsuario* TDispersao::igual(const char* chave, int32_t n, uint64_t h) const {
    uint16_t tag = tagDe(h);
    uint32_t m = capacidade - 1;
    for (uint32_t i = uint32_t(h) & m; tabela[i] != kVazio; i = (i + 1) & m) {
        uintptr_t e = tabela[i];
        if (e != kRetirado && uint16_t(e >> kBitsTag) == tag && chaveIgualAoCampo(chave, n, noDe(e)->email()))
            return noDe(e);
    }
    return nullptr;
}

// Places an entry known to be absent, in a table with room.
void TDispersao::coloca(uintptr_t entrada, uint64_t h) {
    uint32_t m = capacidade - 1;
    for (uint32_t i = uint32_t(h) & m;; i = (i + 1) & m)
        if (tabela[i] == kVazio || tabela[i] == kRetirado) {
            if (tabela[i] == kRetirado)
                retirados--;
            tabela[i] = entrada;
            ocupados++;
            return;
        }
}

// A new table of at least minimo slots for the same entries; removed ones
// are left behind.
void TDispersao::refaz(uint64_t minimo) {
    uint64_t nova = 1024;
    while (nova < minimo)
        nova *= 2;
    if (nova > (uint64_t(1) << 31)) {
        abandona();
        return;
    }
    uintptr_t* velha = tabela;
    uint32_t velhaCap = capacidade;
    tabela = new uintptr_t[nova];
    platformAdviseLargePages(tabela, nova * sizeof *tabela);
    std::fill(tabela, tabela + nova, kVazio);
    capacidade = uint32_t(nova);
    ocupados = retirados = 0;
    for (uint32_t i = 0; i < velhaCap; i++)
        if (velha[i] != kVazio && velha[i] != kRetirado)
            coloca(velha[i], hashOfField(noDe(velha[i])->email()));
    delete[] velha;
}

namespace {

constexpr uint64_t kSemente = 0xcbf29ce484222325ull;

// A word of folded bytes into the hash: a multiply spreads it over the
// high bits, the shift brings them back down.
inline uint64_t mistura(uint64_t h, uint64_t palavra) {
    h = (h ^ palavra) * 0x9e3779b97f4a7c15ull;
    return h ^ (h >> 32);
}

inline uint64_t fecha(uint64_t h, uint64_t n) {
    h ^= n;
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 32;
    return h;
}

}  // namespace

uint64_t TDispersao::hashOfFolded(const uint64_t* palavras, int32_t n) {
    uint64_t h = kSemente;
    for (int32_t i = 0; i < (n + 7) / 8; i++)
        h = mistura(h, palavras[i]);
    return fecha(h, uint64_t(n));
}

uint64_t TDispersao::hashOf(const char* chave) {
    // The key as compareFolded sees it, a word at a time: folded, a run of
    // blanks as one blank, trailing blanks gone.
    uint64_t h = kSemente, palavra = 0, n = 0;
    bool branco = false;
    auto poe = [&](uint8_t c) {
        palavra |= uint64_t(c) << (8 * (n % 8));
        if (++n % 8 == 0) {
            h = mistura(h, palavra);
            palavra = 0;
        }
    };
    for (const uint8_t* p = reinterpret_cast<const uint8_t*>(chave); *p != 0; p++) {
        uint8_t c = *p;
        if (c == ' ') {
            branco = true;
            continue;
        }
        if (branco) {
            poe(' ');
            branco = false;
        }
        poe(fold(c));
    }
    if (n % 8 != 0)
        h = mistura(h, palavra);
    return fecha(h, n);
}

uint64_t TDispersao::hashOfKey(const char* k, int32_t n) {
    uint64_t h = kSemente;
    for (int w = 0; w < (n + 7) / 8; w++) {
        uint64_t palavra;
        if (!palavraDaChave(k, n, w, palavra)) {
            char corte[registro_campo::kEmailLen];
            terminada(corte, k, n);
            return hashOf(corte);
        }
        h = mistura(h, palavra);
    }
    return fecha(h, uint64_t(n));
}

uint64_t TDispersao::hashOfField(const char* campo) {
    // hashOfFolded as the words come: a key's last word is the one it
    // ends in, or, ending on a word's edge, the one before the empty one.
    uint64_t h = kSemente;
    for (int w = 0; w < registro_campo::kEmailLen / 8; w++) {
        uint64_t palavra;
        int fim;
        if (!foldedKeyWord(campo + 8 * w, palavra, fim))
            break;
        if (fim > 0)
            h = mistura(h, palavra);
        if (fim < 8)
            return fecha(h, uint64_t(8 * w + fim));
    }
    return hashOf(campo);
}

bool TDispersao::ativa() const { return usavel; }

void TDispersao::limpa() {
    delete[] tabela;
    tabela = nullptr;
    capacidade = ocupados = retirados = 0;
    usavel = true;
}

void* TDispersao::emprestaVazia(size_t& bytes) {
    bytes = 0;
    if (!usavel || tabela == nullptr || ocupados != 0 || retirados != 0)
        return nullptr;
    bytes = size_t(capacidade) * sizeof *tabela;
    return tabela;
}

void TDispersao::esvazia() {
    if (tabela != nullptr)
        std::fill(tabela, tabela + capacidade, kVazio);
}

void TDispersao::reserva(int32_t n) {
    if (usavel && n > 0 && cheia(uint32_t(n)))
        refaz((uint64_t(ocupados) + uint64_t(n)) * 4 / 3 + 1);
}

namespace {

// insere with the key's hash already known.
// Keys of bytes from 0x21 up, all that REGISTER accepts, are ranked by
// compareFolded consistently: the tree's descent then finds the one equal
// node whenever there is one, and the table may answer for it.
bool ordenavel(const char* email) {
    for (const uint8_t* p = reinterpret_cast<const uint8_t*>(email); *p != 0; p++)
        if (*p <= ' ')
            return false;
    return true;
}

}  // namespace

void TDispersao::insereComHash(TUsuario* no, uint64_t h) {
    if ((reinterpret_cast<uintptr_t>(no) & ~kMascaraNo) != 0 || !ordenavel(no->email())) {
        abandona();  // an address the entry cannot hold, or a key the tree may not find
        return;
    }
    if (capacidade == 0 || cheia(1)) {
        refaz((uint64_t(ocupados) + 1) * 2);
        if (!usavel)
            return;
    }
    if (igual(no->email(), int32_t(strnlen(no->email(), registro_campo::kEmailLen - 1)), h) != nullptr) {
        abandona();
        return;
    }
    coloca(reinterpret_cast<uintptr_t>(no) | (uintptr_t(tagDe(h)) << kBitsTag), h);
}

void TDispersao::insere(TUsuario* no) {
    if (usavel)
        insereComHash(no, hashOfField(no->email()));
}

void TDispersao::insereTodos(TUsuario* const* nos, const uint64_t* hashes, int32_t n) {
    if (!usavel || n <= 0)
        return;
    reserva(n);
    // Distinct keys need no probe for an equal one: each goes into the
    // first free entry. Each entry is fetched a few inserts before it is
    // written, so the misses of a large table overlap.
    constexpr int32_t kAdiante = 16;
    for (int32_t i = 0; i < n; i++) {
        if (i + kAdiante < n)
            __builtin_prefetch(&tabela[uint32_t(hashes[i + kAdiante]) & (capacidade - 1)]);
        if ((reinterpret_cast<uintptr_t>(nos[i]) & ~kMascaraNo) != 0) {
            abandona();  // an address the entry cannot hold
            return;
        }
        coloca(reinterpret_cast<uintptr_t>(nos[i]) | (uintptr_t(tagDe(hashes[i])) << kBitsTag), hashes[i]);
    }
}

void TDispersao::retira(const TUsuario* no) {
    if (!usavel || capacidade == 0)
        return;
    uint64_t h = hashOfField(no->email());
    uint32_t m = capacidade - 1;
    for (uint32_t i = uint32_t(h) & m; tabela[i] != kVazio; i = (i + 1) & m)
        if (tabela[i] != kRetirado && noDe(tabela[i]) == no) {
            tabela[i] = kRetirado;
            ocupados--;
            retirados++;
            return;
        }
}

void TDispersao::antecipa(const uint64_t* hashes, int n) const {
    if (!usavel || capacidade == 0)
        return;
    uint32_t m = capacidade - 1;
    for (int i = 0; i < n; i++)
        __builtin_prefetch(&tabela[uint32_t(hashes[i]) & m]);
    for (int i = 0; i < n; i++) {
        uint16_t tag = tagDe(hashes[i]);
        uint32_t k = uint32_t(hashes[i]) & m;
        for (int sondas = 0; sondas < 4 && tabela[k] != kVazio; sondas++, k = (k + 1) & m)
            if (tabela[k] != kRetirado && uint16_t(tabela[k] >> kBitsTag) == tag) {
                const char* no = reinterpret_cast<const char*>(noDe(tabela[k]));
                __builtin_prefetch(no);
                __builtin_prefetch(no + 64);
                break;
            }
    }
}

bool TDispersao::busca(const char* chave, int32_t n, TUsuario*& achado) const {
    achado = nullptr;
    if (!usavel)
        return false;
    if (capacidade == 0)
        return true;
    achado = igual(chave, n, hashOfKey(chave, n));
    return true;
}
