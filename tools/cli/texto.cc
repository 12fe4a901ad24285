// Latin-1 <-> UTF-8 by hand: Latin-1 is the first 256 code points, so a
// byte is its own code point and each direction is a few lines.
#include "tools/cli/texto.h"

#include <langinfo.h>
#include <strings.h>

#include <cstdint>
#include <cstdio>

bool localeIsLatin1() {
    const char* nome = nl_langinfo(CODESET);
    if (nome == nullptr)
        return false;
    // glibc says "ISO-8859-1"; other C libraries drop the first dash.
    for (const char* latin : {"ISO-8859-1", "ISO8859-1", "ISO-8859-15", "ISO8859-15"})
        if (strcasecmp(nome, latin) == 0)
            return true;
    return false;
}

namespace {

bool refuse(std::string& erro, const char* porque, size_t coluna) {
    char texto[120];
    snprintf(texto, sizeof texto, "column %zu: %s; nothing was sent", coluna, porque);
    erro = texto;
    return false;
}

}  // namespace

bool toWire(const std::string& linha, bool utf8, std::string& saida, std::string& erro) {
    saida.clear();
    if (!utf8) {
        saida = linha;
        return true;
    }
    size_t coluna = 0;  // in characters, from 1, for the message
    for (size_t i = 0; i < linha.size();) {
        coluna++;
        const uint8_t b = uint8_t(linha[i]);
        if (b < 0x80) {
            saida += char(b);
            i++;
            continue;
        }
        // Length and smallest code point of each leading byte; anything
        // else (a continuation byte, 0xF8 and up) cannot start a character.
        int extra;
        uint32_t cp, minimo;
        if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1F, minimo = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0F, minimo = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07, minimo = 0x10000;
        } else {
            return refuse(erro, "not valid UTF-8", coluna);
        }
        if (linha.size() - i <= size_t(extra))
            return refuse(erro, "not valid UTF-8 (a character cut short)", coluna);
        for (int k = 1; k <= extra; k++) {
            const uint8_t c = uint8_t(linha[i + size_t(k)]);
            if ((c & 0xC0) != 0x80)
                return refuse(erro, "not valid UTF-8", coluna);
            cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms and surrogates are not UTF-8 either; refusing them
        // keeps one byte sequence per character.
        if (cp < minimo || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return refuse(erro, "not valid UTF-8", coluna);
        if (cp > 0xFF) {
            char porque[64];
            snprintf(porque, sizeof porque, "U+%04X is not in Latin-1, the server's character set", unsigned(cp));
            return refuse(erro, porque, coluna);
        }
        saida += char(cp);
        i += size_t(extra) + 1;
    }
    return true;
}

std::string fromWire(const std::string& bytes, bool utf8, bool forTerminal) {
    std::string s;
    s.reserve(bytes.size() + bytes.size() / 8);
    for (char ch : bytes) {
        const uint8_t b = uint8_t(ch);
        const bool controle = (b < 0x20 && b != '\t') || (b >= 0x7F && b < 0xA0);
        if (forTerminal && controle) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02X", unsigned(b));
            s += hex;
        } else if (utf8 && b >= 0x80) {
            s += char(0xC0 | (b >> 6));
            s += char(0x80 | (b & 0x3F));
        } else {
            s += char(b);
        }
    }
    return s;
}
