// Life of a client object: it counts itself in usuarios and in its
// machine's conexoes from construction to destruction, and the last client
// of a machine without a pending registration wait takes the record along.
#include "protocol/cliente.h"

#include "config/config.h"
#include "protocol/maquina.h"

TCliente::TCliente(TMaquina* m) : maquina(m) {
    espera.dono = this;
    cMantemAposFim(true);  // a batch whose sender has finished is still answered
    usuarios++;
    m->conexoes++;
    cArma(config.maxtempo);  // clamped by the wheel; 0 or less: never times out
}

TCliente::~TCliente() {
    usuarios--;
    maquina->conexoes--;
    // Queued now, it leaves with the flush attempt of ~TComunica.
    if (depura)
        cEstatistica();
    // Armed rather than time left: a wait armed for 300 seconds reads 0
    // left during its first second and would be forgotten with the record.
    if (maquina->conexoes == 0 && !maquina->cArmado())
        delete maquina;
    delete[] retido;
    // The bases go next, TAlarme (the idle timer) before TComunica, whose
    // destructor makes one flush attempt and closes the socket.
}

void TCliente::cTempoEsgotado() {
    cEnvia("-Tempo esgotado\r\n", -1);
    delete this;
}
