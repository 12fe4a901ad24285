// Pieces shared by check, dump and load.
#include "tools/records.h"

#include <cstdio>
#include <cstring>

#include "text/fold.h"
#include "util/calendario.h"

void complain(const std::string& text) { fprintf(stderr, "quelta-registry: %s\n", text.c_str()); }

bool fieldTerminated(const uint8_t* rec, int offset, int length) {
    return memchr(rec + offset, 0, size_t(length)) != nullptr;
}

std::string foldedKey(const std::string& text) {
    // Sorting by compareFolded itself would need a consistent order, and
    // among texts with blanks or control bytes (found in damaged files) it
    // has none. This form orders every text consistently, byte by byte.
    std::string key;
    key.reserve(text.size());
    size_t blanks = 0;
    for (unsigned char c : text) {
        if (c == ' ') {
            blanks++;
            continue;
        }
        if (blanks > 0)
            key += ' ';
        blanks = 0;
        key += char(fold(c));
    }
    return key;
}

std::string latin1ToUtf8(const std::string& latin1) {
    std::string out;
    out.reserve(latin1.size() + latin1.size() / 8);
    for (unsigned char c : latin1) {
        if (c < 0x80) {
            out += char(c);
        } else {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool utf8ToLatin1(const std::string& utf8, std::string& latin1, std::string& why) {
    latin1.clear();
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = uint8_t(utf8[i]);
        uint32_t cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            len = 4;
        } else {
            why = "is not UTF-8";
            return false;
        }
        if (i + len > utf8.size()) {
            why = "is not UTF-8";
            return false;
        }
        for (size_t k = 1; k < len; k++) {
            unsigned char d = uint8_t(utf8[i + k]);
            if ((d & 0xC0) != 0x80) {
                why = "is not UTF-8";
                return false;
            }
            cp = (cp << 6) | (d & 0x3F);
        }
        if (cp == 0) {
            why = "holds a NUL character";
            return false;
        }
        if (cp > 0xFF) {
            char u[16];
            snprintf(u, sizeof u, "U+%04X", unsigned(cp));
            why = std::string("holds ") + u + ", which Latin-1 cannot store";
            return false;
        }
        latin1 += char(cp);
        i += len;
    }
    return true;
}

size_t findControlByte(const std::string& text, char allowed) {
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = uint8_t(text[i]);
        if ((c < 0x20 || c == 0x7F) && text[i] != allowed)
            return i;
    }
    return std::string::npos;
}

std::string quoteBytes(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += char(c);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", unsigned(c));
            out += hex;
        }
    }
    return out + "\"";
}

std::string formatDate(uint32_t minutes) {
    int32_t day, month, year;
    minutesToDate(minutes, day, month, year);
    char text[32];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02u:%02u", int(year), int(month), int(day),
             unsigned(minutes % 1440 / 60), unsigned(minutes % 60));
    return text;
}

namespace {

// Exactly `digits` decimal digits at text[at].
bool digitsAt(const std::string& text, size_t at, int digits, int32_t& value) {
    value = 0;
    for (int k = 0; k < digits; k++) {
        char c = text[at + size_t(k)];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

}  // namespace

bool parseDate(const std::string& text, uint32_t& minutes) {
    int32_t year, month, day, hour, minute;
    if (text.size() != 16 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        !digitsAt(text, 0, 4, year) || !digitsAt(text, 5, 2, month) || !digitsAt(text, 8, 2, day) ||
        !digitsAt(text, 11, 2, hour) || !digitsAt(text, 14, 2, minute))
        return false;
    if (year < 1601 || hour > 23 || minute > 59)
        return false;
    int64_t count = dateToMinutesWide(day, month, year) + hour * 60 + minute;
    if (count < 0 || count > int64_t(UINT32_MAX))
        return false;
    // dateToMinutesWide takes 31 February; the way back shows such a day.
    int32_t d, m, y;
    minutesToDate(uint32_t(count), d, m, y);
    if (d != day || m != month || y != year)
        return false;
    minutes = uint32_t(count);
    return true;
}

bool parseAddress(const std::string& text, uint8_t out[4]) {
    size_t at = 0;
    for (int part = 0; part < 4; part++) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.')
                return false;
            at++;
        }
        int value = 0;
        size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4) {
            value = value * 10 + (text[at] - '0');
            at++;
            digits++;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        out[part] = uint8_t(value);
    }
    return at == text.size();
}
