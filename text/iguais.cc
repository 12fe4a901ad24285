// Every byte pair is folded into one accumulator and only the total is
// tested, so the loop has no branch that depends on the data.
#include "text/iguais.h"

#include <cstdint>

bool equalConstantTime(const void* a, const void* b, size_t n) {
    // Read through volatile: the compiler may not turn the loop into one
    // that stops at the first difference.
    const volatile uint8_t* x = static_cast<const volatile uint8_t*>(a);
    const volatile uint8_t* y = static_cast<const volatile uint8_t*>(b);
    uint8_t diferenca = 0;
    for (size_t i = 0; i < n; i++)
        diferenca = uint8_t(diferenca | (x[i] ^ y[i]));
    return diferenca == 0;
}
