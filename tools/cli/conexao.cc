// Connecting, with a time limit, and the TLS check. After cAbre the socket
// is non-blocking, so the caller's poll loop can read while it writes: a
// server that stops reading until its replies are taken never deadlocks us.
#include "tools/cli/conexao.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

using Relogio = std::chrono::steady_clock;

// Milliseconds left before the deadline, for poll: -1 without a limit.
int restante(int limiteMs, Relogio::time_point inicio) {
    if (limiteMs <= 0)
        return -1;
    long passou = long(std::chrono::duration_cast<std::chrono::milliseconds>(Relogio::now() - inicio).count());
    return passou >= limiteMs ? 0 : int(limiteMs - passou);
}

std::string sslReason() {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0)
        return "the connection was closed during the handshake";
    char texto[256];
    ERR_error_string_n(e, texto, sizeof texto);
    return texto;
}

bool isAddress(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

TConexao::~TConexao() {
    if (ssl != nullptr)
        SSL_free(ssl);
    if (ctx != nullptr)
        SSL_CTX_free(ctx);
    if (sock >= 0)
        close(sock);
}

std::string TConexao::cAbre(const Destino& d) {
    // A server that closes while we write must give an error, not a signal.
    signal(SIGPIPE, SIG_IGN);
    std::string e = cConecta(d);
    if (e.empty() && d.tls)
        e = cAperta(d);
    return e;
}

std::string TConexao::cConecta(const Destino& d) {
    const auto inicio = Relogio::now();
    const std::string onde = d.host + ":" + d.port;
    addrinfo dica{};
    dica.ai_family = AF_UNSPEC;
    dica.ai_socktype = SOCK_STREAM;
    addrinfo* lista = nullptr;
    int r = getaddrinfo(d.host.c_str(), d.port.c_str(), &dica, &lista);
    if (r != 0)
        return "cannot resolve " + onde + ": " + gai_strerror(r);
    std::string falha = "cannot connect to " + onde;
    for (addrinfo* a = lista; a != nullptr; a = a->ai_next) {
        int s = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            falha = "cannot connect to " + onde + ": " + strerror(errno);
            continue;
        }
        int err = 0;
        if (connect(s, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                pollfd p{s, POLLOUT, 0};
                int n;
                do
                    n = poll(&p, 1, restante(d.timeoutMs, inicio));
                while (n < 0 && errno == EINTR);
                socklen_t tam = sizeof err;
                if (n == 0)
                    err = ETIMEDOUT;
                else if (n < 0 || getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &tam) != 0)
                    err = errno;
            }
        }
        if (err == 0) {
            sock = s;
            break;
        }
        close(s);
        falha = "cannot connect to " + onde + ": " + strerror(err);
        if (err == ETIMEDOUT)
            break;  // the time is spent for every other address too
    }
    freeaddrinfo(lista);
    return sock >= 0 ? "" : falha;
}

std::string TConexao::cAperta(const Destino& d) {
    const auto inicio = Relogio::now();
    ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr)
        return "TLS: " + sslReason();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // A server that closes the socket without close_notify has still ended
    // the conversation; a reply cut short shows in the lines themselves.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (!d.insecure) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        int ok = d.cacert.empty() ? SSL_CTX_set_default_verify_paths(ctx)
                                  : SSL_CTX_load_verify_locations(ctx, d.cacert.c_str(), nullptr);
        if (ok != 1)
            return "TLS: cannot load " + (d.cacert.empty() ? std::string("the system's certificates") : d.cacert) +
                   ": " + sslReason();
    }
    ssl = SSL_new(ctx);
    if (ssl == nullptr || SSL_set_fd(ssl, sock) != 1)
        return "TLS: " + sslReason();
    // Writes may stop halfway and resume from a moved buffer: the caller
    // keeps its queue in a std::string that grows.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // The name checked is --sni's, else the host's; an address is checked
    // against the certificate's addresses and is never sent as SNI.
    const std::string nome = d.sni.empty() ? d.host : d.sni;
    if (!isAddress(nome))
        SSL_set_tlsext_host_name(ssl, nome.c_str());
    if (!d.insecure) {
        int ok = isAddress(nome) ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), nome.c_str())
                                 : SSL_set1_host(ssl, nome.c_str());
        if (ok != 1)
            return "TLS: cannot check the name " + nome;
    }
    for (;;) {
        int r = SSL_connect(ssl);
        if (r == 1)
            return "";
        int e = SSL_get_error(ssl, r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            long v = SSL_get_verify_result(ssl);
            if (v != X509_V_OK)
                return "TLS certificate of " + d.host + ":" + d.port + " not accepted: " +
                       X509_verify_cert_error_string(v);
            return "TLS handshake with " + d.host + ":" + d.port + " failed: " + sslReason();
        }
        pollfd p{sock, short(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        int n = poll(&p, 1, restante(d.timeoutMs, inicio));
        if (n == 0)
            return "TLS handshake with " + d.host + ":" + d.port + " timed out";
        if (n < 0 && errno != EINTR)
            return std::string("poll: ") + strerror(errno);
    }
}

long TConexao::cFalhaTls(int r, const char* oque) {
    int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        quer = e == SSL_ERROR_WANT_WRITE ? kQuerEscrever : kQuerLer;
        return 0;
    }
    if (e == SSL_ERROR_ZERO_RETURN)
        return -1;
    ultimoErro = std::string(oque) + ": " + (e == SSL_ERROR_SYSCALL ? std::string(strerror(errno)) : sslReason());
    return -2;
}

long TConexao::cEnvia(const char* dados, size_t n) {
    quer = kNada;
    if (n == 0)
        return 0;
    if (ssl != nullptr) {
        errno = 0;
        int r = SSL_write(ssl, dados, int(n > 1 << 20 ? 1 << 20 : n));
        if (r > 0)
            return r;
        long f = cFalhaTls(r, "send");
        return f < 0 ? -1 : 0;
    }
    ssize_t r = send(sock, dados, n, MSG_NOSIGNAL);
    if (r >= 0)
        return long(r);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        quer = kQuerEscrever;
        return 0;
    }
    ultimoErro = std::string("send: ") + strerror(errno);
    return -1;
}

long TConexao::cRecebe(char* dados, size_t n) {
    quer = kNada;
    if (ssl != nullptr) {
        errno = 0;
        int r = SSL_read(ssl, dados, int(n));
        return r > 0 ? r : cFalhaTls(r, "receive");
    }
    ssize_t r = recv(sock, dados, n, 0);
    if (r > 0)
        return long(r);
    if (r == 0)
        return -1;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    ultimoErro = std::string("receive: ") + strerror(errno);
    return -2;
}

int TConexao::cFechaEnvio() {
    quer = kNada;
    if (ssl == nullptr) {
        if (shutdown(sock, SHUT_WR) == 0)
            return 1;
        ultimoErro = std::string("shutdown: ") + strerror(errno);
        return -1;
    }
    errno = 0;
    int r = SSL_shutdown(ssl);
    if (r >= 0)
        return 1;
    long f = cFalhaTls(r, "close_notify");
    return f == 0 ? 0 : -1;
}
