// A single scan of the address, byte by byte.
#include "text/email.h"

#include <cstdint>

namespace {
// The longest address token REGISTER accepts; the record keeps its first 79.
constexpr int kEnderecoMaxAceito = 189;
}  // namespace

bool cEmailValido(const char* texto) {
    // States of the scan: before '@', after '@', after the first '.' that
    // follows it, complete (something after that '.').
    enum { kAntes, kDepoisArroba, kDepoisPonto, kCompleto } estado = kAntes;
    for (int i = 0; texto[i] != 0; i++) {
        if (i >= kEnderecoMaxAceito)
            return false;
        uint8_t c = uint8_t(texto[i]);
        if (c < 0x21 || c > 0x7F)
            return false;
        if (c == '@') {
            if (i == 0 || estado != kAntes)
                return false;
            estado = kDepoisArroba;
        } else if (estado == kDepoisArroba && c == '.') {
            estado = kDepoisPonto;
        } else if (estado == kDepoisPonto) {
            estado = kCompleto;
        }
    }
    return estado == kCompleto;
}
