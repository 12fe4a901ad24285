// The index: a red-black tree with parent links, ordered by compareFolded
// on email. Linked nodes never move in memory and are never copied into
// one another (a load lays its nodes out before it links them), so any
// pointer to a linked node (the ageing cursor above all) stays valid until
// that node itself is unlinked.
#include "registry/indice.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "engine/platform.h"
#include "registry/dispersao.h"
#include "text/fold.h"
#include "util/rubro_negra.h"

Indice indice;

static_assert(sizeof(TUsuario) == 104, "a node stays within 112 bytes of heap");
static_assert(kChaveCurta % 8 == 0, "a short key is read a word at a time within its field");

namespace {

RubroNegra<TUsuario> arvore(indice.raiz);
constexpr uint8_t kPreto = RubroNegra<TUsuario>::kPreto;

TUsuario* maisEsquerda(TUsuario* no) {
    while (no->esq != nullptr)
        no = no->esq;
    return no;
}

// The search key in its stored form: leading blanks skipped, cut to 79
// characters, so that a long key meets the entry it created. Null when
// nothing is left. The copy lives in the caller's array: no allocation.
const char* formaGuardada(const char* chave, char (&corte)[registro_campo::kEmailLen]) {
    while (*chave == ' ')
        chave++;
    if (*chave == 0)
        return nullptr;
    copyBounded(corte, chave, registro_campo::kEmailLen);
    return corte;
}

// Room in the slot table for n slots. Grows by half at a time, so that
// appends cost a copy only now and then.
void reservaSlots(int32_t n) {
    if (n <= indice.capacidadeSlots)
        return;
    int64_t nova = std::max<int64_t>(n, int64_t(indice.capacidadeSlots) + indice.capacidadeSlots / 2 + 64);
    nova = std::min<int64_t>(nova, kMaxRegistros);
    TUsuario** tabela = new TUsuario*[size_t(nova)];
    std::copy(indice.porSlot, indice.porSlot + indice.capacidadeSlots, tabela);
    std::fill(tabela + indice.capacidadeSlots, tabela + nova, nullptr);
    delete[] indice.porSlot;
    indice.porSlot = tabela;
    indice.capacidadeSlots = int32_t(nova);
}

// Room in the digest table for slot; new slots hold zeroes.
void reservaSenhas(int32_t slot) {
    if (slot < indice.capacidadeSenhas)
        return;
    int32_t nova = std::max(slot + 1, indice.capacidadeSlots);
    auto* tabela = new uint8_t[size_t(nova)][registro_campo::kSenhaLen]();
    if (indice.capacidadeSenhas > 0)
        memcpy(tabela, indice.senhas, size_t(indice.capacidadeSenhas) * registro_campo::kSenhaLen);
    delete[] indice.senhas;
    indice.senhas = tabela;
    indice.capacidadeSenhas = nova;
}

}  // namespace

void cAntecipaBuscas(const char* const* chaves, const int32_t* tamanhos, int n) {
    uint64_t hashes[32];
    n = n < 32 ? n : 32;
    for (int i = 0; i < n; i++) {
        int32_t t = tamanhos[i] < registro_campo::kEmailLen - 1 ? tamanhos[i] : registro_campo::kEmailLen - 1;
        hashes[i] = TDispersao::hashOfKey(chaves[i], t);
    }
    indice.tabela.antecipa(hashes, n);
}

TUsuario* cBusca(const char* chave) {
    // The stored form, first where it lies: the table reads it there.
    while (*chave == ' ')
        chave++;
    if (*chave == 0)
        return nullptr;
    TUsuario* no;
    if (indice.tabela.busca(chave, int32_t(strnlen(chave, registro_campo::kEmailLen - 1)), no))
        return no;
    char corte[registro_campo::kEmailLen];
    const char* k = formaGuardada(chave, corte);
    for (no = indice.raiz; no != nullptr;) {
        int c = compareFolded(k, no->email());
        if (c == 0)
            return no;
        no = c < 0 ? no->esq : no->dir;
    }
    return nullptr;
}

TUsuario* cAPartir(const char* chave) {
    char corte[registro_campo::kEmailLen];
    const char* k = formaGuardada(chave, corte);
    if (k == nullptr)
        return nullptr;
    TUsuario* depois = nullptr;
    TUsuario* no = indice.raiz;
    while (no != nullptr) {
        int c = compareFolded(k, no->email());
        if (c == 0)
            return no;
        if (c < 0) {
            depois = no;
            no = no->esq;
        } else {
            no = no->dir;
        }
    }
    return depois;
}

TUsuario* cPrimeiro() { return indice.raiz == nullptr ? nullptr : maisEsquerda(indice.raiz); }

TUsuario* cProximo(const TUsuario* no) {
    if (no->dir != nullptr)
        return maisEsquerda(no->dir);
    const TUsuario* filho = no;
    TUsuario* pai = no->pai;
    while (pai != nullptr && pai->dir == filho) {
        filho = pai;
        pai = pai->pai;
    }
    return pai;
}

TUsuario* cProximoAntecipando(const TUsuario* no) {
    TUsuario* seguinte = cProximo(no);
    if (seguinte != nullptr) {
        __builtin_prefetch(seguinte);
        __builtin_prefetch(reinterpret_cast<const char*>(seguinte) + 64);
        if (seguinte->dir != nullptr)
            __builtin_prefetch(&seguinte->dir->esq);
        // In a loaded block the walk goes through memory in order, and
        // each step down a right subtree reads the links of nodes ahead of
        // it: those of the nodes 8 and 16 places on are asked for now.
        uintptr_t p = reinterpret_cast<uintptr_t>(seguinte), inicio = reinterpret_cast<uintptr_t>(indice.bloco);
        uintptr_t fimBloco = inicio + uintptr_t(indice.tamBloco) * sizeof(TUsuario);
        for (uintptr_t adiante : {uintptr_t(8), uintptr_t(16)}) {
            uintptr_t q = p + adiante * sizeof(TUsuario);
            if (p >= inicio && q + sizeof(TUsuario) <= fimBloco)
                __builtin_prefetch(reinterpret_cast<const char*>(q) + offsetof(TUsuario, esq));
        }
    }
    return seguinte;
}

namespace {

// Bytes for a long key of n characters: its terminator, and zeros to the
// end of that word.
size_t espacoDaChave(int32_t n) { return size_t(n + 8) & ~size_t(7); }

void poeChave(TUsuario* no, const char* email, int32_t n, char* longa) {
    if (longa == nullptr) {
        memset(no->chave.curta, 0, kChaveCurta);
        memcpy(no->chave.curta, email, size_t(n));
        no->ondeChave = kChaveNoNo;
        return;
    }
    size_t espaco = espacoDaChave(n);
    memset(longa + espaco - 8, 0, 8);
    memcpy(longa, email, size_t(n));
    no->chave.longa = longa;
}

void soltaChave(TUsuario* no) {
    if (no->ondeChave == kChaveNoHeap)
        delete[] no->chave.longa;
    no->ondeChave = kChaveNoNo;
}

}  // namespace

void cDefineChave(TUsuario* no, const char* email) {
    soltaChave(no);
    int32_t n = int32_t(strnlen(email, registro_campo::kEmailLen - 1));
    char* longa = nullptr;
    if (n >= kChaveCurta) {
        longa = new char[espacoDaChave(n)];
        no->ondeChave = kChaveNoHeap;
    }
    poeChave(no, email, n, longa);
}

void cDefineChaveDaCarga(TUsuario* no, const char* email, int32_t n) {
    assert(n >= 0 && n < registro_campo::kEmailLen);
    soltaChave(no);
    char* longa = nullptr;
    if (n >= kChaveCurta) {
        size_t espaco = espacoDaChave(n);
        if (indice.restaDeChaves < espaco) {
            // A block of its own for the keys of some ten thousand users;
            // its first word chains it to the one before.
            constexpr size_t kBlocoDeChaves = size_t(1) << 20;
            char* bloco = new char[kBlocoDeChaves];
            memcpy(bloco, &indice.blocosDeChaves, sizeof(char*));
            indice.blocosDeChaves = bloco;
            indice.livreDeChaves = bloco + 8;
            indice.restaDeChaves = kBlocoDeChaves - 8;
        }
        longa = indice.livreDeChaves;
        indice.livreDeChaves += espaco;
        indice.restaDeChaves -= espaco;
        no->ondeChave = kChaveDaCarga;
    }
    poeChave(no, email, n, longa);
}

void cDescartaChavesDaCarga() {
    while (indice.blocosDeChaves != nullptr) {
        char* bloco = indice.blocosDeChaves;
        memcpy(&indice.blocosDeChaves, bloco, sizeof(char*));
        delete[] bloco;
    }
    indice.livreDeChaves = nullptr;
    indice.restaDeChaves = 0;
}

int32_t cInsere(TUsuario* novo, const char* email, uint32_t data) {
    novo->cor = 0;
    cDefineChave(novo, email);
    novo->data = data;
    novo->esq = novo->dir = novo->pai = nullptr;
    if (indice.raiz == nullptr) {
        indice.raiz = novo;
        novo->cor = kPreto;
    } else {
        TUsuario* no = indice.raiz;
        for (;;) {
            // An equal key goes right, after the ones already there.
            TUsuario*& filho = compareFolded(novo->email(), no->email()) < 0 ? no->esq : no->dir;
            if (filho == nullptr) {
                filho = novo;
                novo->pai = no;
                break;
            }
            no = filho;
        }
        arvore.corrigeInsercao(novo);
    }
    indice.tabela.insere(novo);
    reservaSlots(indice.registros + 1);
    indice.porSlot[indice.registros] = novo;
    novo->cDefinePosicao(uint32_t(indice.registros));
    reservaSenhas(indice.registros);
    memset(indice.senhas[indice.registros], 0, registro_campo::kSenhaLen);
    return ++indice.registros;
}

const uint8_t* cSenhaDoNo(const TUsuario* no) {
    uint32_t slot = no->cPosicao();
    assert(slot < uint32_t(indice.capacidadeSenhas));
    return indice.senhas[slot];
}

void cDefineSenha(const TUsuario* no, const uint8_t* senha) {
    reservaSenhas(int32_t(no->cPosicao()));
    memcpy(indice.senhas[no->cPosicao()], senha, registro_campo::kSenhaLen);
}

void cAdotaSenhas(uint8_t (*senhas)[registro_campo::kSenhaLen], int32_t capacidade) {
    delete[] indice.senhas;
    indice.senhas = senhas;
    indice.capacidadeSenhas = capacidade;
}

TUsuario* cNoDoSlot(int32_t slot) {
    return slot >= 0 && slot < indice.registros ? indice.porSlot[slot] : nullptr;
}

void cMudaDeSlot(TUsuario* no, int32_t slot) {
    assert(slot >= 0 && slot < indice.capacidadeSlots);
    uint32_t antes = no->cPosicao();
    if (antes < uint32_t(indice.capacidadeSlots) && indice.porSlot[antes] == no)
        indice.porSlot[antes] = nullptr;
    indice.porSlot[slot] = no;
    reservaSenhas(slot);
    if (antes < uint32_t(indice.capacidadeSenhas))
        memcpy(indice.senhas[slot], indice.senhas[antes], registro_campo::kSenhaLen);
    no->cDefinePosicao(uint32_t(slot));
}

void cRetira(TUsuario* no) {
    uint32_t slot = no->cPosicao();
    if (slot < uint32_t(indice.capacidadeSlots) && indice.porSlot[slot] == no)
        indice.porSlot[slot] = nullptr;
    indice.tabela.retira(no);
    if (indice.cursor == no)
        indice.cursor = cProximo(no);
    arvore.retira(no);
    indice.registros--;
    assert(indice.registros >= 0);
    if (indice.registros == 0)
        indice.tabela.limpa();  // equal keys, if any, are gone with the rest
}

TUsuario* cNovoBloco(int32_t n) {
    if (n <= 0)
        return nullptr;
    // Mapped with its pages made at once: a load fills every node, and a
    // million nodes would otherwise take one fault per page.
    void* p = platformMapMemory(size_t(n) * sizeof(TUsuario));
    if (p == nullptr)
        abort();  // as new[] ends a process without the memory
    return static_cast<TUsuario*>(p);
}

void cLiberaBloco(TUsuario* bloco, int32_t n) {
    if (bloco != nullptr)
        platformUnmapMemory(bloco, size_t(n) * sizeof(TUsuario));
}

TUsuario* cNovoUsuario() {
    TUsuario* no = indice.devolvidos;
    if (no == nullptr)
        return new TUsuario;
    indice.devolvidos = no->esq;
    return no;
}

void cLiberaUsuario(TUsuario* no) {
    soltaChave(no);
    // A node of the block cannot be freed alone; the next registration
    // takes it again.
    if (indice.bloco != nullptr && no >= indice.bloco && no < indice.bloco + indice.tamBloco) {
        no->esq = indice.devolvidos;
        indice.devolvidos = no;
    } else {
        delete no;
    }
}

void Indice::reset() {
    while (raiz != nullptr) {
        TUsuario* no = raiz;
        cRetira(no);
        cLiberaUsuario(no);
    }
    cLiberaBloco(bloco, tamBloco);
    bloco = nullptr;
    tamBloco = 0;
    devolvidos = nullptr;
    cDescartaChavesDaCarga();
    cursor = nullptr;
    tabela.limpa();
    delete[] porSlot;
    porSlot = nullptr;
    capacidadeSlots = 0;
    delete[] senhas;
    senhas = nullptr;
    capacidadeSenhas = 0;
}

bool cAtivo(const TUsuario* no, int32_t ativomin, uint32_t agora) {
    // Widened so that a date close to the top of the 32-bit range does not
    // wrap into "long ago".
    return uint64_t(no->data) + uint64_t(uint32_t(ativomin)) >= uint64_t(agora) && no->estado != kDesconectado;
}
