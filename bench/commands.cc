// The server's own cost of IP and FIND, without sockets or the kernel's
// share of a round trip: one client without a socket is fed request lines
// through cEvento and its ring is emptied with takePending, as the flush
// step would. The registry is a real file (from bench_mkregistry), loaded
// the way the server loads it, so nodes lie in the heap in file order.
//
//   bench_commands --registry FILE --requests IP-LINES [--ips N] [--finds N]
//
// Prints one line: COMMANDS users=... load_ms=... ip_ns=... find_ms=... find_users=...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "engine/clock.h"
#include "protocol/cliente.h"
#include "admission/maquina.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/fold.h"

namespace {

using Relogio = std::chrono::steady_clock;

double segundosDesde(Relogio::time_point t0) {
    return std::chrono::duration<double>(Relogio::now() - t0).count();
}

[[noreturn]] void uso(const char* msg) {
    fprintf(stderr, "bench_commands: %s\nuse: bench_commands --registry FILE --requests FILE [--ips N] [--finds N]\n",
            msg);
    exit(2);
}

// Empties the ring; counts the reply lines and tells whether the last one
// taken was the "." that ends a listing.
struct Leitor {
    long linhas = 0;
    bool fim = false;
    char ultimos[5] = {0, 0, 0, 0, 0};  // the last five bytes taken, across takes

    void esvazia(TCliente& c) {
        char buf[TComunica::kRing];
        int32_t n;
        while ((n = c.takePending(buf, sizeof buf)) > 0) {
            for (const char* p = buf; (p = static_cast<const char*>(memchr(p, '\n', size_t(buf + n - p)))) != nullptr;
                 p++)
                linhas++;
            for (int32_t i = n >= 5 ? n - 5 : 0; i < n; i++) {
                memmove(ultimos, ultimos + 1, 4);
                ultimos[4] = buf[i];
            }
            fim = memcmp(ultimos, "\r\n.\r\n", 5) == 0;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    const char* arquivo = nullptr;
    const char* pedidos = nullptr;
    long ips = 1000000, finds = 20;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            uso("missing value");
        if (a == "--registry")
            arquivo = argv[++i];
        else if (a == "--requests")
            pedidos = argv[++i];
        else if (a == "--ips")
            ips = atol(argv[++i]);
        else if (a == "--finds")
            finds = atol(argv[++i]);
        else
            uso("unknown option");
    }
    if (arquivo == nullptr || pedidos == nullptr)
        uso("--registry and --requests are needed");

    std::vector<std::string> linhas;
    if (FILE* f = fopen(pedidos, "r")) {
        char l[300];
        while (fgets(l, sizeof l, f) != nullptr) {
            std::string s = l;
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
                s.pop_back();
            linhas.push_back(s + "\r\n");
        }
        fclose(f);
    }
    if (linhas.empty())
        uso("no request lines");

    buildFoldTable();
    clockStart();
    config.maxtempo = 0;
    snprintf(registryFileName, sizeof registryFileName, "%s", arquivo);
    Relogio::time_point carga = Relogio::now();
    if (!registro.cCarrega())
        uso("the registry does not load");
    double tCarga = segundosDesde(carga);

    TCliente* c = new TCliente(new TMaquina(0x0200007F));
    Leitor leitor;

    // IP: one line in, one reply out, as a connection without pipelining.
    for (long i = 0; i < 1000 && i < ips; i++) {
        const std::string& l = linhas[size_t(i) % linhas.size()];
        c->cEvento(l.data(), int32_t(l.size()));
        leitor.esvazia(*c);
    }
    leitor.linhas = 0;
    Relogio::time_point t0 = Relogio::now();
    for (long i = 0; i < ips; i++) {
        const std::string& l = linhas[size_t(i) % linhas.size()];
        c->cEvento(l.data(), int32_t(l.size()));
        leitor.esvazia(*c);
    }
    double tIp = segundosDesde(t0);
    if (leitor.linhas != ips)
        fprintf(stderr, "bench_commands: %ld replies to %ld IP requests\n", leitor.linhas, ips);

    // FIND: the listing pauses whenever the ring is full and goes on with
    // the drained event, as it does behind a reader that keeps up.
    long linhasFind = 0;
    t0 = Relogio::now();
    for (long k = 0; k < finds; k++) {
        leitor = Leitor();
        c->cEvento("FIND\r\n", 6);
        for (long passos = 0; passos < 10000000L; passos++) {
            leitor.esvazia(*c);
            if (leitor.fim)
                break;
            c->cEvento(nullptr, kEventoEsvaziada);
        }
        linhasFind = leitor.linhas;
        if (!leitor.fim)
            fprintf(stderr, "bench_commands: a listing did not end\n");
    }
    double tFind = segundosDesde(t0);

    printf("COMMANDS users=%d load_ms=%.1f ip_ns=%.0f find_ms=%.2f find_users=%ld\n", indice.registros, tCarga * 1e3, ips > 0 ? tIp * 1e9 / double(ips) : 0.0,
           finds > 0 ? tFind * 1e3 / double(finds) : 0.0, linhasFind - 2);
    delete c;
    return 0;
}
