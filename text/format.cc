// One scan of the format, straight into the caller's buffer.
#include "text/format.h"

#include <cstdarg>
#include <cstring>

namespace {

struct Out {
    char* p;
    int32_t room;  // characters still allowed before the terminator
    void put(char c) {
        if (room > 0) {
            *p++ = c;
            room--;
        }
    }
};

void putUnsigned(Out& o, uint64_t v) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0)
        o.put(digits[--n]);
}

}  // namespace

char* formatText(char* buf, int32_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char* fim = formatTextV(buf, size, fmt, ap);
    va_end(ap);
    return fim;
}

char* formatTextV(char* buf, int32_t size, const char* fmt, va_list ap) {
    Out o{buf, size > 0 ? size - 1 : 0};
    for (const char* f = fmt; *f != 0; f++) {
        if (*f != '%') {
            o.put(*f);
            continue;
        }
        char d = f[1];
        if (d == 0)
            break;  // a '%' at the very end is dropped
        f++;
        switch (d) {
        case '%':
            o.put('%');
            break;
        case 'c':
            o.put(char(va_arg(ap, int)));
            break;
        case 'd': {
            int32_t v = va_arg(ap, int32_t);
            uint32_t mag = uint32_t(v);
            if (v < 0) {
                o.put('-');
                mag = 0u - mag;
            }
            putUnsigned(o, mag);
            break;
        }
        case 'u':
            putUnsigned(o, va_arg(ap, uint32_t));
            break;
        case 'U':
            putUnsigned(o, va_arg(ap, uint64_t));
            break;
        case 's':
            for (const char* s = va_arg(ap, const char*); *s != 0; s++)
                o.put(*s);
            break;
        case 'S': {
            const char* s = va_arg(ap, const char*);
            const char* end = s;
            for (const char* q = s; *q != 0; q++)
                if (*q != ' ')
                    end = q + 1;
            for (; s < end; s++)
                o.put(*s);
            break;
        }
        default:
            // Unknown directive: the '%' goes, the character stays as text.
            o.put(d);
            break;
        }
    }
    if (size > 0)
        *o.p = 0;
    return o.p;
}

char* formatDotted(char* out, uint32_t addr) {
    uint8_t b[4];
    memcpy(b, &addr, sizeof b);
    for (int i = 0; i < 4; i++) {
        uint32_t v = b[i];
        if (v >= 100) {
            *out++ = char('0' + v / 100);
            v %= 100;
            *out++ = char('0' + v / 10);
        } else if (v >= 10) {
            *out++ = char('0' + v / 10);
        }
        *out++ = char('0' + v % 10);
        *out++ = '.';
    }
    *--out = 0;
    return out;
}
