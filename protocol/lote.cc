// Replies that wait for the batch: where each lies in its client's output,
// so that a failed change can have its reply replaced before it leaves.
#include "protocol/lote.h"

#include <cassert>
#include <cstring>
#include <vector>

#include "engine/comunica.h"
#include "protocol/cliente.h"
#include "protocol/comandos.h"
#include "registry/registro.h"

namespace {

const char kErroInterno[] = "-Erro interno\r\n";

struct Espera {
    TCliente* cliente;  // null once the client has ended
    uint32_t fim;       // the reply's end, as TComunica::enfileirados
    uint8_t tamanho;
    int32_t mudanca;
};
std::vector<Espera> esperas;

// The change whose reply is being queued: -2 once its batch was written
// meanwhile (making room for the reply sends nothing, but say it did),
// its outcome in emCursoGravou.
int32_t emCurso = -1;
bool emCursoGravou = false;

void falhou(TCliente& c, uint32_t fim, uint8_t tamanho) {
    c.cTroca(fim, tamanho, kErroInterno, int32_t(sizeof kErroInterno - 1));
}

void aoGravar(const bool* gravou, int32_t n) {
    if (emCurso >= 0 && emCurso < n) {
        emCursoGravou = gravou[emCurso];
        emCurso = -2;
    }
    // The latest first: a shorter reply moves up only what came after it,
    // so the places of the earlier ones stay as they were noted.
    for (size_t i = esperas.size(); i-- > 0;) {
        Espera& e = esperas[i];
        if (e.cliente == nullptr)
            continue;
        e.cliente->respostasNoLote = 0;
        if (!gravou[e.mudanca])
            falhou(*e.cliente, e.fim, e.tamanho);
    }
    esperas.clear();
}

void escreveLote() {
    antesDeEnviar = nullptr;
    registro.cGravaLote();
}

}  // namespace

void respondeNoLote(TCliente& c, int32_t mudanca, const char* texto) {
    if (mudanca < 0) {
        responde(c, kErroInterno);
        return;
    }
    registro.aoGravarLote = aoGravar;
    // Clients queue at send level 4, where making room never serves
    // another connection: no reply of the batch is queued inside another.
    assert(emCurso == -1);
    emCurso = mudanca;
    responde(c, texto);
    uint8_t tamanho = uint8_t(strlen(texto));
    if (emCurso == -2) {
        emCurso = -1;
        if (!emCursoGravou)
            falhou(c, c.enfileirados(), tamanho);
        return;
    }
    emCurso = -1;
    esperas.push_back(Espera{&c, c.enfileirados(), tamanho, mudanca});
    c.respostasNoLote++;
    antesDeEnviar = escreveLote;
}

void loteAntesDoFim(TCliente& c) {
    if (c.respostasNoLote == 0)
        return;
    escreveLote();  // its replies are settled, and the list emptied
}
