// Framing: the bytes of a client become lines of at most kLinhaMax
// characters. Either line end, or both in either order, ends a line;
// empty lines are never interpreted, control bytes are dropped, and while
// the registration dialogue collects information a line "." ends the
// block.
#include <cstring>

#include "protocol/cliente.h"

bool TCliente::cProcessa(const char* dados, int32_t len) {
    for (int32_t i = 0; i < len; i++) {
        uint8_t b = uint8_t(dados[i]);
        if (b >= 0x20) {
            // A run of plain bytes, the bulk of every line, goes in one
            // copy; it is "." only when it is that one byte on a line of
            // its own so far.
            int32_t fim = i + 1;
            while (fim < len && uint8_t(dados[fim]) >= 0x20)
                fim++;
            if (tamanho == 0)
                estadoLinha = 0;
            estadoLinha = (estadoLinha == 0 && fim - i == 1 && b == '.') ? 1 : 2;
            int32_t n = fim - i < kLinhaMax - tamanho ? fim - i : kLinhaMax - tamanho;
            memcpy(linha + tamanho, dados + i, size_t(n));
            tamanho = uint16_t(tamanho + n);
            i = fim - 1;
            continue;
        }
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
    }
    return true;
}
