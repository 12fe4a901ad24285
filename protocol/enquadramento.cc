// Framing: the bytes of a client become lines of at most kLinhaMax
// characters. Either line end, or both in either order, ends a line;
// empty lines are never interpreted, control bytes are dropped, and while
// the registration dialogue collects information a line "." ends the
// block.
#include <cstring>

#include "protocol/cliente.h"
#include "registry/antecipa.h"

namespace {

// The length of the command word at p (ASCII letters in any case) and its
// blank when it is IP, LOGON or LOGOFF, whose users a batch looks up; else 0.
int32_t palavraQueBusca(const char* p, const char* fim) {
    char w[8];
    int32_t n = 0;
    while (n < 7 && p + n < fim && p[n] != ' ') {
        w[n] = char(p[n] | 0x20);
        n++;
    }
    if (p + n >= fim || p[n] != ' ')
        return 0;
    bool busca = (n == 2 && memcmp(w, "ip", 2) == 0) || (n == 5 && memcmp(w, "logon", 5) == 0) ||
                 (n == 6 && memcmp(w, "logoff", 6) == 0);
    return busca ? n + 1 : 0;
}

}  // namespace

void TCliente::cAntecipaUsuarios(const char* dados, int32_t len) {
    // Only a batch is worth the scan: one request has nothing to overlap.
    if (len < 64)
        return;
    constexpr int kMax = 32;
    const char* chaves[kMax];
    int32_t tamanhos[kMax];
    int n = 0;
    const char* fim = dados + len;
    for (const char* p = dados; p + 3 < fim;) {
        if (n == kMax) {
            // A receive holds some hundreds: hinted in groups, all fit in
            // the cache until they are answered.
            cAntecipaBuscas(chaves, tamanhos, n);
            n = 0;
        }
        if (int32_t palavra = palavraQueBusca(p, fim)) {
            // The key ends where the address token does: a blank, a
            // control byte, or the password's colon.
            const char* k = p + palavra;
            const char* e = k;
            while (e < fim && uint8_t(*e) > ' ' && *e != ':')
                e++;
            if (e < fim && e > k) {  // a key the receive cut off is left alone
                chaves[n] = k;
                tamanhos[n++] = int32_t(e - k);
            }
            p = e;
        }
        const char* nl = static_cast<const char*>(memchr(p, '\n', size_t(fim - p)));
        if (nl == nullptr)
            break;
        p = nl + 1;
    }
    if (n > 1)
        cAntecipaBuscas(chaves, tamanhos, n);
}

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
            if (estado == kInformacao && estadoLinha == 1) {
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
                cMuda(kBloco);
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
            if (estado != kInformacao) {
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
