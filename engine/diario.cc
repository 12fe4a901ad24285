// One routine writes every log line, in one write, so lines from one
// process never interleave half-way.
#include "engine/diario.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

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

namespace {

// Whether standard error is the journal's stream: JOURNAL_STREAM is
// "DEVICE:INODE" of the stream the manager connected, and a program that
// redirected its standard error elsewhere must not mark its lines.
bool paraOJornal() {
    static int decidido = -1;
    if (decidido < 0) {
        decidido = 0;
        const char* v = getenv("JOURNAL_STREAM");
        PlatformFileId id;
        if (v != nullptr && platformFileId(2, &id)) {
            char esperado[48];
            formatText(esperado, sizeof esperado, "%U:%U", id.device, id.inode);
            decidido = strcmp(v, esperado) == 0 ? 1 : 0;
        }
    }
    return decidido == 1;
}

void escreve(Gravidade gravidade, const char* formato, va_list ap) {
    char linha[512];
    char* p = linha;
    if (paraOJornal())
        p = formatText(p, 4, "<%d>", int(gravidade));
    p = formatText(p, int32_t(linha + sizeof linha - 1 - p), "%s: ", programa);
    p = formatTextV(p, int32_t(linha + sizeof linha - 1 - p), formato, ap);
    *p++ = '\n';
    platformWriteError(linha, size_t(p - linha));
}

}  // namespace

void logEvent(const char* formato, ...) {
    va_list ap;
    va_start(ap, formato);
    escreve(Gravidade::kInfo, formato, ap);
    va_end(ap);
}

void logEventAt(Gravidade gravidade, const char* formato, ...) {
    va_list ap;
    va_start(ap, formato);
    escreve(gravidade, formato, ap);
    va_end(ap);
}
