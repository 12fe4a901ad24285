// The poll loop of every mode. Writing is tried before each wait, and
// POLLOUT asked only when the socket refused bytes: under TLS a write may
// instead wait for a read, which POLLIN already covers.
#include "tools/cli/sessao.h"

#include <errno.h>
#include <poll.h>

#include <cstring>

bool TSessao::cEscreve() {
    while (!saida.empty()) {
        long n = conexao.cEnvia(saida.data(), saida.size());
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        saida.erase(0, size_t(n));
    }
    if (fecharEnvio && !envioFechado) {
        int r = conexao.cFechaEnvio();
        if (r < 0)
            return false;
        envioFechado = r == 1;
    }
    return true;
}

TSessao::Passo TSessao::cEspera(int ms, int outroFd, int* outro) {
    if (outro != nullptr)
        *outro = 0;
    if (terminou)
        return kFim;
    if (!cEscreve())
        return kFalha;
    pollfd p[2] = {{conexao.fd(), short(POLLIN | (conexao.querEscrever() ? POLLOUT : 0)), 0}, {outroFd, POLLIN, 0}};
    int n = poll(p, outroFd >= 0 ? 2 : 1, ms);
    if (n < 0)
        return errno == EINTR ? kAlgo : kFalha;
    if (n == 0)
        return kNada;
    if (outroFd >= 0 && outro != nullptr)
        *outro = (p[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? -1 : (p[1].revents & POLLIN) != 0 ? 1 : 0;
    if (lido > 0 && lido == entrada.size()) {
        entrada.clear();
        lido = 0;
    }
    // Everything the socket holds now, so that nothing stays buffered in
    // the TLS session where poll cannot see it.
    for (;;) {
        char buf[16384];
        long r = conexao.cRecebe(buf, sizeof buf);
        if (r > 0) {
            entrada.append(buf, size_t(r));
            continue;
        }
        if (r == -1) {
            terminou = true;
            return kFim;
        }
        if (r == -2)
            return kFalha;
        break;
    }
    return cEscreve() ? kAlgo : kFalha;
}

bool TSessao::cLinha(std::string& linha, bool* crlf) {
    size_t fim = entrada.find('\n', lido);
    if (fim == std::string::npos)
        return false;
    size_t tam = fim - lido;
    const bool cr = tam > 0 && entrada[fim - 1] == '\r';
    linha.assign(entrada, lido, cr ? tam - 1 : tam);
    if (crlf != nullptr)
        *crlf = cr;
    lido = fim + 1;
    return true;
}

std::string TSessao::cResto() {
    std::string r = entrada.substr(lido);
    entrada.clear();
    lido = 0;
    return r;
}
