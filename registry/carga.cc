// The bulk build of the index from a whole load (cMontaIndice): the keys
// sorted a byte at a time, the nodes laid out in key order in their block,
// and a balanced tree built over them in linear time.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "registry/dispersao.h"
#include "registry/indice.h"
#include "text/fold.h"
#include "util/rubro_negra.h"

namespace {

constexpr uint8_t kPreto = RubroNegra<TUsuario>::kPreto;

// Sort key of the bulk build: the first 24 folded bytes, big-endian.
// The bulk build only takes keys made of bytes from 0x21 up: no byte of
// theirs folds to 0 or meets a blank, so compareFolded on them is the
// plain lexicographic order of the folded bytes, and whenever the words
// differ they order as compareFolded does. Ties fall back to it.
struct Chave {
    uint64_t prefixo[3];
    TUsuario* no;
};

// False when the key holds a blank or a control byte: compareFolded skips
// blank runs, drops trailing blanks and yet compares a trailing blank as
// 0x20 against a control byte, so among such keys it is no consistent
// order (a\x01 < "a " == a < a\x01) and no sort may be trusted with them.
// Otherwise the key's prefix, and in hash the table's hashOf of it.
bool preparaChave(Chave& k, TUsuario* no, uint64_t& hash) {
    k.no = no;
    // Eight bytes at a time while they are ASCII: the node's field has
    // 80 bytes, and its key ends within them.
    constexpr uint64_t kUns = 0x0101010101010101ull, kAltos = 0x8080808080808080ull;
    uint64_t palavras[registro_campo::kEmailLen / 8] = {};
    for (int w = 0; w < registro_campo::kEmailLen / 8; w++) {
        uint64_t x;
        memcpy(&x, no->email + 8 * w, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        x = __builtin_bswap64(x);  // the first byte of the key in the low bits
#endif
        if ((x & kAltos) != 0)
            break;  // a byte from 0x80 up: byte by byte below
        uint64_t baixos = ~((x | kAltos) - kUns * 0x21) & kAltos;  // bytes below 0x21
        int fim = 8;
        if (baixos != 0) {
            fim = __builtin_ctzll(baixos) / 8;
            if (((x >> (8 * fim)) & 0xFF) != 0)
                return false;  // a blank or a control byte before the end
            x = fim == 0 ? 0 : x & (~uint64_t(0) >> (64 - 8 * fim));
        }
        palavras[w] = foldAscii8(x);
        if (fim < 8) {
            for (int p = 0; p < 3; p++)
                k.prefixo[p] = __builtin_bswap64(palavras[p]);
            hash = TDispersao::hashOfFolded(palavras, 8 * w + fim);
            return true;
        }
    }
    uint8_t dobrados[24] = {};
    for (int i = 0; no->email[i] != 0; i++) {
        uint8_t c = uint8_t(no->email[i]);
        if (c <= ' ')
            return false;
        if (i < 24)
            dobrados[i] = fold(c);
    }
    for (int w = 0; w < 3; w++) {
        uint64_t v = 0;
        for (int b = 0; b < 8; b++)
            v = (v << 8) | dobrados[w * 8 + b];
        k.prefixo[w] = v;
    }
    hash = TDispersao::hashOf(no->email);
    return true;
}

// -1/0/+1 as compareFolded of the two e-mails.
int comparaChaves(const Chave& a, const Chave& b) {
    for (int w = 0; w < 3; w++)
        if (a.prefixo[w] != b.prefixo[w])
            return a.prefixo[w] < b.prefixo[w] ? -1 : 1;
    return compareFolded(a.no->email, b.no->email);
}

bool menor(const Chave& a, const Chave& b) { return comparaChaves(a, b) < 0; }

// Byte b (0..23) of a key's folded prefix, as the order reads it.
inline uint32_t digito(const Chave& k, int b) {
    return uint32_t(k.prefixo[b / 8] >> (56 - 8 * (b % 8))) & 0xFF;
}

// Sorts v[0..n) as std::sort with comparaChaves would, a byte of the
// prefix at a time from byte b: a million keys in a few passes over them
// instead of some twenty comparisons each. Runs of keys alike in every
// byte of the prefix, and short runs, are left to comparisons. The keys
// lie in aux (room for n) when noAux, else in v; they end in v. Each pass
// moves them from one to the other, so none copies them back.
void ordenaPorBytes(Chave* v, Chave* aux, int32_t n, int b, bool noAux) {
    Chave* de = noAux ? aux : v;
    while (n >= 64 && b < 24) {
        int32_t conta[256] = {};
        for (int32_t i = 0; i < n; i++)
            conta[digito(de[i], b)]++;
        if (conta[digito(de[0], b)] == n) {
            b++;  // one byte shared by all: it orders nothing
            continue;
        }
        int32_t inicio[256];
        for (int32_t d = 0, soma = 0; d < 256; d++) {
            inicio[d] = soma;
            soma += conta[d];
        }
        int32_t pos[256];
        std::copy(inicio, inicio + 256, pos);
        Chave* para = noAux ? v : aux;
        for (int32_t i = 0; i < n; i++)
            para[pos[digito(de[i], b)]++] = de[i];
        for (int d = 0; d < 256; d++)
            if (conta[d] > 0)
                ordenaPorBytes(v + inicio[d], aux + inicio[d], conta[d], b + 1, !noAux);
        return;
    }
    std::sort(de, de + n, menor);
    if (noAux)
        std::copy(de, de + n, v);
}

// The first byte of the prefix in which some of v[0..n) differ; 24 when
// all share the whole prefix. The sort starts there instead of counting
// the bytes every key shares (the domain of a registry's addresses, say).
int primeiroByteDiferente(const Chave* v, int32_t n) {
    uint64_t diferem[3] = {};
    for (int32_t i = 1; i < n; i++)
        for (int w = 0; w < 3; w++)
            diferem[w] |= v[i].prefixo[w] ^ v[0].prefixo[w];
    for (int w = 0; w < 3; w++)
        if (diferem[w] != 0)
            return 8 * w + __builtin_clzll(diferem[w]) / 8;
    return 24;
}

// Moves the nodes of bloco into the order of v (v[k].no, pointing into
// bloco, goes to bloco[k]) within the block, and points the slot table
// nos at them there.
// Each cycle of the permutation is followed from a hole: the node that
// fills it is read from where the next hole will be, so a step reads one
// node from anywhere and writes a line it has just read. The nodes a few
// steps on are fetched ahead.
// rascunho has room for 2n entries.
void emOrdemNoBloco(TUsuario* bloco, const Chave* v, int32_t n, TUsuario** nos, int32_t* rascunho) {
    int32_t* origem = rascunho;  // origem[k]: where bloco[k]'s node is now
    for (int32_t k = 0; k < n; k++)
        origem[k] = int32_t(v[k].no - bloco);
    // The cycles first, as one list of positions, each cycle ending in a
    // negative entry (-1 - its last position), so that the moves can fetch
    // the nodes some steps ahead.
    int32_t* passos = rascunho + n;
    int32_t m = 0;
    for (int32_t inicio = 0; inicio < n; inicio++) {
        if (origem[inicio] == inicio)
            continue;
        int32_t p = inicio;
        for (;;) {
            int32_t q = origem[p];
            origem[p] = p;
            if (q == inicio) {
                passos[m++] = -1 - p;
                break;
            }
            passos[m++] = p;
            p = q;
        }
    }
    auto posicao = [passos](int32_t i) { return passos[i] < 0 ? -1 - passos[i] : passos[i]; };
    constexpr int32_t kAdiante = 8;
    for (int32_t i = 0; i < m;) {
        // One cycle: passos[i] is the hole; each later position's node
        // moves into the one before it, and the first node into the last.
        TUsuario guardado = bloco[passos[i]];  // a cycle has two positions at least
        int32_t antes = passos[i];
        for (i++; passos[i - 1] >= 0; i++) {
            if (i + kAdiante < m) {
                const char* linha = reinterpret_cast<const char*>(&bloco[posicao(i + kAdiante)]);
                __builtin_prefetch(linha);
                __builtin_prefetch(linha + 64);
                __builtin_prefetch(linha + 128);
            }
            int32_t aqui = posicao(i);
            bloco[antes] = bloco[aqui];
            nos[bloco[antes].cPosicao()] = &bloco[antes];
            antes = aqui;
        }
        bloco[antes] = guardado;
        nos[guardado.cPosicao()] = &bloco[antes];
    }
}

// Links v[0..n) (ascending, distinct) as a size-balanced tree: every
// missing child lies at depth h or h - 1, so colouring the nodes of an
// incomplete last level red and all others black meets the rules.
void montaEquilibrada(TUsuario* v, int32_t n) {
    int altura = 0;
    while ((int64_t(1) << altura) - 1 < n)
        altura++;
    bool ultimoCheio = (int64_t(1) << altura) - 1 == n;
    struct Tarefa {
        int32_t ini, fim;  // half-open range of v
        TUsuario* pai;
        bool esquerda;
        int profundidade;
    };
    Tarefa pendentes[2 * 64];  // depth-first: at most one pending sibling per level
    int topo = 0;
    indice.raiz = nullptr;
    pendentes[topo++] = {0, n, nullptr, false, 0};
    while (topo > 0) {
        Tarefa t = pendentes[--topo];
        if (t.ini >= t.fim)
            continue;
        int32_t meio = t.ini + (t.fim - t.ini) / 2;
        TUsuario* no = &v[meio];
        no->pai = t.pai;
        no->esq = no->dir = nullptr;
        no->cor = (!ultimoCheio && t.profundidade == altura - 1) ? 0 : kPreto;
        if (t.pai == nullptr)
            indice.raiz = no;
        else if (t.esquerda)
            t.pai->esq = no;
        else
            t.pai->dir = no;
        pendentes[topo++] = {meio + 1, t.fim, no, false, t.profundidade + 1};
        pendentes[topo++] = {t.ini, meio, no, true, t.profundidade + 1};
        assert(topo <= int(sizeof pendentes / sizeof pendentes[0]));
    }
}

}  // namespace

void cMontaIndice(TUsuario** nos, int32_t capacidade, int32_t n, TUsuario* bloco) {
    assert(indice.raiz == nullptr && indice.registros == 0);
    assert(n >= 0 && n <= capacidade);
    // The nodes in slot order are the slot table already: adopting the
    // array costs the load nothing.
    delete[] indice.porSlot;
    std::fill(nos + n, nos + capacidade, nullptr);
    indice.porSlot = nos;
    indice.capacidadeSlots = capacidade;
    if (n == 0) {
        cLiberaBloco(bloco, capacidade);
        return;
    }
    indice.tabela.reserva(n);
    Chave* chaves = new Chave[size_t(n)];
    uint64_t* hashes = new uint64_t[size_t(n)];  // by slot
    bool ordenavel = true;
    for (int32_t i = 0; i < n && ordenavel; i++) {
        nos[i]->cDefinePosicao(uint32_t(i));
        ordenavel = preparaChave(chaves[i], nos[i], hashes[i]);
    }
    bool distintas = ordenavel;
    // The sort's second array; then, in the same memory, the moves' lists:
    // memory a process keeps once it has had it is not taken twice.
    Chave* aux = ordenavel ? new Chave[size_t(n)] : nullptr;
    if (ordenavel) {
        ordenaPorBytes(chaves, aux, n, primeiroByteDiferente(chaves, n), false);
        for (int32_t i = 1; i < n && distintas; i++)
            distintas = comparaChaves(chaves[i - 1], chaves[i]) != 0;
    }
    if (distintas) {
        // The nodes lie in one block in key order: a listing then walks
        // memory from start to end instead of jumping to wherever each
        // record's node happened to be made.
        if (bloco != nullptr) {
            static_assert(sizeof(Chave) >= 2 * sizeof(int32_t), "the moves' lists fit the sort's array");
            emOrdemNoBloco(bloco, chaves, n, nos, reinterpret_cast<int32_t*>(aux));
            indice.bloco = bloco;
            indice.tamBloco = capacidade;
        } else {
            TUsuario* ordenados = cNovoBloco(n);
            for (int32_t k = 0; k < n; k++) {
                ordenados[k] = *chaves[k].no;
                delete chaves[k].no;
                nos[ordenados[k].cPosicao()] = &ordenados[k];
            }
            indice.bloco = ordenados;
            indice.tamBloco = n;
        }
        // Distinct keys in a consistent order: every lookup and walk is
        // decided by the order alone, whatever the shape of the tree.
        montaEquilibrada(indice.bloco, n);
        indice.tabela.insereTodos(nos, hashes, n);
        indice.registros = n;
    } else {
        // Equal keys, or keys the order cannot rank consistently: which
        // node a lookup meets depends on the shape, so build exactly the
        // tree that inserting in slot order builds. Each cInsere puts its
        // node back where it already stands in the slot table. The nodes
        // stay where they are, in slot order.
        indice.bloco = bloco;
        indice.tamBloco = bloco != nullptr ? capacidade : 0;
        for (int32_t i = 0; i < n; i++) {
            char email[registro_campo::kEmailLen];
            copyBounded(email, nos[i]->email, registro_campo::kEmailLen);
            cInsere(nos[i], email, nos[i]->data);
        }
    }
    delete[] aux;
    delete[] chaves;
    delete[] hashes;
}
