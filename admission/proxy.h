// The PROXY protocol, versions 1 (text) and 2 (binary): the header a proxy
// or load balancer sends first on a connection it forwards, naming the
// client it forwards. Only connections from config.proxies are read so.
#pragma once

#include <cstdint>

enum class CabecaProxy : uint8_t {
    kIncompleta,  // no header yet, and nothing wrong so far: more bytes needed
    kMalformada,  // not a header of either version, or one too long
    kCliente,     // an IPv4 client: its address in *ip
    kProprio,     // the proxy speaks for itself (v1 UNKNOWN, v2 LOCAL), or for a
                  // client of another family: the proxy's own address stands
};

// Reads a header at the start of dados (n bytes). With kCliente and
// kProprio, *usados is the header's length: the client's own bytes follow.
// ip is in network order, as every address of the server.
CabecaProxy analisaCabecaProxy(const uint8_t* dados, int32_t n, uint32_t* ip, int32_t* usados);

// The largest header taken, in bytes: a version 2 header may carry
// extensions after the addresses, and one longer than this is refused.
constexpr int32_t kCabecaProxyMax = 1024;
