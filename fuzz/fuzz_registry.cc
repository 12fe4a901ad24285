// Arbitrary registry file contents: loaded with cCarrega, then a few
// commands through a client and a full ageing pass that expires almost
// everybody. Afterwards the index and the file must agree. The input is
// the file; the commands are fixed.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "engine/clock.h"
#include "fuzz/support.h"
#include "protocol/cliente.h"
#include "admission/maquina.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/fold.h"

namespace {

// REMOVE, LOGON and DATE of whoever comes first in the file, a FIND over
// everybody, and a fresh registration.
// The client of the commands while they run: an exitServer that jumps
// back out of them leaves it to be ended here.
TCliente* emCurso = nullptr;

void comandos(const uint8_t* data, size_t size) {
    char email[80] = "ninguem@exemplo.com";
    if (size >= 80) {
        memcpy(email, data, 79);
        email[79] = 0;
        for (char* q = email; *q; q++)
            if (uint8_t(*q) <= 0x20)
                *q = 'x';  // one token on the command line
        if (email[0] == 0)
            strcpy(email, "x");
    }
    TCliente* c = emCurso = new TCliente(new TMaquina(0x0900007F));
    char lixo[TComunica::kRing];
    auto envia = [&](const char* texto) {
        c->cEvento(texto, int32_t(strlen(texto)));
        c->takePending(lixo, sizeof lixo);
        for (int i = 0; i < 50 && c->emLista(); i++) {  // let a listing run to its end
            c->cEvento(nullptr, kEventoEsvaziada);
            c->takePending(lixo, sizeof lixo);
        }
    };
    char linha[200];
    envia("vrelk\r\n");
    snprintf(linha, sizeof linha, "LOGON %s nota\r\n", email);
    envia(linha);
    snprintf(linha, sizeof linha, "GET %s\r\nFIND @\r\n", email);
    envia(linha);
    snprintf(linha, sizeof linha, "DATE %s 01/01/2000 10:00\r\n", email);
    envia(linha);
    envia("REGISTER novo@exemplo.com:s\r\nNovo\r\ninfo\r\n.\r\n");
    snprintf(linha, sizeof linha, "REMOVE %s\r\n", email);
    envia(linha);
    emCurso = nullptr;
    c->cEvento(nullptr, kEventoFechada);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    preparaUmaVez();
    saidaInconsistenteEsperada = true;
    config.maxtempo = 0;
    config.regtempo = 0;
    config.diasreg = 1;
    copyBounded(config.senhaadm, "vrelk", sizeof config.senhaadm);  // the commands unlock with it
    config.penalidade = 0;  // a failed REGISTER would hold the commands after it
    minuteClock = 216000000;

    int fd = open(registryFileName, O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, data, size) != ssize_t(size))
        abort();
    close(fd);

    if (setjmp(saida) == 0) {
        if (registro.cCarrega()) {
            confereRegistro(false);
            comandos(data, size);
            confereRegistro(false);
            registro.primeiraPassagem = true;
            minuteClock = 0xFFFFF000u;  // beyond nearly every stored date plus a day
            int32_t antes = indice.registros;
            registro.cEnvelhece(minuteClock);
            // A removal truncates, and then the file is exact; so is a
            // file that held only whole records.
            confereRegistro(indice.registros < antes || size % registro_campo::kRecord == 0);
        }
    }
    if (emCurso != nullptr) {
        delete emCurso;
        emCurso = nullptr;
    }
    if (usuarios != 0 || maquinas != 0)
        abort();
    zeraRegistro();
    return 0;
}
