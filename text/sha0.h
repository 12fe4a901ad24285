// SHA-0 (the hash as first published, without the rotation in the message
// schedule) and the password digest stored in the registry file.
#pragma once

#include <cstdint>

struct ShaContext {
    uint32_t h[5];
    uint32_t bitsLow, bitsHigh;
    uint8_t block[64];
};

// Stored form of a digest: H0..H4, each word least significant byte first.
// Registry files hold this order; it is not the published byte order.
typedef uint8_t PasswordDigest[20];

void shaInit(ShaContext* ctx);
// Absorbs len (>= 0) bytes. The system feeds a whole message at once.
void shaUpdate(ShaContext* ctx, const void* data, int32_t len);
// Pads and compresses the last block or two; h[] then holds the result.
void shaFinal(ShaContext* ctx);
// Compresses the sixteen big-endian words of ctx->block into h[].
void shaTransform(ShaContext* ctx);

// Digest of the bytes of a NUL-terminated text (terminator excluded).
void digestText(const char* text, uint8_t out[20]);
