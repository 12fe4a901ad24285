// Folding table and the comparisons built on it. Only the bytes listed in
// buildFoldTable fold; Õ, ç against c and every other byte stay distinct.
#include "text/fold.h"

uint8_t foldTable[256];

void buildFoldTable() {
    for (int i = 0; i < 256; i++)
        foldTable[i] = 0;
    for (int c = 'a'; c <= 'z'; c++) {
        foldTable[c] = static_cast<uint8_t>(c);
        foldTable[c - 'a' + 'A'] = static_cast<uint8_t>(c);
    }
    // Six targets walked in step with six source lists; Õ (0xD5) is
    // deliberately absent from the o list.
    static const uint8_t targets[6] = {'a', 'e', 'i', 'o', 'u', 0xE7};
    static const char* const sources[6] = {
        "\xE3\xE1\xE0\xE2\xC2\xC3\xC1\xC0",
        "\xEA\xE9\xE8\xCA\xC9\xC8",
        "\xEE\xED\xEC\xCE\xCD\xCC",
        "\xF4\xF5\xF3\xF2\xD4\xD3\xD2",
        "\xFB\xFA\xF9\xDB\xDA\xD9",
        "\xE7\xC7",
    };
    for (int n = 0; n < 6; n++)
        for (const char* s = sources[n]; *s != 0; s++)
            foldTable[static_cast<uint8_t>(*s)] = targets[n];
    for (const char* s = "#$&'-0123456789@~"; *s != 0; s++)
        foldTable[static_cast<uint8_t>(*s)] = static_cast<uint8_t>(*s);
}

int compareWord(const char* a, const char* b) {
    for (int i = 0;; i++) {
        uint8_t x = fold(static_cast<uint8_t>(a[i]));
        uint8_t y = fold(static_cast<uint8_t>(b[i]));
        if (x == ' ')
            x = 0;
        if (y == ' ')
            y = 0;
        if (x == 0)
            return y == 0 ? 0 : -1;
        if (x != y)
            return x < y ? -1 : 1;
    }
}

int compareFolded(const char* a, const char* b) {
    for (;;) {
        // Most of a comparison walks a shared prefix: the same byte on both
        // sides, neither a blank nor the end, always folds equal.
        while (*a == *b && *a != ' ' && *a != 0) {
            a++;
            b++;
        }
        if (*a == ' ' && *b == ' ') {
            while (*a == ' ')
                a++;
            while (*b == ' ')
                b++;
        }
        if (*a == 0) {
            while (*b == ' ')
                b++;
        } else if (*b == 0 && *a == ' ') {
            while (*a == ' ')
                a++;
        }
        uint8_t x = fold(static_cast<uint8_t>(*a));
        uint8_t y = fold(static_cast<uint8_t>(*b));
        if (x != 0 && x == y) {
            a++;
            b++;
            continue;
        }
        if (x == 0)
            return y == 0 ? 0 : -1;
        return x < y ? -1 : 1;
    }
}

static inline uint8_t asciiLower(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + ('a' - 'A')) : c;
}

bool containsNoCase(const char* needle, const char* haystack) {
    if (*needle == 0)
        return true;
    for (const char* start = haystack; *start != 0; start++) {
        const char* n = needle;
        const char* h = start;
        for (;;) {
            if (*n == 0)
                return true;
            if (*h == 0)
                return false;
            if (asciiLower(static_cast<uint8_t>(*n)) != asciiLower(static_cast<uint8_t>(*h)))
                break;
            n++;
            h++;
        }
    }
    return false;
}

void copyBounded(char* dest, const char* src, int size) {
    if (size <= 0)
        return;
    int i = 0;
    for (; i < size - 1 && src[i] != 0; i++)
        dest[i] = src[i];
    dest[i] = 0;
}

char* copyString(char* dest, const char* src) {
    while ((*dest = *src) != 0) {
        dest++;
        src++;
    }
    return dest;
}

int boundedLength(const char* field, int size) {
    int n = 0;
    while (n < size && field[n] != 0)
        n++;
    return n;
}

void copyPrintable(char* out, const char* text, int size) {
    if (size <= 0)
        return;
    int n = 0;
    for (; n < size - 1 && text[n] != 0; n++) {
        uint8_t b = uint8_t(text[n]);
        out[n] = b >= 0x21 && b <= 0x7E ? char(b) : '?';
    }
    out[n] = 0;
}
