// Clients that misbehave on purpose. After each of them the server must
// still answer a fresh connection at once, without having grown.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "protocol/sessao.h"

namespace {

using sessao::Sessao;

// Resident memory may grow by at most this much over the whole test: the
// server allocates nothing per message, so what it holds after start-up is
// what it keeps. The sanitizer build's allocator keeps freed blocks in
// quarantine, hence the margin.
constexpr long kMaxGrowthKb = 16 * 1024;

class Hostil : public Sessao {
protected:
    void SetUp() override {}
    bool sobe(const std::string& cfg, const std::string& sav = "") {
        if (!inicia(cfg, sav))
            return false;
        rssInicial = srv.rssKb();
        return rssInicial > 0;
    }
    // A new client is greeted and gets "+OK" for NOOP, and memory stayed
    // within its bound.
    void aindaServe(const char* origem = "127.0.0.9") {
        Client c;
        ASSERT_TRUE(conecta(c, origem));
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(c.send("NOOP\r\n"));
        EXPECT_EQ(c.readLine(), "+OK\r\n");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
        long rss = srv.rssKb();
        EXPECT_GT(rss, 0);
        EXPECT_LT(rss - rssInicial, kMaxGrowthKb) << "resident " << rss << " kB, at start " << rssInicial;
        EXPECT_TRUE(srv.alive());
    }
    // The statistics line starts with prefixo within a second or so: the
    // server learns of closed connections asynchronously.
    void esperaEstatistica(Client& c, const std::string& prefixo) {
        std::string linha;
        for (int i = 0; i < 50; i++) {
            ASSERT_TRUE(c.send("--debug\r\n"));
            linha = c.readLine();
            if (linha.rfind(prefixo, 0) == 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "statistics: " << linha << " expected to start with " << prefixo;
    }
    long rssInicial = 0;
};

const char* const kCfg = "regtempo = 0\ndiasreg = 0\nmaxconec = 4\n";

// Sends everything within timeoutMs, however slowly the peer reads.
bool enviaDevagar(int fd, const std::string& bytes, int timeoutMs) {
    auto fim = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t feito = 0;
    while (feito < bytes.size() && std::chrono::steady_clock::now() < fim) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = ::send(fd, bytes.data() + feito, bytes.size() - feito, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            feito += size_t(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
    }
    return feito == bytes.size();
}

TEST_F(Hostil, OneMegabyteLineIsCutAndEchoedOnce) {
    ASSERT_TRUE(sobe(kCfg));
    std::string linha(1 << 20, 'X');
    // The server's 2048-byte receive buffer makes loopback uploads crawl
    // (about 20 KB/s): the line takes most of a minute to arrive. A thread
    // sends it while this one waits for the reply.
    bool enviado = false;
    std::thread envio([&] { enviado = enviaDevagar(cli.fd, linha + "\r\nNOOP\r\n", 120000); });
    // The echo is cut at 119 characters and loses its line end, so the
    // NOOP reply follows it directly.
    std::string esperado = "-Comando desconhecido: " + std::string(96, 'X') + "+OK\r\n";
    EXPECT_EQ(cli.readUntil("+OK\r\n", 120000), esperado);
    envio.join();
    EXPECT_TRUE(enviado);
    EXPECT_EQ(cli.readFor(200), "");
    aindaServe();
}

TEST_F(Hostil, ControlBytesVanishAndHighBytesStay) {
    ASSERT_TRUE(sobe(kCfg));
    // NUL, 0x01 and ESC vanish; DEL (0x7F) is an ordinary byte.
    EXPECT_EQ(troca(cli, {std::string("NO\0\x01OP\x1b", 7)}), "+OK\r\n");
    EXPECT_EQ(troca(cli, {"\xFFNOOP"}), "-Comando desconhecido: \xFFNOOP\r\n");
    EXPECT_EQ(troca(cli, {"NO\x7FOP"}), "-Comando desconhecido: NO\x7FOP\r\n");
    ASSERT_TRUE(cli.send(std::string(5000, '\0') + "\r\n" + std::string(3000, '\xFF') + "\r\n"));
    // The NULs make an empty line, which is ignored; the long line's echo
    // is cut before its line end.
    EXPECT_EQ(cli.readFor(500), "-Comando desconhecido: " + std::string(96, '\xFF'));
    aindaServe();
}

TEST_F(Hostil, TenThousandEmptyLinesGiveNothing) {
    ASSERT_TRUE(sobe(kCfg));
    std::string vazias;
    for (int i = 0; i < 10000; i++)
        vazias += i % 3 == 0 ? "\r\n" : (i % 3 == 1 ? "\n" : "\r");
    ASSERT_TRUE(cli.send(vazias + "NOOP\r\n"));
    EXPECT_EQ(cli.readLine(), "+OK\r\n");
    EXPECT_EQ(cli.readFor(300), "");
    aindaServe();
}

TEST_F(Hostil, HalfALineThenSilenceStillTimesOut) {
    ASSERT_TRUE(sobe("regtempo = 0\ndiasreg = 0\nmaxtempo = 2\n"));
    ASSERT_TRUE(cli.send("REGIS"));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(cli.readLine(5000), "-Tempo esgotado\r\n");
    EXPECT_TRUE(cli.waitClosed(2000));
    auto passou = std::chrono::steady_clock::now() - t0;
    EXPECT_GT(passou, std::chrono::milliseconds(900));
    EXPECT_LT(passou, std::chrono::milliseconds(4000));
    aindaServe();
}

TEST_F(Hostil, FiveHundredAttemptsFromOneAddress) {
    ASSERT_TRUE(sobe("regtempo = 0\ndiasreg = 0\nmaxconec = 2\n"));
    cli.close();
    Client a, b;
    ASSERT_TRUE(conecta(a, "127.0.0.20"));
    ASSERT_TRUE(conecta(b, "127.0.0.20"));
    const std::string recusa = "-Erro: N\xE3o \xE9 permitido mais de 2 conex\xF5" "es por m\xE1quina.\r\n";
    int recusadas = 0;
    for (int i = 0; i < 498; i++) {
        Client c;
        ASSERT_TRUE(c.connect(srv.port, "127.0.0.20")) << i;
        std::string r = c.readAll(3000);
        recusadas += r == recusa;
        ASSERT_EQ(r, recusa) << "attempt " << i;
    }
    EXPECT_EQ(recusadas, 498);
    Client d;
    ASSERT_TRUE(conecta(d, "127.0.0.21"));
    // The refused attempts counted nowhere: two clients of .20 and this one.
    esperaEstatistica(d, "+OK:  Usu\xE1rios: 3  M\xE1quinas: 2  Registros: 0  Data: ");
    a.close();
    b.close();
    // Both leave: their machine record goes at once (no registration wait).
    esperaEstatistica(d, "+OK:  Usu\xE1rios: 1  M\xE1quinas: 1  Registros: 0  Data: ");
    aindaServe();
}

std::string muitosUsuarios(int n) {
    std::string sav;
    uint32_t agora = sessao::minutoAgora();
    for (int i = 0; i < n; i++) {
        char email[40];
        snprintf(email, sizeof email, "u%05d@exemplo.com", i);
        sav += sessao::registroDe(email, "Fulano de Tal", "10.0.0.1", agora, "", 1);
    }
    return sav;
}

TEST_F(Hostil, SlowReaderDuringFindDoesNotHoldOthersBack) {
    ASSERT_TRUE(sobe(kCfg, muitosUsuarios(5000)));
    ASSERT_TRUE(cli.send("FIND\r\n"));
    std::string lido;
    Client outro;
    ASSERT_TRUE(conecta(outro, "127.0.0.30"));
    auto fim = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int rodadas = 0;
    while (std::chrono::steady_clock::now() < fim) {
        char buf[512];
        ssize_t n = recv(cli.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0)
            lido.append(buf, size_t(n));
        if (lido.size() >= 5 && lido.compare(lido.size() - 5, 5, "\r\n.\r\n") == 0)
            break;
        if (++rodadas % 50 == 0) {
            // Another client is served at once while the listing waits.
            auto t0 = std::chrono::steady_clock::now();
            ASSERT_TRUE(outro.send("NOOP\r\n"));
            ASSERT_EQ(outro.readLine(), "+OK\r\n");
            EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int linhas = 0;
    for (size_t p = 0; (p = lido.find("\r\n", p)) != std::string::npos; p += 2)
        linhas++;
    EXPECT_EQ(linhas, 5000 + 2);  // the "+OK" line, every user, the "."
    aindaServe();
}

TEST_F(Hostil, ReaderVanishingOrResettingMidListing) {
    ASSERT_TRUE(sobe(kCfg, muitosUsuarios(3000)));
    for (int i = 0; i < 10; i++) {
        Client c;
        ASSERT_TRUE(conecta(c, "127.0.0.40"));
        ASSERT_TRUE(c.send("FIND\r\n"));
        ASSERT_EQ(c.readLine(), "+OK Lista de usu\xE1rios encontrados se segue\r\n");
        if (i % 2 == 0) {
            // A reset with output pending: the server's next send fails
            // (and must not raise SIGPIPE).
            linger l{1, 0};
            ASSERT_EQ(setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l), 0);
        }
        c.close();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    aindaServe();
    esperaEstatistica(cli, "+OK:  Usu\xE1rios: 1  M\xE1quinas: 1  Registros: 3000  Data: ");
}

}  // namespace
