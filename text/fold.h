// Case- and accent-blind comparison of Latin-1 text. The one folding
// table is filled by buildFoldTable at start-up and only read afterwards.
#pragma once

#include <cstdint>
#include <cstring>

// Entry 0 means "not folded: the byte stands for itself".
extern uint8_t foldTable[256];

void buildFoldTable();

// A byte as the comparisons see it: its folded form, or the byte itself
// where the table says it stands for itself.
inline uint8_t fold(uint8_t b) {
    uint8_t f = foldTable[b];
    return f != 0 ? f : b;
}

// Eight bytes at once, each below 0x80, folded as fold() folds them: in
// that range only the letters A..Z fold, to a..z.
inline uint64_t foldAscii8(uint64_t x) {
    constexpr uint64_t kUns = 0x0101010101010101ull, kAltos = 0x8080808080808080ull;
    uint64_t desdeA = ((x | kAltos) - kUns * 'A') & kAltos;
    uint64_t depoisZ = ((x | kAltos) - kUns * ('Z' + 1)) & kAltos;
    return x + ((desdeA & ~depoisZ) >> 2);
}

// The eight bytes at p (all readable) as a word of a terminated key, its
// first byte in the low bits: cut after the terminator, folded; in fim the
// key's bytes in it (8: the key goes on). False when the word holds a byte
// from 0x80 up, or a blank or control byte before the terminator: such
// keys are for the byte loops.
inline bool foldedKeyWord(const char* p, uint64_t& palavra, int& fim) {
    constexpr uint64_t kUns = 0x0101010101010101ull, kAltos = 0x8080808080808080ull;
    uint64_t x;
    memcpy(&x, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    x = __builtin_bswap64(x);
#endif
    if ((x & kAltos) != 0)
        return false;
    uint64_t baixos = ~((x | kAltos) - kUns * 0x21) & kAltos;  // bytes below 0x21
    fim = 8;
    if (baixos != 0) {
        fim = __builtin_ctzll(baixos) / 8;
        if (((x >> (8 * fim)) & 0xFF) != 0)
            return false;
        x = fim == 0 ? 0 : x & (~uint64_t(0) >> (64 - 8 * fim));
    }
    palavra = foldAscii8(x);
    return true;
}

// Compares the first words of a and b under folding; a blank or the end
// ends each word. 0 when equal, -1 when a orders first, +1 otherwise.
int compareWord(const char* a, const char* b);

// Compares whole texts under folding; runs of blanks count as one and
// trailing blanks do not count. -1/0/+1 exactly: the index's tree relies
// on the sign.
int compareFolded(const char* a, const char* b);

// Whether needle occurs in haystack, ASCII letters matched without case,
// every other byte exactly. An empty needle is found everywhere.
bool containsNoCase(const char* needle, const char* haystack);

// Copies at most size - 1 characters and a terminator; size <= 0 writes
// nothing.
void copyBounded(char* dest, const char* src, int size);

// A text of a client's or of a file's choosing as a log line may show it:
// only bytes 0x21..0x7E pass, each other byte becomes '?', and it is cut
// to size - 1 characters; no text can end the line or pass for another
// field of it.
void copyPrintable(char* out, const char* text, int size);

// Copies src with its terminator and returns the terminator's position in
// dest. No bound: only for fixed texts known to fit.
char* copyString(char* dest, const char* src);

// Bytes after the last byte of a NUL-terminated field read from a file:
// the length of text in a field of `size` bytes, never past the field.
int boundedLength(const char* field, int size);
