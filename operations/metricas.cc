// The metrics endpoint. Each request is one connection object that reads
// the request head, answers it and ends itself once the answer has left;
// nothing of it touches the clients' protocol.
#include "operations/metricas.h"

#include <cstring>

#include "config/config.h"
#include "engine/alarme.h"
#include "engine/comunica.h"
#include "engine/platform.h"
#include "operations/contadores.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/format.h"

namespace {

constexpr int32_t kPedidoMax = 8192;
constexpr int32_t kCorpoMax = 8192;

// The process's start, seconds since 1970: read once, before the loop.
const int64_t inicio = platformUnixSeconds();

// The addresses of the requests being served, one slot each (0: free).
uint32_t servidos[TMetricas::kAbertasMax];
int32_t nServidos = 0;

class TPedido : public TComunica, public TAlarme {
public:
    // slot: a free place of servidos, taken for ip until the end.
    TPedido(const TMetricas* dono, int socket, int32_t slot, uint32_t ip) : dono(dono), slot(slot) {
        servidos[slot] = ip;
        nServidos++;
        cConecta(socket);
        cArma(kPrazoDeEntrada);  // for the whole request head
    }
    ~TPedido() override {
        servidos[slot] = 0;
        nServidos--;
    }
    void cEvento(const char* dados, int32_t len) override;
    void cDispara() override { delete this; }  // too slow

private:
    void cResponde();
    const TMetricas* dono;
    int32_t slot;
    bool respondido = false;
    int32_t tamanho = 0;
    char pedido[kPedidoMax];
};

void TPedido::cEvento(const char* dados, int32_t len) {
    if (dados == nullptr) {
        // Closed, or the answer has left: either way the request is done.
        if (len == kEventoFechada || (len == kEventoEsvaziada && respondido))
            delete this;
        return;
    }
    if (respondido)
        return;  // one request per connection; what follows is ignored
    if (len > kPedidoMax - tamanho) {
        delete this;
        return;
    }
    memcpy(pedido + tamanho, dados, size_t(len));
    tamanho += len;
    for (int32_t i = 0; i + 1 < tamanho; i++)
        if (pedido[i] == '\n' && (pedido[i + 1] == '\n' || (pedido[i + 1] == '\r' && i + 2 < tamanho && pedido[i + 2] == '\n'))) {
            cResponde();
            return;
        }
}

void TPedido::cResponde() {
    respondido = true;
    cArma(0);
    // The request line: method, target, version, separated by one blank.
    const char* p = pedido;
    const char* fimLinha = static_cast<const char*>(memchr(pedido, '\n', size_t(tamanho)));
    size_t n = size_t(fimLinha - p);
    bool metricas = n >= 13 && memcmp(p, "GET /metrics ", 13) == 0;
    static char corpo[kCorpoMax];
    int32_t tam;
    const char* estado;
    if (metricas) {
        tam = dono->cExpoe(corpo, kCorpoMax);
        estado = "200 OK";
    } else {
        tam = int32_t(formatText(corpo, kCorpoMax, "not found\n") - corpo);
        estado = "404 Not Found";
    }
    char cabeca[200];
    formatText(cabeca, sizeof cabeca,
               "HTTP/1.1 %s\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: %d\r\n"
               "Connection: close\r\n\r\n",
               estado, tam);
    cEnvia(cabeca, -1);
    // The ring takes a text below its size; the stage behind it holds the rest.
    for (int32_t k = 0; k < tam; k += 1024)
        cEnvia(corpo + k, tam - k < 1024 ? tam - k : 1024);
    if (cDescarrega())
        delete this;
}

}  // namespace

void TMetricas::cAceita(int socket, const PeerAddress& peer) {
    // Each request holds a descriptor and 10 KiB for up to 10 s: without a
    // bound, one address could hold the descriptors every client needs.
    int32_t livre = -1;
    int32_t doEndereco = 0;
    for (int32_t i = 0; i < kAbertasMax; i++) {
        if (servidos[i] == 0 && livre < 0)
            livre = i;
        doEndereco += servidos[i] != 0 && servidos[i] == peer.ip;
    }
    // 0.0.0.0 is never a peer, so 0 can mark a free slot.
    if (livre < 0 || doEndereco >= kPorEndereco || peer.ip == 0) {
        platformClose(socket);
        recusadas++;
        return;
    }
    new TPedido(this, socket, livre, peer.ip);
}

int32_t TMetricas::cExpoe(char* out, int32_t size) const {
    char* p = out;
    char* fim = out + size;
    auto poe = [&](const char* formato, auto... valores) { p = formatText(p, int32_t(fim - p), formato, valores...); };
    poe("# HELP quelta_users Users in the registry.\n# TYPE quelta_users gauge\nquelta_users %d\n", indice.registros);
    poe("# HELP quelta_connections Open client connections.\n# TYPE quelta_connections gauge\n"
        "quelta_connections %d\n",
        usuarios);
    const bool comTls = config.portatls != 0;
    poe("# HELP quelta_connections_accepted_total Connections accepted, by port, admitted or refused.\n"
        "# TYPE quelta_connections_accepted_total counter\nquelta_connections_accepted_total{port=\"plain\"} %U\n",
        plano.escuta->aceitas());
    if (comTls)
        poe("quelta_connections_accepted_total{port=\"tls\"} %U\n", tls.escuta->aceitas());
    poe("quelta_connections_accepted_total{port=\"metrics\"} %U\n", aceitas());
    poe("# HELP quelta_connections_refused_total Accepted connections refused, by port and reason.\n"
        "# TYPE quelta_connections_refused_total counter\n");
    for (int32_t k = 0; k < (comTls ? 2 : 1); k++) {
        const PortaContada& s = k == 0 ? plano : tls;
        const char* porta = k == 0 ? "plain" : "tls";
        poe("quelta_connections_refused_total{port=\"%s\",reason=\"machine_limit\"} %U\n"
            "quelta_connections_refused_total{port=\"%s\",reason=\"descriptors\"} %U\n"
            "quelta_connections_refused_total{port=\"%s\",reason=\"proxy_header\"} %U\n",
            porta, s.recusas->limite, porta, s.escuta->recusadasSemDescritor(), porta, s.recusas->proxy);
    }
    // A failed handshake is counted once, as quelta_tls_handshake_failures_total.
    poe("quelta_connections_refused_total{port=\"metrics\",reason=\"machine_limit\"} %U\n"
        "quelta_connections_refused_total{port=\"metrics\",reason=\"descriptors\"} %U\n",
        recusadas, recusadasSemDescritor());
    if (comTls)
        poe("# HELP quelta_tls_handshakes_total TLS handshakes finished on the TLS port.\n"
            "# TYPE quelta_tls_handshakes_total counter\nquelta_tls_handshakes_total %U\n"
            "# HELP quelta_tls_handshake_failures_total TLS handshakes that failed or did not finish in 10 s.\n"
            "# TYPE quelta_tls_handshake_failures_total counter\nquelta_tls_handshake_failures_total %U\n",
            contadores.apertosTls, contadores.apertosFalhos);
    poe("# HELP quelta_commands_total Lines interpreted, by command; lines that are no command as unknown.\n"
        "# TYPE quelta_commands_total counter\n");
    for (int32_t i = 0; i <= comandos.linhas; i++)
        poe("quelta_commands_total{command=\"%s\"} %U\n", i < comandos.linhas ? comandos.palavra(i) : "unknown",
            contadores.comandos[i]);
    poe("# HELP quelta_password_failures_total Failed password checks.\n"
        "# TYPE quelta_password_failures_total counter\nquelta_password_failures_total %U\n",
        contadores.falhasSenha);
    poe("# HELP quelta_registry_errors_total Reads and writes of the registry file that failed.\n"
        "# TYPE quelta_registry_errors_total counter\nquelta_registry_errors_total %U\n",
        registro.errosContados);
    poe("# HELP quelta_aged_out_total Users removed for want of activity.\n"
        "# TYPE quelta_aged_out_total counter\nquelta_aged_out_total %U\n",
        registro.envelhecidos);
    poe("# HELP quelta_start_time_seconds Start of the process, seconds since 1970.\n"
        "# TYPE quelta_start_time_seconds gauge\nquelta_start_time_seconds %U\n",
        uint64_t(inicio));
    return int32_t(p - out);
}
