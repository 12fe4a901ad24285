// Parsing of PROXY protocol headers. Version 1 is one line of at most 107
// bytes, "PROXY TCP4 <source> <destination> <port> <port>\r\n" (or TCP6, or
// UNKNOWN and anything up to the line end); version 2 is a 16-byte block
// (signature, version and command, family, length) and the addresses.
#include "admission/proxy.h"

#include <cstring>

namespace {

const uint8_t kAssinatura[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr int32_t kLinhaV1Max = 107;

// Four numbers 0..255 joined by dots, the first n bytes of p and nothing
// else; in network order (the numbers in memory order).
bool enderecoV1(const char* p, int32_t n, uint32_t* ip) {
    uint8_t b[4];
    int32_t i = 0;
    for (int k = 0; k < 4; k++) {
        int32_t v = 0, digitos = 0;
        while (i < n && p[i] >= '0' && p[i] <= '9' && digitos < 3) {
            v = v * 10 + (p[i++] - '0');
            digitos++;
        }
        if (digitos == 0 || v > 255 || (k < 3 && (i >= n || p[i++] != '.')))
            return false;
        b[k] = uint8_t(v);
    }
    if (i != n)
        return false;
    memcpy(ip, b, 4);
    return true;
}

// A port: one to five decimal digits, at most 65535.
bool portaV1(const char* p, int32_t n) {
    if (n < 1 || n > 5)
        return false;
    int32_t v = 0;
    for (int32_t i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9')
            return false;
        v = v * 10 + (p[i] - '0');
    }
    return v <= 65535;
}

// An IPv6 address as text: up to eight groups of one to four hex digits
// joined by ':', one "::" standing for the groups left out, and the last
// two groups possibly written as a dotted IPv4 address. Nothing else.
bool enderecoV6(const char* p, int32_t n) {
    int32_t grupos = 0, i = 0;
    bool abreviado = false;
    if (n >= 2 && p[0] == ':' && p[1] == ':') {
        abreviado = true;
        i = 2;
    }
    while (i < n) {
        int32_t j = i;
        while (j < n && j - i < 5 && ((p[j] >= '0' && p[j] <= '9') || ((p[j] | 0x20) >= 'a' && (p[j] | 0x20) <= 'f')))
            j++;
        if (j < n && p[j] == '.') {  // the dotted tail: the last 32 bits
            uint32_t ip;
            return grupos <= (abreviado ? 5 : 6) && enderecoV1(p + i, n - i, &ip);
        }
        if (j == i || j - i > 4 || ++grupos > 8)
            return false;
        if (j == n)
            break;
        if (p[j] != ':' || j + 1 == n)
            return false;
        i = j + 1;
        if (p[i] == ':') {
            if (abreviado)
                return false;
            abreviado = true;
            i++;
        }
    }
    return abreviado ? grupos < 8 : grupos == 8;
}

// A source address a client can have: not 0.0.0.0/8 ("this network"), and
// neither multicast nor the reserved block that ends in the broadcast
// address. A header that claims one of those is lying or broken, and the
// address would be recorded as a client's.
bool origemPossivel(uint32_t ip) {
    uint8_t primeiro;
    memcpy(&primeiro, &ip, 1);  // network order: the first number first
    return primeiro != 0 && primeiro < 224;
}

CabecaProxy versao1(const uint8_t* dados, int32_t n, uint32_t* ip, int32_t* usados) {
    const char* t = reinterpret_cast<const char*>(dados);
    int32_t fim = 0;
    while (fim + 1 < n && !(t[fim] == '\r' && t[fim + 1] == '\n'))
        fim++;
    if (fim + 1 >= n)
        return n >= kLinhaV1Max ? CabecaProxy::kMalformada : CabecaProxy::kIncompleta;
    if (fim + 2 > kLinhaV1Max)
        return CabecaProxy::kMalformada;
    *usados = fim + 2;
    // The words after "PROXY ": protocol, source, destination and ports.
    const char* palavras[6];
    int32_t tamanhos[6];
    int32_t k = 0;
    for (int32_t i = 6; i < fim && k < 6;) {
        int32_t j = i;
        while (j < fim && t[j] != ' ')
            j++;
        palavras[k] = t + i;
        tamanhos[k++] = j - i;
        i = j + 1;
    }
    if (k >= 1 && tamanhos[0] == 7 && memcmp(palavras[0], "UNKNOWN", 7) == 0)
        return CabecaProxy::kProprio;
    if (k != 5)
        return CabecaProxy::kMalformada;
    if (!portaV1(palavras[3], tamanhos[3]) || !portaV1(palavras[4], tamanhos[4]))
        return CabecaProxy::kMalformada;
    if (tamanhos[0] == 4 && memcmp(palavras[0], "TCP6", 4) == 0)
        return enderecoV6(palavras[1], tamanhos[1]) && enderecoV6(palavras[2], tamanhos[2]) ? CabecaProxy::kProprio
                                                                                             : CabecaProxy::kMalformada;
    uint32_t destino;
    if (tamanhos[0] != 4 || memcmp(palavras[0], "TCP4", 4) != 0 || !enderecoV1(palavras[1], tamanhos[1], ip) ||
        !enderecoV1(palavras[2], tamanhos[2], &destino) || !origemPossivel(*ip))
        return CabecaProxy::kMalformada;
    return CabecaProxy::kCliente;
}

CabecaProxy versao2(const uint8_t* dados, int32_t n, uint32_t* ip, int32_t* usados) {
    if (n < 16)
        return CabecaProxy::kIncompleta;
    int32_t tamanho = 16 + (int32_t(dados[14]) << 8 | dados[15]);
    uint8_t versao = dados[12] >> 4, comando = dados[12] & 0x0F, familia = dados[13] >> 4;
    if (versao != 2 || comando > 1 || tamanho > kCabecaProxyMax)
        return CabecaProxy::kMalformada;
    if (n < tamanho)
        return CabecaProxy::kIncompleta;
    *usados = tamanho;
    if (comando == 0 || familia != 1)
        return CabecaProxy::kProprio;  // LOCAL, or not IPv4
    if (tamanho < 16 + 12)
        return CabecaProxy::kMalformada;  // IPv4 needs two addresses and two ports
    memcpy(ip, dados + 16, 4);
    return origemPossivel(*ip) ? CabecaProxy::kCliente : CabecaProxy::kMalformada;
}

}  // namespace

CabecaProxy analisaCabecaProxy(const uint8_t* dados, int32_t n, uint32_t* ip, int32_t* usados) {
    // Whatever has come so far must be the start of one of the two.
    const char kV1[] = "PROXY ";
    int32_t v1 = n < 6 ? n : 6;
    if (memcmp(dados, kV1, size_t(v1)) == 0)
        return n < 6 ? CabecaProxy::kIncompleta : versao1(dados, n, ip, usados);
    int32_t v2 = n < 12 ? n : 12;
    if (memcmp(dados, kAssinatura, size_t(v2)) == 0)
        return n < 12 ? CabecaProxy::kIncompleta : versao2(dados, n, ip, usados);
    return CabecaProxy::kMalformada;
}
