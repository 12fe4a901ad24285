// The machine table: a red-black tree threaded through the records, keyed
// by the address read as one unsigned word. Null children are the black
// leaves; every path from a node down to a leaf crosses as many black nodes.
#include "admission/maquina.h"

#include "util/rubro_negra.h"

namespace {

TMaquina* raiz = nullptr;
RubroNegra<TMaquina> arvore(raiz);

void insere(TMaquina* z) {
    TMaquina* pai = nullptr;
    for (TMaquina* n = raiz; n != nullptr; n = z->ip < n->ip ? n->esq : n->dir)
        pai = n;
    z->pai = pai;
    z->esq = z->dir = nullptr;
    z->cor = 0;
    if (pai == nullptr)
        raiz = z;
    else if (z->ip < pai->ip)
        pai->esq = z;
    else
        pai->dir = z;
    arvore.corrigeInsercao(z);
}

}  // namespace

TMaquina::TMaquina(uint32_t ip) : ip(ip) {
    maquinas++;
    insere(this);
}

TMaquina::~TMaquina() {
    maquinas--;
    arvore.retira(this);
}

void TMaquina::cDispara() {
    // With clients left the record stays; the last client's departure
    // ends it, now that no wait is pending.
    cTerminaSeLivre();
}

bool TMaquina::cTerminaSeLivre() {
    // Armed rather than time left: a wait armed for 300 seconds reads 0
    // left during its first second and would be forgotten with the record.
    if (conexoes != 0 || pendentes != 0 || cArmado())
        return false;
    delete this;
    return true;
}

TMaquina* cBuscaMaquina(uint32_t ip) {
    TMaquina* n = raiz;
    while (n != nullptr && n->ip != ip)
        n = ip < n->ip ? n->esq : n->dir;
    return n;
}
