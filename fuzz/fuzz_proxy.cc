// Arbitrary bytes as the preamble of a forwarded connection. Whatever the
// parser answers must hold up: a header it takes lies within the bytes and
// the bound, reads the same from exactly its own bytes, and is no header
// yet (never a malformed one) at any shorter cut, as a proxy that sends it
// in pieces would see it.
#include <cstdint>
#include <cstdlib>

#include "admission/proxy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int32_t n = size > 4096 ? 4096 : int32_t(size);
    uint32_t ip = 0;
    int32_t usados = -1;
    CabecaProxy r = analisaCabecaProxy(data, n, &ip, &usados);
    if (r != CabecaProxy::kCliente && r != CabecaProxy::kProprio)
        return 0;
    if (usados < 1 || usados > n || usados > kCabecaProxyMax)
        abort();
    uint32_t ip2 = 0;
    int32_t usados2 = -1;
    if (analisaCabecaProxy(data, usados, &ip2, &usados2) != r || usados2 != usados ||
        (r == CabecaProxy::kCliente && ip2 != ip))
        abort();
    for (int32_t k = 0; k < usados; k++) {
        int32_t u = -1;
        if (analisaCabecaProxy(data, k, &ip2, &u) != CabecaProxy::kIncompleta)
            abort();
    }
    return 0;
}
