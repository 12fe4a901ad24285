// TLS sessions on non-blocking sockets. OpenSSL reads and writes the socket
// through the platform's calls; a call that would block reports it and is
// repeated later with the same arguments, which is what OpenSSL asks of a
// retried write.
#include "engine/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/escuta.h"  // kBufferEnvio
#include "engine/platform.h"

namespace {

SSL_CTX* contexto = nullptr;
char motivo[256];

// A handshake takes tens of KiB in pieces of many sizes; after a burst of
// them the heap keeps the freed pages unless told. Sessions ended since the
// heap was last trimmed: at this many, it is trimmed again, so a burst
// leaves at most this many sessions' worth behind, and a trim (a walk of
// the free lists) comes at most once per so many connections.
constexpr int32_t kFinsPorLimpeza = 256;
int32_t finsDesdeLimpeza = 0;

const char* erroTls(const char* rotulo) {
    unsigned long e = ERR_get_error();
    char texto[200] = "unknown error";
    if (e != 0)
        ERR_error_string_n(e, texto, sizeof texto);
    ERR_clear_error();
    snprintf(motivo, sizeof motivo, "%s: %s", rotulo, texto);
    return motivo;
}

// The stage and the ring may hold more than one record; a write takes the
// pieces one after the other and stops at the first that would block.
long escreve(SSL* s, const void* p, size_t n) {
    size_t escrito = 0;
    if (n == 0)
        return 0;
    int r = SSL_write_ex(s, p, n, &escrito) == 1 ? 1 : 0;
    if (r == 1)
        return long(escrito);
    int e = SSL_get_error(s, 0);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ)
        return kIoWouldBlock;
    return kIoFailed;
}

}  // namespace

// A session and its transport: OpenSSL reads and writes through the
// platform's calls (platformRecv, platformSend), so the system calls are
// the socket's own and a test can fail them. The first bytes of a session
// may have been read before it existed (what a proxy sent behind its
// header): those are read first. They are only ever the start of the
// client's hello, so the copy is freed within the handshake.
namespace {

class SessaoTls final : public TTransporte {
public:
    int cAperto() override;
    long cRecebe(int socket, void* buf, size_t n) override;
    bool cGuarda() const override;
    long cEnviaPar(int socket, const char* a, size_t na, const char* b, size_t nb, bool mais) override;
    void cFim() override;

    SSL* ssl = nullptr;
    int socket = -1;
    char* antes = nullptr;
    size_t n = 0, lido = 0;
    bool fimLido = false;  // the socket reported the end of the stream
    bool guarda = false;   // a read stopped by an end or failure behind its bytes
};

int leSocket(BIO* b, char* buf, int n) {
    SessaoTls* t = static_cast<SessaoTls*>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    if (t->antes != nullptr) {
        size_t k = t->n - t->lido < size_t(n) ? t->n - t->lido : size_t(n);
        memcpy(buf, t->antes + t->lido, k);
        t->lido += k;
        if (t->lido == t->n) {
            free(t->antes);
            t->antes = nullptr;
        }
        return int(k);
    }
    long r = platformRecv(t->socket, buf, size_t(n));
    if (r == kIoWouldBlock) {
        BIO_set_retry_read(b);
        return -1;
    }
    if (r == 0)
        t->fimLido = true;
    return r < 0 ? -1 : int(r);
}

int escreveSocket(BIO* b, const char* buf, int n) {
    SessaoTls* t = static_cast<SessaoTls*>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    long r = platformSend(t->socket, buf, size_t(n));
    if (r == kIoWouldBlock) {
        BIO_set_retry_write(b);
        return -1;
    }
    return r < 0 ? -1 : int(r);
}

// As the library's own socket transport answers: an end of the stream
// read is an end, and a flush has nothing to do.
long controlaSocket(BIO* b, int cmd, long, void*) {
    SessaoTls* t = static_cast<SessaoTls*>(BIO_get_data(b));
    switch (cmd) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return t != nullptr && t->fimLido ? 1 : 0;
    default:
        return 0;
    }
}

BIO* bioSocket(SessaoTls* t) {
    static BIO_METHOD* metodo = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quelta-socket");
        BIO_meth_set_read(m, leSocket);
        BIO_meth_set_write(m, escreveSocket);
        BIO_meth_set_ctrl(m, controlaSocket);
        return m;
    }();
    BIO* b = metodo != nullptr ? BIO_new(metodo) : nullptr;
    if (b == nullptr)
        return nullptr;
    BIO_set_data(b, t);
    BIO_set_init(b, 1);
    return b;
}

// A TLS send of this many bytes or more (a whole record) first asks the
// kernel how much it still holds unsent.
constexpr size_t kEnvioGrande = 4096;

}  // namespace

const char* tlsCarrega(const char* certificado, const char* arquivoDaChave) {
    SSL_CTX* c = SSL_CTX_new(TLS_server_method());
    if (c == nullptr)
        return erroTls("TLS");
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    // TLS 1.2 only with an ephemeral key exchange and an AEAD cipher, in
    // our order rather than the client's: a recorded session stays secret
    // when the key leaks later, and no CBC construction is offered. TLS
    // 1.3's suites are all of that kind; the library's defaults stay.
    if (SSL_CTX_set_cipher_list(c, "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                   "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                   "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305") != 1) {
        SSL_CTX_free(c);
        return erroTls("TLS cipher list");
    }
    SSL_CTX_set_options(c, SSL_OP_CIPHER_SERVER_PREFERENCE);
    // An idle connection keeps no read or write buffer of the library's.
    SSL_CTX_set_mode(c, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE |
                            SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A read takes whatever the socket holds, not a record's header and
    // then its body: half the receives under pipelined load.
    SSL_CTX_set_read_ahead(c, 1);
    const char* falha = nullptr;
    if (SSL_CTX_use_certificate_chain_file(c, certificado) != 1)
        falha = erroTls(certificado);
    else if (SSL_CTX_use_PrivateKey_file(c, arquivoDaChave, SSL_FILETYPE_PEM) != 1)
        falha = erroTls(arquivoDaChave);
    else if (SSL_CTX_check_private_key(c) != 1)
        falha = erroTls("the key does not match the certificate");
    if (falha != nullptr) {
        SSL_CTX_free(c);
        return falha;
    }
    if (contexto != nullptr)
        SSL_CTX_free(contexto);  // sessions under way keep their own reference
    contexto = c;
    return nullptr;
}

TTransporte* tlsNova(int socket, const char* antes, size_t n) {
    if (contexto == nullptr)
        return nullptr;
    SessaoTls* t = new SessaoTls;
    t->socket = socket;
    t->ssl = SSL_new(contexto);
    BIO* b = nullptr;
    bool pronta = t->ssl != nullptr;
    if (pronta && n > 0) {
        t->antes = static_cast<char*>(malloc(n));
        pronta = t->antes != nullptr;
        if (pronta) {
            memcpy(t->antes, antes, n);
            t->n = n;
        }
    }
    if (pronta) {
        b = bioSocket(t);
        pronta = b != nullptr;
    }
    if (!pronta) {
        SSL_free(t->ssl);
        free(t->antes);
        delete t;
        ERR_clear_error();
        return nullptr;
    }
    SSL_set_bio(t->ssl, b, b);  // one transport both ways, owned by the session
    SSL_set_accept_state(t->ssl);
    return t;
}

int SessaoTls::cAperto() {
    SSL* s = ssl;
    int r = SSL_do_handshake(s);
    if (r == 1)
        return 1;
    int e = SSL_get_error(s, r);
    ERR_clear_error();
    // Waiting to write is rare in a handshake (the socket's buffer is
    // empty then); the next readable event, or the time-out, goes on.
    return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? 0 : -1;
}

long SessaoTls::cRecebe(int, void* buf, size_t n) {
    SSL* s = ssl;
    size_t total = 0;
    // Fill as far as the session holds: bytes left inside it raise no
    // readiness on the socket. Once it holds none, the socket is asked
    // again only when it is ready again: a read now would mostly find
    // nothing, a system call per request for a client that waits for
    // each reply.
    while (total < n) {
        size_t lidos = 0;
        if (SSL_read_ex(s, static_cast<char*>(buf) + total, n - total, &lidos) == 1) {
            total += lidos;
            if (!SSL_has_pending(s))
                break;
            continue;
        }
        int e = SSL_get_error(s, 0);
        ERR_clear_error();
        if (total > 0) {
            // Stopped by the end or a failure behind the bytes: the next
            // call says so, and no readiness will ask for it.
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
                guarda = true;
            return long(total);
        }
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
            return kIoWouldBlock;
        if (e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL)
            return 0;  // close_notify, or the stream ended without one
        return kIoFailed;
    }
    return long(total);
}

bool SessaoTls::cGuarda() const {
    return SSL_has_pending(ssl) || guarda;
}

long SessaoTls::cEnviaPar(int, const char* a, size_t na, const char* b, size_t nb, bool) {
    SSL* s = ssl;
    // A session writes a record at a time, each appended to the last
    // queued segment past the kernel's unsent limit: a peer that does not
    // read would have a whole segment of replies queued for it. Large
    // sends ask first and wait for room as a plain send would; a single
    // reply's send asks nothing, and costs no system call more.
    if (na + nb >= kEnvioGrande && platformUnsentBytes(socket) >= kBufferEnvio)
        return kIoWouldBlock;
    // Two pieces that fit one record go as one: one record and one send
    // instead of two. A retry brings the same bytes again, maybe more
    // behind them, which the library accepts from a moved buffer.
    static char junto[16384];
    if (nb > 0 && na + nb <= sizeof junto) {
        memcpy(junto, a, na);
        memcpy(junto + na, b, nb);
        return escreve(s, junto, na + nb);
    }
    long r = escreve(s, a, na);
    if (r < 0 || size_t(r) < na || nb == 0)
        return r;
    long r2 = escreve(s, b, nb);
    if (r2 == kIoFailed)
        return kIoFailed;
    return r + (r2 > 0 ? r2 : 0);
}

void SessaoTls::cFim() {
    SSL* s = ssl;
    if (s != nullptr && SSL_is_init_finished(s))
        SSL_shutdown(s);  // one attempt: the socket closes right after
    ERR_clear_error();
    SSL_free(s);  // and its transport over the socket with it
    free(antes);
    delete this;
    if (++finsDesdeLimpeza >= kFinsPorLimpeza) {
        finsDesdeLimpeza = 0;
        platformReleaseMemory();
    }
}
