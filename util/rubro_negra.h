// The red-black tree routines shared by the index and the machine table.
// Nodes carry their own links (esq, dir, pai) and colour (cor: bit 0 set
// means black, the other bits stay 0); null children are the black leaves.
// Each user keeps its own descent, since each orders by its own key, and
// links a new node itself before calling corrigeInsercao.
#pragma once

#include <cassert>
#include <cstdint>

template <class T>
class RubroNegra {
public:
    constexpr explicit RubroNegra(T*& raiz) : raiz(raiz) {}

    static constexpr uint8_t kPreto = 1;
    static bool preto(const T* no) { return no == nullptr || (no->cor & kPreto) != 0; }
    static bool vermelho(const T* no) { return !preto(no); }

    // A new node, already linked red under its parent (or as the root):
    // a red node under a red parent is the only possible violation; it
    // moves up two levels per recolouring, or ends with one or two turns.
    void corrigeInsercao(T* no) {
        while (vermelho(no->pai)) {
            T* pai = no->pai;
            T* avo = pai->pai;  // a red node is never the root
            bool esquerda = pai == avo->esq;
            T* tio = esquerda ? avo->dir : avo->esq;
            if (vermelho(tio)) {
                pai->cor = kPreto;
                tio->cor = kPreto;
                avo->cor = 0;
                no = avo;
                continue;
            }
            if (no == (esquerda ? pai->dir : pai->esq)) {
                gira(pai, esquerda);
                no = pai;
                pai = no->pai;
            }
            pai->cor = kPreto;
            avo->cor = 0;
            gira(avo, !esquerda);
        }
        raiz->cor = kPreto;
    }

    // Unlinks no; every other node keeps its place in memory and its
    // contents. A node with two children first changes places with its
    // in-order successor, so the one unlinked has at most one child.
    void retira(T* no) {
        if (no->esq != nullptr && no->dir != nullptr) {
            T* s = no->dir;
            while (s->esq != nullptr)
                s = s->esq;
            trocaComSucessor(no, s);
        }
        T* filho = no->esq != nullptr ? no->esq : no->dir;
        T* pai = no->pai;
        substitui(no, filho);
        if (preto(no))
            corrigeRemocao(filho, pai);
        no->esq = no->dir = no->pai = nullptr;
    }

private:
    T*& raiz;

    // Puts novo where velho hangs from velho's parent (or at the root).
    void substitui(T* velho, T* novo) {
        T* pai = velho->pai;
        if (pai == nullptr)
            raiz = novo;
        else if (pai->esq == velho)
            pai->esq = novo;
        else
            pai->dir = novo;
        if (novo != nullptr)
            novo->pai = pai;
    }

    // A left turn lifts x's right child into x's place; a right turn, its
    // left child.
    void gira(T* x, bool aEsquerda) {
        T*& lado = aEsquerda ? x->dir : x->esq;
        T* y = lado;
        T*& interno = aEsquerda ? y->esq : y->dir;
        lado = interno;
        if (interno != nullptr)
            interno->pai = x;
        substitui(x, y);
        interno = x;
        x->pai = y;
    }

    // Exchanges the places of z and its in-order successor s (the leftmost
    // node of z's right subtree, so s has no left child) by relinking both
    // and swapping their colours. Contents stay where they are.
    void trocaComSucessor(T* z, T* s) {
        assert(s->esq == nullptr);
        T* zEsq = z->esq;
        T* zDir = z->dir;
        T* sPai = s->pai;
        T* sDir = s->dir;

        substitui(z, s);
        s->esq = zEsq;
        zEsq->pai = s;
        if (sPai == z) {
            s->dir = z;
            z->pai = s;
        } else {
            s->dir = zDir;
            zDir->pai = s;
            sPai->esq = z;
            z->pai = sPai;
        }
        z->esq = nullptr;
        z->dir = sDir;
        if (sDir != nullptr)
            sDir->pai = z;

        uint8_t cor = z->cor;
        z->cor = s->cor;
        s->cor = cor;
    }

    // Restores the black height after a black node left the tree; x (maybe
    // a null leaf, so its parent travels with it) took its place under pai.
    void corrigeRemocao(T* x, T* pai) {
        while (x != raiz && preto(x)) {
            bool esquerda = x == pai->esq;
            T* w = esquerda ? pai->dir : pai->esq;  // never null: x's side is one black short
            assert(w != nullptr);
            if (vermelho(w)) {
                w->cor = kPreto;
                pai->cor = 0;
                gira(pai, esquerda);
                w = esquerda ? pai->dir : pai->esq;
            }
            if (preto(w->esq) && preto(w->dir)) {
                w->cor = 0;
                x = pai;
                pai = x->pai;
                continue;
            }
            if (preto(esquerda ? w->dir : w->esq)) {
                (esquerda ? w->esq : w->dir)->cor = kPreto;
                w->cor = 0;
                gira(w, !esquerda);
                w = esquerda ? pai->dir : pai->esq;
            }
            w->cor = pai->cor;
            pai->cor = kPreto;
            (esquerda ? w->dir : w->esq)->cor = kPreto;
            gira(pai, esquerda);
            x = raiz;
        }
        if (x != nullptr)
            x->cor = kPreto;
    }
};
