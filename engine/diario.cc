// One routine writes every log line, in one write, so lines from one
// process never interleave half-way.
#include "engine/diario.h"

#include <cstdarg>

#include "engine/platform.h"
#include "text/format.h"

namespace {
const char* programa = "quelta";
}  // namespace

void logSetProgram(const char* p) {
    if (p == nullptr)
        return;
    // The path it was started by says nothing a log reader needs, and a
    // log filter matches the name alone.
    for (const char* c = p; *c != 0; c++)
        if (*c == '/' && c[1] != 0)
            p = c + 1;
    if (p[0] != 0)
        programa = p;
}

void logEvent(const char* formato, ...) {
    char linha[512];
    char* p = formatText(linha, sizeof linha - 1, "%s: ", programa);
    va_list ap;
    va_start(ap, formato);
    p = formatTextV(p, int32_t(linha + sizeof linha - 1 - p), formato, ap);
    va_end(ap);
    *p++ = '\n';
    platformWriteError(linha, size_t(p - linha));
}
