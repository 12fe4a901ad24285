// Arbitrary configuration contents: read from a temporary file by
// readConfiguration, and fed to a TLeitorConfiguracao in pieces split where the
// input says. Both must leave the values in range and equal.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "engine/platform.h"

namespace {

// Terminated within their arrays, and in range.
Configuracao captura() {
    Configuracao v = config;
    if (memchr(v.senhaadm, 0, sizeof v.senhaadm) == nullptr || memchr(v.ender, 0, sizeof v.ender) == nullptr)
        abort();
    if (v.porta < 1 || v.porta > 65535 || v.ativomin < 1 || v.ativomin > 6000 || v.maxtempo < 0 ||
        v.maxtempo > 300 || v.regtempo < 0 || v.regtempo > 300 || v.penalidade < 0 || v.penalidade > 60 ||
        v.maxconec < 0 || v.portatls < 0 || v.portatls > 65535 || v.diasreg > 1491308)
        abort();
    if (memchr(v.metricas, 0, sizeof v.metricas) == nullptr || memchr(v.certificado, 0, sizeof v.certificado) == nullptr)
        abort();
    return v;
}

bool iguais(const Configuracao& a, const Configuracao& b) {
    return strcmp(a.senhaadm, b.senhaadm) == 0 && strcmp(a.ender, b.ender) == 0 && a.porta == b.porta &&
           a.maxconec == b.maxconec && a.diasreg == b.diasreg && a.ativomin == b.ativomin &&
           a.maxtempo == b.maxtempo && a.regtempo == b.regtempo;
}

std::string nomeDoArquivo;

void removeArquivo() { unlink(nomeDoArquivo.c_str()); }

// The fuzzer's one file, removed when the run ends.
std::string arquivo() {
    char modelo[] = "/tmp/quelta-fuzzcfg-XXXXXX";
    int fd = mkstemp(modelo);
    if (fd < 0)
        abort();
    close(fd);
    nomeDoArquivo = modelo;
    atexit(removeArquivo);
    return modelo;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string nome = arquivo();
    // The first byte picks the split points; the rest is the file.
    if (size == 0)
        return 0;
    uint8_t semente = data[0];
    const char* texto = reinterpret_cast<const char*>(data + 1);
    size_t n = size - 1;

    int fd = open(nome.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, texto, n) != ssize_t(n))
        abort();
    close(fd);
    config = Configuracao{};
    fd = platformOpenReadOnly(nome.c_str());
    if (fd < 0)
        abort();
    readConfiguration(fd);
    platformCloseFile(fd);
    Configuracao doArquivo = captura();

    // The same bytes in pieces of 1..(semente % 64 + 1) bytes, with the
    // line feed readConfiguration appends at the end of the file.
    config = Configuracao{};
    TLeitorConfiguracao parser;
    size_t passo = size_t(semente % 64) + 1;
    uint32_t estado = semente;
    for (size_t i = 0; i < n;) {
        estado = estado * 1103515245u + 12345u;
        size_t k = std::min(n - i, (estado >> 16) % passo + 1);
        parser.feed(texto + i, int(k));
        i += k;
    }
    parser.feed("\n", 1);
    Configuracao emPedacos = captura();
    if (!iguais(doArquivo, emPedacos))
        abort();
    return 0;
}
