// Arbitrary bytes as a request to the metrics endpoint. Its request
// reading has no entry of its own, so the bytes go the way a scraper's
// do: a connection handed to TMetricas::cAceita over a socketpair, the
// input sent in pieces it chooses, loop passes in between. The answer
// must fit what was sent: nothing before a whole request head, the
// metrics for "GET /metrics ", 404 for any other head, and the
// connection closed without an answer past the 8 KiB bound.
#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/loop.h"
#include "fuzz/support.h"
#include "operations/metricas.h"
#include "protocol/comandos.h"

namespace {

// Everything that has come on fd so far; true once it reads its end.
bool recebe(int fd, std::string& r) {
    char b[4096];
    for (;;) {
        ssize_t n = recv(fd, b, sizeof b, MSG_DONTWAIT);
        if (n > 0)
            r.append(b, size_t(n));
        else
            return n == 0;
    }
}

// Where the request head ends in s (after its empty line), or npos.
size_t fimDaCabeca(const std::string& s) {
    for (size_t i = 0; i + 1 < s.size(); i++)
        if (s[i] == '\n' && (s[i + 1] == '\n' || (s[i + 1] == '\r' && i + 2 < s.size() && s[i + 2] == '\n')))
            return i;
    return std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    preparaUmaVez();
    static TEscuta plano, tls;
    static RecusasDaPorta recusasPlano, recusasTls;
    static TMetricas metricas({&plano, &recusasPlano}, {&tls, &recusasTls}, {kComandosNaTabela, palavraDoComando});
    FuzzedDataProvider p(data, size);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0 || fcntl(sv[0], F_SETFL, O_NONBLOCK) != 0)
        abort();
    metricas.cAceita(sv[0], PeerAddress{0x0100007F, 0x3412});
    // Refused at its accept only if an earlier input's request outlived
    // its connection and still holds its place.
    char b;
    if (recv(sv[1], &b, 1, MSG_DONTWAIT) == 0)
        abort();
    std::string enviado, resposta;
    bool fim = false;
    // At most a few pieces, each some hundreds of bytes: past 8 KiB the
    // request is refused, and a little more shows that.
    for (int pedacos = 0; p.remaining_bytes() > 0 && pedacos < 12 && !fim; pedacos++) {
        std::string pedaco = p.ConsumeRandomLengthString(1024);
        if (!pedaco.empty() && send(sv[1], pedaco.data(), pedaco.size(), MSG_NOSIGNAL) != ssize_t(pedaco.size()))
            break;  // the server closed its end
        enviado += pedaco;
        for (int i = 0; i < 3; i++)
            runPass(0);
        fim = recebe(sv[1], resposta);
        if (fimDaCabeca(enviado) == std::string::npos && enviado.size() <= 8192 && !resposta.empty())
            abort();  // an answer before the request was whole
    }
    size_t cabeca = fimDaCabeca(enviado);
    if (cabeca != std::string::npos && cabeca < 8192 && !resposta.empty()) {
        bool esperaMetricas = enviado.compare(0, 13, "GET /metrics ") == 0 && enviado.find('\n') >= 13;
        const char* inicio = esperaMetricas ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n";
        if (resposta.compare(0, strlen(inicio), inicio) != 0)
            abort();
    }
    close(sv[1]);
    for (int i = 0; i < 3; i++)
        runPass(0);
    return 0;
}
