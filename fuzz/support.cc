// The fuzz targets link with -Wl,--wrap=<exitServer>: STOP after the
// unlock and the registry's disagreement (the server's handler, set here
// as main sets it) both reach __wrap_exitServer, which
// jumps back to the target's setjmp instead of ending the process. The
// target then abandons the rest of that input and resets everything, so
// the administration paths are fuzzed like any other.
#include "fuzz/support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "config/config.h"
#include "engine/platform.h"
#include "protocol/envelhecimento.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/fold.h"

jmp_buf saida;
int statusSaida = 0;
bool saidaInconsistenteEsperada = false;

// exitServer(int) under its mangled name, as the linker sees it.
extern "C" [[noreturn]] void __wrap__Z10exitServeri(int status) {
    if (status != 0 && !saidaInconsistenteEsperada) {
        fprintf(stderr, "exitServer(%d): index and file disagree\n", status);
        abort();
    }
    statusSaida = status;
    longjmp(saida, 1);
}

void preparaUmaVez() {
    static bool feito = false;
    if (feito)
        return;
    feito = true;
    buildFoldTable();
    // Memory-backed when there is one: every ageing pass after a write
    // syncs the file, which on a disk would dominate each run.
    char modelo[] = "/dev/shm/quelta-fuzz-XXXXXX";
    if (mkdtemp(modelo) == nullptr) {
        strcpy(modelo, "/tmp/quelta-fuzz-XXXXXX");
        if (mkdtemp(modelo) == nullptr)
            abort();
    }
    snprintf(registryFileName, sizeof registryFileName, "%s/quelta.sav", modelo);
    registro.aoDiscordar = registroDiscordante;
    if (!registro.cCarrega())
        abort();
}

void zeraRegistro() {
    indice.reset();
    registro.cTrunca(0);
    registro.cSoltaMapa();
    if (registro.fd != -1)
        platformCloseFile(registro.fd);
    registro.fd = -1;
    registro.truncaPendente = false;
    registro.gravouDesdePassagem = false;
    registro.primeiraPassagem = true;
    registro.discordam = false;
    if (indice.registros != 0)
        abort();
}

void confereRegistro(bool exato) {
    std::set<uint32_t> posicoes;
    int32_t contados = 0;
    for (TUsuario* no = cPrimeiro(); no != nullptr; no = cProximo(no)) {
        contados++;
        uint32_t p = no->cPosicao();
        if (p >= uint32_t(indice.registros) || !posicoes.insert(p).second) {
            fprintf(stderr, "posicao %u repeated or not below %d\n", p, indice.registros);
            abort();
        }
        if (!registro.cLe(no)) {
            fprintf(stderr, "slot %u unreadable\n", p);
            abort();
        }
        if (compareFolded(registro.email(), no->email()) != 0 || registro.data() != no->data ||
            registro.estado() != no->estado || registro.ip() != no->ip || strcmp(registro.nome(), no->nome) != 0) {
            fprintf(stderr, "node %s and its record in slot %u differ\n", no->email(), p);
            abort();
        }
        // A lookup of the node's own key meets what the tree's descent
        // meets, whether the hash table or the tree answered it: cAPartir
        // descends alike and stops at the first equal node on its path.
        if (no->email()[0] != ' ' && no->email()[0] != 0) {
            TUsuario* pelaArvore = cAPartir(no->email());
            if (pelaArvore != nullptr && compareFolded(no->email(), pelaArvore->email()) != 0)
                pelaArvore = nullptr;
            if (cBusca(no->email()) != pelaArvore) {
                fprintf(stderr, "lookup of %s disagrees with the tree\n", no->email());
                abort();
            }
        }
    }
    if (contados != indice.registros) {
        fprintf(stderr, "%d nodes, registros %d\n", contados, indice.registros);
        abort();
    }
    int fd = platformOpenReadOnly(registryFileName);
    int64_t tamanho = fd < 0 ? -1 : platformFileSize(fd);
    if (fd >= 0)
        platformCloseFile(fd);
    int64_t esperado = int64_t(indice.registros) * registro_campo::kRecord;
    if (exato ? tamanho != esperado : tamanho / registro_campo::kRecord != indice.registros) {
        fprintf(stderr, "file of %lld bytes for %d records\n", (long long)tamanho, indice.registros);
        abort();
    }
}
