// Framing: the bytes of a client become lines of at most kLinhaMax
// characters. Either line end, or both in either order, ends a line;
// empty lines are never interpreted, control bytes are dropped, and while
// the registration dialogue collects information a line "." ends the
// block.
#include "protocol/cliente.h"

bool TCliente::cProcessa(const char* dados, int32_t len) {
    for (int32_t i = 0; i < len; i++) {
        uint8_t b = uint8_t(dados[i]);
        if (tamanho == 0)
            estadoLinha = 0;
        if ((b == '\n' && fimLinha == '\r') || (b == '\r' && fimLinha == '\n')) {
            fimLinha = 0;  // second half of a line end
            continue;
        }
        if (b == '\r' || b == '\n') {
            if (tamanho == 0) {
                estadoLinha = 0;  // empty lines are never interpreted
                continue;
            }
            if (multilinha && estadoLinha == 1) {
                // The "." line ends the block: drop the dot (it may have been
                // dropped already if the block was full) and the LF before it.
                fimLinha = b;
                if (linha[tamanho - 1] == '.')
                    tamanho--;
                if (tamanho > 0 && linha[tamanho - 1] == '\n')
                    tamanho--;
                linha[tamanho] = 0;
                tamanho = 0;
                estadoLinha = 0;
                multilinha = false;
                Seguimento s = cLinhaCompleta(dados + i + 1, len - i - 1);
                if (s != kSegue)
                    return s == kRetido;
                continue;
            }
            if (linha[tamanho - 1] == '\n') {
                estadoLinha = 0;  // an empty information line is left out
                continue;
            }
            fimLinha = b;
            if (!multilinha) {
                linha[tamanho] = 0;
                tamanho = 0;
                estadoLinha = 0;
                Seguimento s = cLinhaCompleta(dados + i + 1, len - i - 1);
                if (s != kSegue)
                    return s == kRetido;  // gone: the rest of the bytes with it
            } else {
                estadoLinha = 0;
                if (tamanho < kLinhaMax)
                    linha[tamanho++] = '\n';
            }
            continue;
        }
        // Control bytes are dropped before they can count: a line that
        // reads "." without them ends an information block.
        if (b < 0x20)
            continue;
        estadoLinha = (estadoLinha == 0 && b == '.') ? 1 : 2;
        if (tamanho >= kLinhaMax)
            continue;
        linha[tamanho++] = char(b);
    }
    return true;
}
