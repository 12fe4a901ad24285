// Arbitrary bytes into the framing and the interpreter of up to two
// clients without sockets, over a registry in a temporary file. The text
// comes from the front of the input; the choices (piece sizes, drained
// events, clock and wheel steps, closes) from its back, so a plain
// dialogue is already a useful seed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "config/config.h"
#include "engine/alarme.h"
#include "engine/clock.h"
#include "fuzz/support.h"
#include "protocol/cliente.h"
#include "admission/maquina.h"
#include "operations/penalidade.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/fold.h"

namespace {

// Clears its slot when it goes, however it goes (QUIT, time-out, close).
struct Cliente : TCliente {
    Cliente(TMaquina* m, Cliente** s) : TCliente(m), slot(s) { *slot = this; }
    ~Cliente() override { *slot = nullptr; }
    Cliente** slot;
};

Cliente* clientes[2];
const uint32_t kIps[3] = {0x0900007F, 0x0A00007F, 0x0B00007F};  // 127.0.0.9..11, network order

void novoCliente(int i, uint8_t qual) {
    uint32_t ip = kIps[qual % 3];
    TMaquina* m = cBuscaMaquina(ip);
    if (m == nullptr)
        m = new TMaquina(ip);
    new Cliente(m, &clientes[i]);
}

void descarta(Cliente* c, int32_t max) {
    char lixo[TComunica::kRing];
    c->takePending(lixo, max);
}

// Closes both clients and lets every machine's registration wait run out.
void encerra() {
    for (Cliente*& c : clientes)
        if (c != nullptr)
            c->cEvento(nullptr, kEventoFechada);
    clockSeconds += 301;
    wheelAdvance(300);
    wheelAdvance(1);
    if (usuarios != 0 || maquinas != 0)
        abort();  // a client or machine record outlived its rules
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    preparaUmaVez();
    saidaInconsistenteEsperada = false;
    FuzzedDataProvider p(data, size);
    config.maxtempo = p.ConsumeIntegralInRange<int32_t>(0, 20);
    config.regtempo = p.ConsumeIntegralInRange<int32_t>(0, 20);
    config.diasreg = p.ConsumeIntegralInRange<int32_t>(-1, 3);
    config.ativomin = p.ConsumeIntegralInRange<int32_t>(1, 30);
    config.penalidade = p.ConsumeIntegralInRange<int32_t>(0, 3);
    // The seeds unlock with this word; nothing is built in any more.
    copyBounded(config.senhaadm, "vrelk", sizeof config.senhaadm);
    minuteClock = 216000000;
    clockSecond = 0;
    clockSeconds = 1000;
    penalidadeZera();  // every input starts with no address in penalty

    if (setjmp(saida) == 0) {
        novoCliente(0, 0);
        for (int passos = 0; p.remaining_bytes() > 0 && passos < 4000; passos++) {
            uint8_t op = p.ConsumeIntegral<uint8_t>();
            int i = op & 1;
            if (clientes[i] == nullptr) {
                novoCliente(i, op >> 6);
                continue;
            }
            switch ((op >> 1) % 16) {
            default: {  // a piece of input, at most what one read delivers
                // The engine reads nothing while the client holds input
                // back, nor after the peer's end of stream.
                if (clientes[i]->suspensa() || clientes[i]->pedidosEncerrados())
                    break;
                size_t n = p.ConsumeIntegralInRange<size_t>(1, (op & 0x80) ? 2048 : 64);
                // A plain array: STOP jumps out of cEvento past any destructor.
                char pedaco[2048];
                size_t lidos = p.ConsumeData(pedaco, n);
                if (lidos == 0)
                    break;
                clientes[i]->cEvento(pedaco, int32_t(lidos));
                break;
            }
            case 0:
            case 1:
            case 2:  // everything sent, then the drained event
                descarta(clientes[i], TComunica::kRing);
                clientes[i]->cEvento(nullptr, kEventoEsvaziada);
                break;
            case 3:  // a slow reader takes part of it
                descarta(clientes[i], p.ConsumeIntegralInRange<int32_t>(0, 300));
                break;
            case 4:
                minuteClock += p.ConsumeIntegralInRange<uint32_t>(0, 6 * 1440);
                break;
            case 5: {  // time passes: the pass clock with the wheel, as clockRefresh turns them
                int segundos = p.ConsumeIntegralInRange<int>(1, 30);
                clockSeconds += segundos;
                wheelAdvance(segundos);
                break;
            }
            case 6:  // the connection breaks
                clientes[i]->cEvento(nullptr, kEventoFechada);
                break;
            case 7:  // the peer has finished sending (may end the client)
                if (!clientes[i]->pedidosEncerrados())
                    clientes[i]->cEvento(nullptr, kEventoFimDaEntrada);
                break;
            }
        }
    }
    // Here too after STOP: the rest of the input is abandoned.
    for (Cliente* c : clientes)
        if (c != nullptr)
            descarta(c, TComunica::kRing);
    encerra();
    confereRegistro(true);
    zeraRegistro();
    return 0;
}
