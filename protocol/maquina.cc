// The machine table: a red-black tree threaded through the records, keyed
// by the address read as one unsigned word. Null children are the black
// leaves; every path from a node down to a leaf crosses as many black nodes.
#include "protocol/maquina.h"

#include <cassert>

int32_t usuarios = 0;
int32_t maquinas = 0;

namespace {

TMaquina* raiz = nullptr;

constexpr uint8_t kPreto = 1;

bool preto(const TMaquina* n) { return n == nullptr || (n->cor & kPreto) != 0; }
bool vermelho(const TMaquina* n) { return !preto(n); }
void pinta(TMaquina* n, bool comoPreto) {
    n->cor = uint8_t(comoPreto ? (n->cor | kPreto) : (n->cor & ~kPreto));
}

// Puts b where a stood under a's parent (b may be null).
void substitui(TMaquina* a, TMaquina* b) {
    if (a->pai == nullptr)
        raiz = b;
    else if (a == a->pai->esq)
        a->pai->esq = b;
    else
        a->pai->dir = b;
    if (b != nullptr)
        b->pai = a->pai;
}

void giraEsquerda(TMaquina* x) {
    TMaquina* y = x->dir;
    x->dir = y->esq;
    if (y->esq != nullptr)
        y->esq->pai = x;
    substitui(x, y);
    y->esq = x;
    x->pai = y;
}

void giraDireita(TMaquina* x) {
    TMaquina* y = x->esq;
    x->esq = y->dir;
    if (y->dir != nullptr)
        y->dir->pai = x;
    substitui(x, y);
    y->dir = x;
    x->pai = y;
}

void insere(TMaquina* z) {
    TMaquina* pai = nullptr;
    for (TMaquina* n = raiz; n != nullptr; n = z->ip < n->ip ? n->esq : n->dir)
        pai = n;
    z->pai = pai;
    z->esq = z->dir = nullptr;
    if (pai == nullptr)
        raiz = z;
    else if (z->ip < pai->ip)
        pai->esq = z;
    else
        pai->dir = z;
    pinta(z, false);

    // A red node under a red parent is the only possible violation; it
    // moves up two levels per recolouring, or ends with one or two turns.
    while (vermelho(z->pai)) {
        TMaquina* p = z->pai;
        TMaquina* avo = p->pai;  // a red parent is never the root
        if (p == avo->esq) {
            TMaquina* tio = avo->dir;
            if (vermelho(tio)) {
                pinta(p, true);
                pinta(tio, true);
                pinta(avo, false);
                z = avo;
                continue;
            }
            if (z == p->dir) {
                z = p;
                giraEsquerda(z);
                p = z->pai;
            }
            pinta(p, true);
            pinta(avo, false);
            giraDireita(avo);
        } else {
            TMaquina* tio = avo->esq;
            if (vermelho(tio)) {
                pinta(p, true);
                pinta(tio, true);
                pinta(avo, false);
                z = avo;
                continue;
            }
            if (z == p->esq) {
                z = p;
                giraDireita(z);
                p = z->pai;
            }
            pinta(p, true);
            pinta(avo, false);
            giraEsquerda(avo);
        }
    }
    pinta(raiz, true);
}

// x took the place of a removed black node and carries an extra black; x
// may be a null leaf, so its parent travels with it.
void corrigeRemocao(TMaquina* x, TMaquina* pai) {
    while (x != raiz && preto(x)) {
        if (x == pai->esq) {
            TMaquina* w = pai->dir;
            assert(w != nullptr);  // the extra black needs a real sibling
            if (vermelho(w)) {
                pinta(w, true);
                pinta(pai, false);
                giraEsquerda(pai);
                w = pai->dir;
            }
            if (preto(w->esq) && preto(w->dir)) {
                pinta(w, false);
                x = pai;
                pai = x->pai;
                continue;
            }
            if (preto(w->dir)) {
                pinta(w->esq, true);
                pinta(w, false);
                giraDireita(w);
                w = pai->dir;
            }
            pinta(w, preto(pai));
            pinta(pai, true);
            pinta(w->dir, true);
            giraEsquerda(pai);
        } else {
            TMaquina* w = pai->esq;
            assert(w != nullptr);
            if (vermelho(w)) {
                pinta(w, true);
                pinta(pai, false);
                giraDireita(pai);
                w = pai->esq;
            }
            if (preto(w->esq) && preto(w->dir)) {
                pinta(w, false);
                x = pai;
                pai = x->pai;
                continue;
            }
            if (preto(w->esq)) {
                pinta(w->dir, true);
                pinta(w, false);
                giraEsquerda(w);
                w = pai->esq;
            }
            pinta(w, preto(pai));
            pinta(pai, true);
            pinta(w->esq, true);
            giraDireita(pai);
        }
        x = raiz;
    }
    if (x != nullptr)
        pinta(x, true);
}

void retira(TMaquina* z) {
    TMaquina* x;
    TMaquina* paiX;
    bool tirouPreto = preto(z);
    if (z->esq == nullptr) {
        x = z->dir;
        paiX = z->pai;
        substitui(z, z->dir);
    } else if (z->dir == nullptr) {
        x = z->esq;
        paiX = z->pai;
        substitui(z, z->esq);
    } else {
        // Two children: the successor y takes z's place and colour; the
        // node really taken out of its position is y.
        TMaquina* y = z->dir;
        while (y->esq != nullptr)
            y = y->esq;
        tirouPreto = preto(y);
        x = y->dir;
        if (y->pai == z) {
            paiX = y;
        } else {
            paiX = y->pai;
            substitui(y, y->dir);
            y->dir = z->dir;
            y->dir->pai = y;
        }
        substitui(z, y);
        y->esq = z->esq;
        y->esq->pai = y;
        pinta(y, preto(z));
    }
    z->esq = z->dir = z->pai = nullptr;
    if (tirouPreto)
        corrigeRemocao(x, paiX);
}

}  // namespace

TMaquina::TMaquina(uint32_t ip) : ip(ip) {
    maquinas++;
    insere(this);
}

TMaquina::~TMaquina() {
    maquinas--;
    retira(this);
}

void TMaquina::cDispara() {
    // With clients left the record stays; the last client's departure
    // ends it, now that no wait is pending.
    if (conexoes == 0)
        delete this;
}

TMaquina* cBuscaMaquina(uint32_t ip) {
    TMaquina* n = raiz;
    while (n != nullptr && n->ip != ip)
        n = ip < n->ip ? n->esq : n->dir;
    return n;
}
