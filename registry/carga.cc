// The bulk build of the index from a whole load (cMontaIndice): the keys
// sorted a byte at a time, the nodes laid out in key order in their block,
// and a balanced tree built over them in linear time.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "engine/platform.h"
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
struct Prefixo {
    uint64_t w[3];
};

// False when the key holds a blank or a control byte: compareFolded skips
// blank runs, drops trailing blanks and yet compares a trailing blank as
// 0x20 against a control byte, so among such keys it is no consistent
// order (a\x01 < "a " == a < a\x01) and no sort may be trusted with them.
// Otherwise the key's prefix, and in hash the table's hashOf of it.
bool preparaChave(Prefixo& k, const TUsuario* no, uint64_t& hash) {
    // Eight bytes at a time while they are plain: the key ends within
    // 80 bytes, and its last word is readable whole.
    const char* email = no->email();
    uint64_t palavras[registro_campo::kEmailLen / 8] = {};
    for (int w = 0; w < registro_campo::kEmailLen / 8; w++) {
        int fim;
        if (!foldedKeyWord(email + 8 * w, palavras[w], fim))
            break;  // a byte from 0x80 up, or a blank: byte by byte below
        if (fim < 8) {
            for (int p = 0; p < 3; p++)
                k.w[p] = __builtin_bswap64(palavras[p]);
            hash = TDispersao::hashOfFolded(palavras, 8 * w + fim);
            return true;
        }
    }
    uint8_t dobrados[24] = {};
    for (int i = 0; email[i] != 0; i++) {
        uint8_t c = uint8_t(email[i]);
        if (c <= ' ')
            return false;
        if (i < 24)
            dobrados[i] = fold(c);
    }
    for (int w = 0; w < 3; w++) {
        uint64_t v = 0;
        for (int b = 0; b < 8; b++)
            v = (v << 8) | dobrados[w * 8 + b];
        k.w[w] = v;
    }
    hash = TDispersao::hashOf(email);
    return true;
}

// Eight bytes of a prefix from byte o on (0..32), zeros past its end.
uint64_t oitoBytes(const Prefixo& p, int o) {
    int w = o / 8, s = 8 * (o % 8);
    uint64_t alto = w < 3 ? p.w[w] : 0, baixo = w + 1 < 3 ? p.w[w + 1] : 0;
    return s == 0 ? alto : (alto << s) | (baixo >> (64 - s));
}

// One key in the sort: 12 bytes of its prefix, and its slot. Half the
// size of the whole prefix and a pointer, so each pass of the sort moves
// half the bytes; keys alike in those 12 bytes are ordered by comparisons.
// The window starts at the key's first byte, or, when the load's keys all
// share their first few bytes (the start of generated addresses, say),
// at the first byte in which they differ.
struct Entrada {
    uint64_t janela;
    uint32_t resto;
    int32_t slot;
};

Entrada entradaDesde(const Prefixo& p, int o, int32_t slot) {
    return {oitoBytes(p, o), uint32_t(oitoBytes(p, o + 8) >> 32), slot};
}

// -1/0/+1 as compareFolded of the two e-mails; nos by slot.
int comparaChaves(TUsuario* const* nos, const Entrada& a, const Entrada& b) {
    if (a.janela != b.janela)
        return a.janela < b.janela ? -1 : 1;
    if (a.resto != b.resto)
        return a.resto < b.resto ? -1 : 1;
    return compareFolded(nos[a.slot]->email(), nos[b.slot]->email());
}

// Byte b (0..11) of an entry's window, as the order reads it.
inline uint32_t digito(const Entrada& e, int b) {
    return b < 8 ? uint32_t(e.janela >> (56 - 8 * b)) & 0xFF : (e.resto >> (88 - 8 * b)) & 0xFF;
}

// Sorts v[0..n) as std::sort with comparaChaves would, a byte of the
// window at a time from byte b: a million keys in a few passes over them
// instead of some twenty comparisons each. Runs of keys alike in every
// byte of the window, and short runs, are left to comparisons. The keys
// lie in aux (room for n) when noAux, else in v; they end in v. Each pass
// moves them from one to the other, so none copies them back.
void ordenaPorBytes(TUsuario* const* nos, Entrada* v, Entrada* aux, int32_t n, int b, bool noAux) {
    Entrada* de = noAux ? aux : v;
    while (n >= 64 && b < 12) {
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
        Entrada* para = noAux ? v : aux;
        for (int32_t i = 0; i < n; i++)
            para[pos[digito(de[i], b)]++] = de[i];
        for (int d = 0; d < 256; d++)
            if (conta[d] > 0)
                ordenaPorBytes(nos, v + inicio[d], aux + inicio[d], conta[d], b + 1, !noAux);
        return;
    }
    std::sort(de, de + n, [nos](const Entrada& x, const Entrada& y) { return comparaChaves(nos, x, y) < 0; });
    if (noAux)
        std::copy(de, de + n, v);
}

// Links v[0..n) (ascending, distinct) as a size-balanced tree, one node
// at a time in key order, so that a load can link each node as it puts it
// in its place: the tree of each range is rooted at its middle, every
// missing child then lies at depth h or h - 1, and colouring the nodes of
// an incomplete last level red and all others black meets the rules. The
// walk keeps the ranges whose left part is not linked yet, one per level.
class Equilibrada {
public:
    Equilibrada(TUsuario* v, int32_t n) : v(v) {
        while ((int64_t(1) << altura) - 1 < n)
            altura++;
        ultimoCheio = (int64_t(1) << altura) - 1 == n;
        desce(0, n, -1, 0);
        indice.raiz = n > 0 ? &v[n / 2] : nullptr;
    }
    // Links v[k], k being 0 on the first call and one more on each later one.
    void ligaProximo() {
        assert(topo > 0);
        Quadro q = pilha[--topo];
        int32_t meio = q.ini + (q.fim - q.ini) / 2;
        TUsuario* no = &v[meio];
        no->pai = q.pai < 0 ? nullptr : &v[q.pai];
        no->esq = meio > q.ini ? &v[q.ini + (meio - q.ini) / 2] : nullptr;
        no->dir = q.fim > meio + 1 ? &v[meio + 1 + (q.fim - meio - 1) / 2] : nullptr;
        no->cor = (!ultimoCheio && q.profundidade == altura - 1) ? 0 : kPreto;
        desce(meio + 1, q.fim, meio, q.profundidade + 1);
    }

private:
    struct Quadro {
        int32_t ini, fim;  // half-open range of v, rooted at its middle
        int32_t pai;       // that root's parent in v; -1 for the tree's root
        int profundidade;
    };
    // The ranges down the left edge of [ini, fim): the first of them on top.
    void desce(int32_t ini, int32_t fim, int32_t pai, int profundidade) {
        while (ini < fim) {
            pilha[topo++] = {ini, fim, pai, profundidade};
            assert(topo <= int(sizeof pilha / sizeof pilha[0]));
            int32_t meio = ini + (fim - ini) / 2;
            pai = meio;
            fim = meio;
            profundidade++;
        }
    }

    TUsuario* v;
    int altura = 0;
    bool ultimoCheio = false;
    Quadro pilha[64];
    int topo = 0;
};

// Moves the nodes of bloco, each at the index of its slot, into the order
// of v (the node of slot v[k].slot goes to bloco[k]) within the block,
// links each as the tree's k-th node as it lands there, and points the
// slot table nos at them. rascunho has room for 2n entries.
// Position k takes its node from wherever it is now by a swap, and the node
// it held moves there: every step reads one node from anywhere, but which
// one is known ahead from an array, not found by following the last move,
// so the nodes a few steps on are fetched while this one moves.
void emOrdemNoBloco(TUsuario* bloco, const Entrada* v, int32_t n, TUsuario** nos, int32_t* rascunho) {
    int32_t* onde = rascunho;       // onde[r], r >= k: where the node of rank r is now
    int32_t* ordem = rascunho + n;  // ordem[s]: the rank of slot s's node
    for (int32_t k = 0; k < n; k++) {
        onde[k] = v[k].slot;
        ordem[v[k].slot] = k;
    }
    Equilibrada arvore(bloco, n);
    constexpr int32_t kAdiante = 8;
    for (int32_t k = 0; k < n; k++) {
        if (k + kAdiante < n) {
            // Only hints: a swap before then may move what they name.
            const char* linha = reinterpret_cast<const char*>(&bloco[onde[k + kAdiante]]);
            __builtin_prefetch(linha);
            __builtin_prefetch(linha + 64);
            __builtin_prefetch(linha + sizeof(TUsuario) - 1);
            __builtin_prefetch(&nos[v[k + kAdiante].slot], 1);
            __builtin_prefetch(&ordem[bloco[k + kAdiante].cPosicao()]);
        }
        int32_t j = onde[k];
        assert(j >= k);
        if (j != k) {
            // Positions below k hold their nodes already, so bloco[k]'s
            // node has a higher rank and will be fetched from j in turn.
            int32_t r = ordem[bloco[k].cPosicao()];
            TUsuario guardado = bloco[k];
            bloco[k] = bloco[j];
            bloco[j] = guardado;
            onde[r] = j;
        }
        nos[v[k].slot] = &bloco[k];
        arvore.ligaProximo();
    }
}

}  // namespace

// Shared bytes the window may start with before it is moved past them.
constexpr int kPartilhadosNaJanela = 4;

struct TChavesDeCarga {
    Entrada* entradas;  // by slot until the sort, windows from byte 0
    uint64_t* hashes;   // by slot: hashOf of each key
    int32_t preparadas = 0;
    bool ordenavel = true;
    // The first key's prefix, and the bits in which any other differs
    // from it: the sort starts at the first byte set here.
    Prefixo primeiro = {};
    uint64_t diferem[3] = {};
};

TChavesDeCarga* cNovasChaves(int32_t capacidade) {
    TChavesDeCarga* c = new TChavesDeCarga;
    size_t n = size_t(std::max(capacidade, 1));
    c->entradas = new Entrada[n];
    c->hashes = new uint64_t[n];
    platformAdviseLargePages(c->entradas, n * sizeof(Entrada));
    platformAdviseLargePages(c->hashes, n * sizeof(uint64_t));
    return c;
}

void cPreparaChave(TChavesDeCarga* c, TUsuario* no, int32_t slot) {
    assert(slot == c->preparadas);
    c->preparadas++;
    no->cDefinePosicao(uint32_t(slot));
    // One key the sort cannot be trusted with sends the whole load the
    // slow way: the others need no key then.
    if (!c->ordenavel)
        return;
    Prefixo p = {};
    c->ordenavel = preparaChave(p, no, c->hashes[slot]);
    c->entradas[slot] = entradaDesde(p, 0, slot);
    if (slot == 0)
        c->primeiro = p;
    for (int w = 0; w < 3; w++)
        c->diferem[w] |= p.w[w] ^ c->primeiro.w[w];
}

void cLiberaChaves(TChavesDeCarga* c) {
    if (c == nullptr)
        return;
    delete[] c->entradas;
    delete[] c->hashes;
    delete c;
}

void cMontaIndice(TUsuario** nos, int32_t capacidade, int32_t n, TUsuario* bloco, TChavesDeCarga* chaves) {
    assert(indice.raiz == nullptr && indice.registros == 0);
    assert(n >= 0 && n <= capacidade);
    // The nodes in slot order are the slot table already: adopting the
    // array costs the load nothing.
    delete[] indice.porSlot;
    std::fill(nos + n, nos + capacidade, nullptr);
    indice.porSlot = nos;
    indice.capacidadeSlots = capacidade;
    if (n == 0) {
        cLiberaChaves(chaves);
        cLiberaBloco(bloco, capacidade);
        return;
    }
    if (chaves == nullptr) {
        chaves = cNovasChaves(n);
        for (int32_t i = 0; i < n; i++)
            cPreparaChave(chaves, nos[i], i);
    }
    assert(chaves->preparadas == n);
    assert(bloco == nullptr || (nos[0] == bloco && nos[n - 1] == bloco + (n - 1)));
    indice.tabela.reserva(n);
    bool ordenavel = chaves->ordenavel;
    bool distintas = ordenavel;
    Entrada* v = chaves->entradas;
    // The sort's second array; then, in the same memory, the moves' lists:
    // memory a process keeps once it has had it is not taken twice. The
    // empty hash table lends it when it is large enough (8 bytes an entry,
    // entries for 4/3 of the keys rounded up to a power of two: enough
    // whenever that comes to twice the keys, as for a million), and is
    // emptied again after.
    size_t daTabela = 0;
    void* tabela = ordenavel ? indice.tabela.emprestaVazia(daTabela) : nullptr;
    bool auxNaTabela = tabela != nullptr && daTabela >= size_t(n) * sizeof(Entrada);
    Entrada* aux = nullptr;
    if (auxNaTabela) {
        aux = static_cast<Entrada*>(tabela);
    } else if (ordenavel) {
        aux = new Entrada[size_t(n)];
        platformAdviseLargePages(aux, size_t(n) * sizeof(Entrada));
    }
    if (ordenavel) {
        // The sort starts at the first byte in which the keys differ instead
        // of counting the bytes every key shares.
        int primeiroDiferente = 24;
        for (int w = 2; w >= 0; w--)
            if (chaves->diferem[w] != 0)
                primeiroDiferente = 8 * w + __builtin_clzll(chaves->diferem[w]) / 8;
        int desde = primeiroDiferente;
        if (primeiroDiferente > kPartilhadosNaJanela) {
            // The windows would hold too little that tells keys apart: they
            // are made again from there, the keys read once more.
            for (int32_t i = 0; i < n; i++) {
                Prefixo p;
                uint64_t h;
                preparaChave(p, nos[i], h);
                v[i] = entradaDesde(p, primeiroDiferente, i);
            }
            desde = 0;
        }
        ordenaPorBytes(nos, v, aux, n, desde, false);
        for (int32_t i = 1; i < n && distintas; i++)
            distintas = comparaChaves(nos, v[i - 1], v[i]) != 0;
    }
    if (distintas) {
        // Distinct keys in a consistent order: every lookup and walk is
        // decided by the order alone, whatever the shape of the tree.
        // The nodes lie in one block in key order: a listing then walks
        // memory from start to end instead of jumping to wherever each
        // record's node happened to be made.
        if (bloco != nullptr) {
            static_assert(sizeof(Entrada) >= 2 * sizeof(int32_t), "the moves' lists fit the sort's array");
            emOrdemNoBloco(bloco, v, n, nos, reinterpret_cast<int32_t*>(aux));
            indice.bloco = bloco;
            indice.tamBloco = capacidade;
        } else {
            TUsuario* ordenados = cNovoBloco(n);
            for (int32_t k = 0; k < n; k++) {
                TUsuario* no = nos[v[k].slot];
                ordenados[k] = *no;
                delete no;
                nos[v[k].slot] = &ordenados[k];
            }
            Equilibrada arvore(ordenados, n);
            for (int32_t k = 0; k < n; k++)
                arvore.ligaProximo();
            indice.bloco = ordenados;
            indice.tamBloco = n;
        }
        if (auxNaTabela)
            indice.tabela.esvazia();
        indice.tabela.insereTodos(nos, chaves->hashes, n);
        indice.registros = n;
    } else {
        if (auxNaTabela)
            indice.tabela.esvazia();
        // Equal keys, or keys the order cannot rank consistently: which
        // node a lookup meets depends on the shape, so build exactly the
        // tree that inserting in slot order builds. Each cInsere puts its
        // node back where it already stands in the slot table. The nodes
        // stay where they are, in slot order.
        indice.bloco = bloco;
        indice.tamBloco = bloco != nullptr ? capacidade : 0;
        for (int32_t i = 0; i < n; i++) {
            char email[registro_campo::kEmailLen];
            copyBounded(email, nos[i]->email(), registro_campo::kEmailLen);
            cInsere(nos[i], email, nos[i]->data);
        }
    }
    if (!auxNaTabela)
        delete[] aux;
    cLiberaChaves(chaves);
}
