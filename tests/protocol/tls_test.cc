// The TLS port of the real server, with openssl s_client as the client: a
// session byte for byte as over TCP, plain text refused while others are
// served, a close_notify taken as TCP's half-close, silent connections
// closed after 10 s, and a pair that does not load stopping the start; and
// in this process, a TLS port whose system calls fail under a session.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/tls.h"
#include "operations/contadores.h"
#include "sessao.h"
#include "support/em_processo.h"

using namespace sessao;

namespace {

// The lines, as printf reads them, through s_client; its output.
std::string porTls(int porta, const std::string& linhas) {
    return commandOutput("sh -c \"printf '" + linhas + "' | openssl s_client -quiet -connect 127.0.0.1:" +
                 std::to_string(porta) + " 2>/dev/null\"");
}

// A batch written over TLS and ended by close_notify alone (the socket
// stays open both ways); everything read until the server's own close.
std::string loteComFim(int porta, const std::string& lote) {
    Client c;
    if (!c.connect(porta))
        return "no connection";
    fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) & ~O_NONBLOCK);
    timeval prazo{10, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &prazo, sizeof prazo);
    setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &prazo, sizeof prazo);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* s = SSL_new(ctx);
    SSL_set_fd(s, c.fd);
    std::string r;
    if (SSL_connect(s) == 1 && SSL_write(s, lote.data(), int(lote.size())) == int(lote.size()) &&
        SSL_shutdown(s) >= 0) {
        char buf[16384];
        for (int n, i = 0; i < 10000 && (n = SSL_read(s, buf, sizeof buf)) > 0; i++)
            r.append(buf, size_t(n));
        if ((SSL_get_shutdown(s) & SSL_RECEIVED_SHUTDOWN) == 0)
            r += "[no close_notify from the server]";
    } else {
        r = "TLS failed";
    }
    SSL_free(s);
    SSL_CTX_free(ctx);
    return r;
}

class Tls : public ::testing::Test {
protected:
    void SetUp() override {
        if (system("openssl version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "openssl is not installed";
        ASSERT_TRUE(srv.makeDir());
        ASSERT_TRUE(makeTlsPair(srv.path("k.pem"), srv.path("c.pem")));
        tls = ServerProcess::freePort();
    }
    std::string cfg() {
        return std::string(kCfgBase) + "portatls = " + std::to_string(tls) + "\ncertificado = " + srv.path("c.pem") +
               "\nchave = " + srv.path("k.pem") + "\n";
    }
    ServerProcess srv;
    int tls = 0;
};

TEST_F(Tls, SessionIsServedAsOverTcp) {
    ASSERT_TRUE(srv.start(cfg())) << srv.error;
    const std::string linhas = "NOOP\\r\\nHELP\\r\\nIP x@exemplo.com\\r\\nFIND\\r\\nnada\\r\\nQUIT\\r\\n";
    Client c;
    ASSERT_TRUE(c.connect(srv.port));
    ASSERT_TRUE(c.send("NOOP\r\nHELP\r\nIP x@exemplo.com\r\nFIND\r\nnada\r\nQUIT\r\n"));
    const std::string tcp = c.readAll(5000);
    ASSERT_NE(tcp.find("-Comando desconhecido: nada\r\n"), std::string::npos) << tcp;
    EXPECT_EQ(porTls(tls, linhas), tcp);
    // A reload with a key that does not match keeps the pair in use; one
    // with a good pair takes it for the next handshakes.
    ASSERT_TRUE(makeTlsPair(srv.path("k2.pem"), srv.path("c2.pem"), "novo"));
    const std::string base = cfg().substr(0, cfg().find("certificado"));
    for (const char* par : {"c.pem\nchave = k2", "c2.pem\nchave = k2"}) {
        ASSERT_TRUE(srv.writeFile("quelta.cfg", base + "porta = " + std::to_string(srv.port) + "\ncertificado = " +
                                                    srv.dir + "/" + par + ".pem\n"));
        ASSERT_EQ(kill(srv.pid, SIGHUP), 0);
        EXPECT_EQ(porTls(tls, "NOOP\\r\\nQUIT\\r\\n"), kSaudacao1 + "+OK\r\n") << par;
    }
    const std::string log = srv.errors();
    EXPECT_NE(log.find("quelta: TLS certificate not reloaded: "), std::string::npos) << log;
    EXPECT_NE(log.find("quelta: TLS certificate and key reloaded\n"), std::string::npos) << log;
    EXPECT_NE(commandOutput("sh -c \"echo | openssl s_client -connect 127.0.0.1:" + std::to_string(tls) +
                    " 2>/dev/null | grep subject=\"").find("CN = novo"),
              std::string::npos);
}

TEST_F(Tls, PlainTextOnTheTlsPortIsClosedAndOthersAreServed) {
    const int metricas = ServerProcess::freePort();
    ASSERT_TRUE(srv.start(cfg() + "metricas = 127.0.0.1:" + std::to_string(metricas) + "\n")) << srv.error;
    Client plano;
    ASSERT_TRUE(plano.connect(tls));
    ASSERT_TRUE(plano.send("NOOP\r\n"));
    Client outro;
    ASSERT_TRUE(outro.connect(srv.port, "127.0.0.2"));
    EXPECT_EQ(outro.readLine().rfind("+OK QUELTA", 0), 0u);
    EXPECT_EQ(plano.readAll(3000), "");
    EXPECT_TRUE(plano.peerClosed);
    ASSERT_TRUE(outro.send("NOOP\r\n"));
    EXPECT_EQ(outro.readLine(), "+OK\r\n");
    EXPECT_EQ(porTls(tls, "QUIT\\r\\n"), kSaudacao1.substr(0, 30) + "2 usu\xE1rios.\r\n");
    Client h;
    ASSERT_TRUE(h.connect(metricas));
    ASSERT_TRUE(h.send("GET /metrics HTTP/1.1\r\n\r\n"));
    const std::string r = h.readAll();
    const std::string m = r.substr(r.find("\r\n\r\n") + 4);
    // Every port counts what it accepted, this request included.
    for (const char* linha : {"\nquelta_tls_handshakes_total 1\n", "\nquelta_tls_handshake_failures_total 1\n",
                              "\nquelta_connections_accepted_total{port=\"plain\"} 1\n",
                              "\nquelta_connections_accepted_total{port=\"tls\"} 2\n",
                              "\nquelta_connections_accepted_total{port=\"metrics\"} 1\n"})
        EXPECT_NE(m.find(linha), std::string::npos) << linha << m;
    // The failed handshake is one fact, exported once.
    EXPECT_EQ(m.find("tls_handshake\""), std::string::npos) << m;
    if (system("promtool --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool is not installed (Debian: prometheus)";
    ASSERT_TRUE(srv.writeFile("metricas.txt", m));
    EXPECT_EQ(commandOutput("promtool check metrics < " + srv.path("metricas.txt") + " 2>&1; echo status=$?"),
              "status=0\n");
}

TEST_F(Tls, CloseNotifyIsAHalfCloseAndSilenceEndsInTenSeconds) {
    ASSERT_TRUE(srv.start(cfg() + "proxies = 127.0.0.7\n")) << srv.error;
    // Neither a handshake nor a proxy's header: each closed after 10 s.
    const auto inicio = std::chrono::steady_clock::now();
    Client mudo, proxyMudo;
    ASSERT_TRUE(mudo.connect(tls));
    ASSERT_TRUE(proxyMudo.connect(srv.port, "127.0.0.7"));
    // Unfinished handshakes count toward maxconec (2): a third connection
    // of their address is closed at once, before any handshake.
    Client mudo2, demais;
    ASSERT_TRUE(mudo2.connect(tls, "127.0.0.8"));
    ASSERT_TRUE(mudo2.send("\x16\x03\x01"));  // the start of a hello, and no more
    ASSERT_TRUE(demais.connect(tls, "127.0.0.8"));
    Client terceiro;
    ASSERT_TRUE(terceiro.connect(tls, "127.0.0.8"));
    EXPECT_EQ(terceiro.readAll(2000), "");
    EXPECT_TRUE(terceiro.peerClosed);
    EXPECT_FALSE(demais.waitClosed(100));
    // Meanwhile a batch ended by close_notify is answered whole, as one
    // ended by a TCP half-close, and only then closed.
    std::string lote;
    for (int i = 0; i < 2000; i++)
        lote += i % 3 == 0 ? "HELP\r\n" : i % 3 == 1 ? "IP x@exemplo.com\r\n" : "NOOP\r\n";
    Client tcp;
    ASSERT_TRUE(tcp.connect(srv.port, "127.0.0.2"));
    ASSERT_TRUE(tcp.send(lote));
    ASSERT_EQ(::shutdown(tcp.fd, SHUT_WR), 0);
    const std::string esperado = tcp.readAll(10000);
    ASSERT_TRUE(tcp.peerClosed);
    ASSERT_GT(esperado.size(), 100000u);
    const std::string r = loteComFim(tls, lote);
    EXPECT_EQ(r.size(), esperado.size());
    EXPECT_TRUE(r == esperado) << r.substr(r.size() > 200 ? r.size() - 200 : 0);
    for (Client* c : {&mudo, &proxyMudo}) {
        EXPECT_TRUE(c->waitClosed(13000));
        const auto passados = std::chrono::steady_clock::now() - inicio;
        EXPECT_GT(passados, std::chrono::seconds(9));
        EXPECT_LT(passados, std::chrono::seconds(13));
    }
    EXPECT_NE(srv.errors().find("quelta: connection from proxy 127.0.0.7 closed: no PROXY header within 10 s\n"),
              std::string::npos)
        << srv.errors();
}

// A TLS client that floods and never reads holds its session at the
// kernel's unsent limit, where a send asks the kernel before it tries the
// socket; once the client resets, the connection must go at once rather
// than wait on a dead socket that every wait reports again.
TEST_F(Tls, ResetFlooderAtTheUnsentLimitIsDropped) {
    ASSERT_TRUE(srv.start(cfg() + "maxtempo = 0\n")) << srv.error;
    Client c;
    ASSERT_TRUE(c.connect(tls));
    fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) & ~O_NONBLOCK);
    timeval prazo{1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &prazo, sizeof prazo);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* s = SSL_new(ctx);
    SSL_set_fd(s, c.fd);
    ASSERT_EQ(SSL_connect(s), 1);
    std::string ajudas;
    for (int i = 0; i < 2700; i++)
        ajudas += "IP ninguem@exemplo.com\r\n";
    int escritos = 0;
    while (escritos < 200 && SSL_write(s, ajudas.data(), int(ajudas.size())) == int(ajudas.size()))
        escritos++;
    ASSERT_LT(escritos, 200);  // the server stopped reading: its replies wait
    linger l{1, 0};
    ASSERT_EQ(setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l), 0);
    SSL_free(s);
    SSL_CTX_free(ctx);
    c.close();
    Client outro;
    ASSERT_TRUE(outro.connect(srv.port));
    outro.readLine();
    std::string linha;
    for (int i = 0; i < 50; i++) {
        ASSERT_TRUE(outro.send("--debug\r\n"));
        linha = outro.readLine();
        if (linha.rfind("+OK:  Usu\xE1rios: 1 ", 0) == 0)
            break;
        usleep(100000);
    }
    EXPECT_EQ(linha.rfind("+OK:  Usu\xE1rios: 1 ", 0), 0u) << linha;
}

// TLS 1.2 with an RSA pair, where a static RSA key exchange and CBC
// suites would be possible: only ephemeral key exchange with AEAD is
// agreed, in the server's order whatever the client prefers.
TEST_F(Tls, Tls12AgreesOnlyForwardSecretAeadInTheServersOrder) {
    ASSERT_TRUE(makeTlsPair(srv.path("k.pem"), srv.path("c.pem"), "localhost", true));
    ASSERT_TRUE(srv.start(cfg())) << srv.error;
    const struct {
        const char* oferta;
        const char* acordo;  // empty: no handshake
    } casos[] = {
        {"AES128-SHA", ""},
        {"AES256-GCM-SHA384", ""},
        {"ECDHE-RSA-AES128-SHA", ""},
        {"DHE-RSA-AES128-GCM-SHA256", ""},
        {"ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES128-GCM-SHA256", "ECDHE-RSA-AES128-GCM-SHA256"},
        {"ECDHE-RSA-CHACHA20-POLY1305", "ECDHE-RSA-CHACHA20-POLY1305"},
    };
    for (const auto& c : casos) {
        const std::string saida =
            commandOutput("sh -c \"echo | openssl s_client -tls1_2 -cipher " + std::string(c.oferta) +
                          " -connect 127.0.0.1:" + std::to_string(tls) + " 2>&1 | grep 'Cipher is'\"");
        if (c.acordo[0] == 0)
            EXPECT_NE(saida.find("Cipher is (NONE)"), std::string::npos) << c.oferta << ": " << saida;
        else
            EXPECT_NE(saida.find(std::string("Cipher is ") + c.acordo), std::string::npos) << c.oferta << ": " << saida;
    }
}

TEST_F(Tls, PairThatDoesNotLoadStopsTheStart) {
    // The key of another certificate: the pair does not match.
    ASSERT_TRUE(makeTlsPair(srv.path("outra.pem"), srv.path("outro.pem"), "outro"));
    for (const std::string& chave : {srv.path("outra.pem"), srv.path("nao-existe.pem")}) {
        ServerProcess s;
        ASSERT_TRUE(s.launch(std::string(kCfgBase) + "porta = " + std::to_string(ServerProcess::freePort()) +
                             "\nender = 127.0.0.1\nportatls = " + std::to_string(tls) +
                             "\ncertificado = " + srv.path("c.pem") + "\nchave = " + chave + "\n"))
            << s.error;
        EXPECT_EQ(s.waitExit(10000), 1) << chave;
        EXPECT_NE(s.errors().find("quelta: start-up failed: TLS port " + std::to_string(tls) + ": "), std::string::npos)
            << s.errors();
        EXPECT_FALSE(s.listening()) << chave;
    }
}

// The TLS port in this process, over socketpairs, the client's session
// driven from the test: a receive that fails in the middle of the handshake
// and a send that fails in the middle of a record each close their own
// connection, and the server goes on.
class TlsEmProcesso : public emprocesso::EmProcesso {};

TEST_F(TlsEmProcesso, FailedReceiveMidHandshakeAndSendMidRecordCloseTheirConnectionAlone) {
    if (system("openssl version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "openssl is not installed";
    ASSERT_TRUE(makeTlsPair(path("k.pem"), path("c.pem")));
    const char* erro = tlsCarrega(path("c.pem").c_str(), path("k.pem").c_str());
    ASSERT_EQ(erro, nullptr) << erro;
    ASSERT_TRUE(inicia("regtempo = 0\ndiasreg = 0\n"));
    TRecepcao portaTls(true);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    struct Caso {
        const char* nome;
        PlatformFaultCall chamada;
        bool aposAperto;  // the fault comes after the handshake and the greeting
        long movidos;     // bytes the failing call still moves
    } casos[] = {
        {"receive in the handshake", PlatformFaultCall::kRecv, false, 0},
        {"send in a record", PlatformFaultCall::kSend, true, 20},
    };
    for (const Caso& caso : casos) {
        SCOPED_TRACE(caso.nome);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        fcntl(sv[0], F_SETFL, O_NONBLOCK);
        fcntl(sv[1], F_SETFL, O_NONBLOCK);
        const int32_t clientes = usuarios;
        const uint64_t falhos = contadores.apertosFalhos;
        portaTls.cAceita(sv[0], PeerAddress{inet_addr("127.0.0.2"), 0x3412});
        SSL* s = SSL_new(ctx);
        SSL_set_fd(s, sv[1]);
        SSL_set_connect_state(s);
        if (!caso.aposAperto) {
            SSL_do_handshake(s);  // the client's hello goes out; the server's read of it fails
        } else {
            ASSERT_TRUE(bombeia([&] { return SSL_do_handshake(s) == 1; }));
            std::string saudacao;
            ASSERT_TRUE(bombeia([&] {
                char b[256];
                int n = SSL_read(s, b, sizeof b);
                if (n > 0)
                    saudacao.append(b, size_t(n));
                return saudacao.find("\r\n") != std::string::npos;
            }));
            EXPECT_EQ(saudacao.rfind("+OK QUELTA Vers\xE3o 2.03. Agora ", 0), 0u) << saudacao;
            ASSERT_EQ(SSL_write(s, "NOOP\r\n", 6), 6);  // its reply's record is cut short
        }
        platformFailCall(caso.chamada, 1, caso.aposAperto ? EPIPE : ECONNRESET, caso.movidos);
        // What reaches the client, up to the end of its stream.
        size_t bytes = 0;
        bool fim = bombeia([&] {
            char b[4096];
            ssize_t n;
            while ((n = recv(sv[1], b, sizeof b, MSG_DONTWAIT)) > 0)
                bytes += size_t(n);
            return n == 0;
        });
        platformFailCall(caso.chamada, 0, 0);
        EXPECT_TRUE(fim) << "the connection did not close";
        EXPECT_EQ(bytes, size_t(caso.movidos));
        EXPECT_EQ(usuarios, clientes);
        EXPECT_EQ(contadores.apertosFalhos, falhos + (caso.aposAperto ? 0 : 1));
        SSL_free(s);
        close(sv[1]);
    }
    SSL_CTX_free(ctx);
    EXPECT_EQ(troca("NOOP"), "+OK\r\n");  // the server goes on
}

}  // namespace
