// SHA-0 compression and padding. Block words are read big-endian whatever
// the host; only the stored digest is written least significant byte first.
#include "text/sha0.h"

#include <cstring>

static inline uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void shaInit(ShaContext* ctx) {
    ctx->h[0] = 0x67452301u;
    ctx->h[1] = 0xEFCDAB89u;
    ctx->h[2] = 0x98BADCFEu;
    ctx->h[3] = 0x10325476u;
    ctx->h[4] = 0xC3D2E1F0u;
    ctx->bitsLow = 0;
    ctx->bitsHigh = 0;
}

void shaTransform(ShaContext* ctx) {
    uint32_t w[80];
    for (int t = 0; t < 16; t++) {
        const uint8_t* p = ctx->block + 4 * t;
        w[t] = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    }
    // The one difference from SHA-1: no rotation of the expanded word.
    for (int t = 16; t < 80; t++)
        w[t] = w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16];

    uint32_t a = ctx->h[0], b = ctx->h[1], c = ctx->h[2], d = ctx->h[3], e = ctx->h[4];
    for (int t = 0; t < 80; t++) {
        uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        uint32_t temp = rol(a, 5) + f + e + w[t] + k;
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = temp;
    }
    ctx->h[0] += a;
    ctx->h[1] += b;
    ctx->h[2] += c;
    ctx->h[3] += d;
    ctx->h[4] += e;
}

void shaUpdate(ShaContext* ctx, const void* data, int32_t len) {
    if (len <= 0)
        return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    // Bytes already waiting in the block, for a context fed more than once.
    uint32_t held = (ctx->bitsLow >> 3) & 63;
    uint32_t low = ctx->bitsLow + (uint32_t(len) << 3);
    if (low < ctx->bitsLow)
        ctx->bitsHigh++;
    ctx->bitsLow = low;
    ctx->bitsHigh += uint32_t(len) >> 29;

    uint32_t n = uint32_t(len);
    if (held != 0) {
        uint32_t take = 64 - held;
        if (take > n)
            take = n;
        memcpy(ctx->block + held, p, take);
        p += take;
        n -= take;
        if (held + take < 64)
            return;
        shaTransform(ctx);
    }
    while (n >= 64) {
        memcpy(ctx->block, p, 64);
        shaTransform(ctx);
        p += 64;
        n -= 64;
    }
    memcpy(ctx->block, p, n);
}

void shaFinal(ShaContext* ctx) {
    uint32_t r = (ctx->bitsLow >> 3) & 63;
    ctx->block[r] = 0x80;
    if (r + 1 > 56) {
        memset(ctx->block + r + 1, 0, 64 - (r + 1));
        shaTransform(ctx);
        memset(ctx->block, 0, 56);
    } else {
        memset(ctx->block + r + 1, 0, 56 - (r + 1));
    }
    const uint32_t len[2] = {ctx->bitsHigh, ctx->bitsLow};
    for (int i = 0; i < 2; i++) {
        uint8_t* q = ctx->block + 56 + 4 * i;
        q[0] = uint8_t(len[i] >> 24);
        q[1] = uint8_t(len[i] >> 16);
        q[2] = uint8_t(len[i] >> 8);
        q[3] = uint8_t(len[i]);
    }
    shaTransform(ctx);
}

void digestText(const char* text, uint8_t out[20]) {
    ShaContext ctx;
    shaInit(&ctx);
    shaUpdate(&ctx, text, int32_t(strlen(text)));
    shaFinal(&ctx);
    for (int i = 0; i < 5; i++) {
        out[4 * i + 0] = uint8_t(ctx.h[i]);
        out[4 * i + 1] = uint8_t(ctx.h[i] >> 8);
        out[4 * i + 2] = uint8_t(ctx.h[i] >> 16);
        out[4 * i + 3] = uint8_t(ctx.h[i] >> 24);
    }
}

