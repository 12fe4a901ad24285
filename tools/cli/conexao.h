// The client's connection to a server: a TCP socket, or TLS over it, that
// never blocks once open. One object per run; it owns the socket and the
// TLS session and closes them when destroyed.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <string>

struct Destino {
    std::string host = "127.0.0.1";
    std::string port = "1956";
    bool tls = false;
    std::string cacert;  // PEM file of trusted CAs; empty: the system's store
    bool insecure = false;
    std::string sni;     // name sent and checked; empty: the host when it is a name
    int timeoutMs = 30000;  // for connecting and the handshake; <= 0 waits as long as it takes
};

class TConexao {
public:
    TConexao() = default;
    TConexao(const TConexao&) = delete;
    TConexao& operator=(const TConexao&) = delete;
    ~TConexao();

    // Connects to the first address of the host that answers and, with
    // tls, completes the handshake and the certificate check. Empty on
    // success; otherwise one ASCII line saying what failed (for a
    // certificate, the verifier's reason).
    std::string cAbre(const Destino& d);

    // Sends what it can now: the bytes taken (0 when none can go now), or
    // -1 when the connection failed (erro() says why). Under TLS a call
    // that took 0 must be repeated with the same bytes.
    long cEnvia(const char* dados, size_t n);
    // Bytes received (at most n), 0 when none are waiting, -1 at the
    // server's orderly end, -2 on a failure (erro() says why).
    long cRecebe(char* dados, size_t n);
    // Ends the sending side: TCP's half-close, or TLS's close_notify. The
    // server answers what it has read and then closes. 1 done, 0 to be
    // repeated when the socket is ready (TLS only), -1 failed.
    int cFechaEnvio();

    int fd() const { return sock; }
    // Whether the last operation waits for the socket to take bytes, so
    // that the caller should also poll for POLLOUT.
    bool querEscrever() const { return quer == kQuerEscrever; }
    const std::string& erro() const { return ultimoErro; }

private:
    std::string cConecta(const Destino& d);
    std::string cAperta(const Destino& d);
    long cFalhaTls(int r, const char* oque);

    enum { kNada, kQuerLer, kQuerEscrever } quer = kNada;
    int sock = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    std::string ultimoErro;
};
