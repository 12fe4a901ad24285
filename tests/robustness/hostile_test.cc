// Clients that misbehave on purpose. After each of them the server must
// still answer a fresh connection at once, without having grown.
#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

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

// How many descriptors the server holds open on its file nome.
int descritoresDe(const ServerProcess& s, const std::string& nome) {
    char* caminho = realpath(s.path(nome).c_str(), nullptr);
    if (caminho == nullptr)
        return -1;
    const std::string arquivo = caminho;
    free(caminho);
    std::string fds = "/proc/" + std::to_string(s.pid) + "/fd";
    DIR* d = opendir(fds.c_str());
    if (d == nullptr)
        return -1;
    int abertos = 0;
    while (dirent* e = readdir(d)) {
        char alvo[4096];
        ssize_t n = readlink((fds + "/" + e->d_name).c_str(), alvo, sizeof alvo - 1);
        if (n > 0 && std::string(alvo, size_t(n)) == arquivo)
            abertos++;
    }
    closedir(d);
    return abertos;
}

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
    // Nothing more came: the next line's reply is the next thing to come.
    ASSERT_TRUE(cli.send("NOOP\r\n"));
    EXPECT_EQ(cli.readLine(), "+OK\r\n");
    aindaServe();
}

TEST_F(Hostil, ControlBytesVanishAndHighBytesStay) {
    ASSERT_TRUE(sobe(kCfg));
    // NUL, 0x01 and ESC vanish; DEL (0x7F) is an ordinary byte.
    EXPECT_EQ(troca(cli, {std::string("NO\0\x01OP\x1b", 7)}), "+OK\r\n");
    EXPECT_EQ(troca(cli, {"\xFFNOOP"}), "-Comando desconhecido: \xFFNOOP\r\n");
    EXPECT_EQ(troca(cli, {"NO\x7FOP"}), "-Comando desconhecido: NO\x7FOP\r\n");
    ASSERT_TRUE(cli.send(std::string(5000, '\0') + "\r\n" + std::string(3000, '\xFF') + "\r\nNOOP\r\n"));
    // The NULs make an empty line, which is ignored; the long line's echo
    // is cut before its line end, so the NOOP's reply follows it directly.
    EXPECT_EQ(cli.readUntil("+OK\r\n"), "-Comando desconhecido: " + std::string(96, '\xFF') + "+OK\r\n");
    aindaServe();
}

TEST_F(Hostil, TenThousandEmptyLinesGiveNothing) {
    ASSERT_TRUE(sobe(kCfg));
    std::string vazias;
    for (int i = 0; i < 10000; i++)
        vazias += i % 3 == 0 ? "\r\n" : (i % 3 == 1 ? "\n" : "\r");
    ASSERT_TRUE(cli.send(vazias + "NOOP\r\nNOOP\r\n"));
    // Two replies, and nothing between them or before them.
    EXPECT_EQ(cli.readLine(), "+OK\r\n");
    EXPECT_EQ(cli.readLine(), "+OK\r\n");
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
    // Told once for the minute, not once per attempt.
    const std::string erros = srv.errors();
    const std::string linha = "quelta: connection from 127.0.0.20 refused: it holds 2, the most per address\n";
    EXPECT_NE(erros.find(linha), std::string::npos) << erros;
    EXPECT_EQ(erros.find("refused"), erros.rfind("refused")) << erros;
    Client d;
    ASSERT_TRUE(conecta(d, "127.0.0.21"));
    // The refused attempts counted nowhere: two clients of .20 and this one.
    esperaEstatistica(d, "+OK:  Usu\xE1rios: 3  M\xE1quinas: 2  Registros: 0  Data: ");
    a.close();
    b.close();
    // Both leave: their machine record goes at once (no registration wait).
    esperaEstatistica(d, "+OK:  Usu\xE1rios: 1  M\xE1quinas: 1  Registros: 0  Data: ");
    // Coming back, and refused again within the minute: still not told again.
    ASSERT_TRUE(conecta(a, "127.0.0.20"));
    ASSERT_TRUE(conecta(b, "127.0.0.20"));
    Client c;
    ASSERT_TRUE(c.connect(srv.port, "127.0.0.20"));
    EXPECT_EQ(c.readAll(3000), recusa);
    esperaEstatistica(d, "+OK:  Usu\xE1rios: 3  M\xE1quinas: 2  Registros: 0  Data: ");
    EXPECT_EQ(srv.errors().find("refused"), srv.errors().rfind("refused")) << srv.errors();
    aindaServe();
}

TEST_F(Hostil, IdleClientsCannotTakeTheRegistrysDescriptors) {
    srv.descriptorLimit = 64;
    ASSERT_TRUE(sobe("regtempo = 0\ndiasreg = 0\n",
                     sessao::registroDe("user@ex.com", "Fulano de Tal", "10.0.0.1", sessao::minutoAgora(), "pw", 1)));
    // The first ageing pass, a second after the start, closes the file,
    // leaving only the descriptor that holds its lock: the commands below
    // must open it again.
    for (int i = 0; i < 500 && descritoresDe(srv, "quelta.sav") != 1; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(descritoresDe(srv, "quelta.sav"), 1);
    // Two idle clients from each of 40 addresses: more than the limit holds.
    std::vector<Client> ociosos(80);
    for (size_t i = 0; i < ociosos.size(); i++) {
        std::string origem = "127.0.1." + std::to_string(1 + i / 2);
        ASSERT_TRUE(ociosos[i].connect(srv.port, origem.c_str())) << i;
    }
    std::string g = troca("GET user@ex.com");
    EXPECT_NE(g.find("\r\nFulano de Tal\r\n"), std::string::npos) << g;
    EXPECT_EQ(troca("LOGON user@ex.com:pw casa"), "+OK Entrada registrada\r\n");
    registra("novo@ex.com", "Ciclano de Tal");
    // Once some leave, new clients are served again.
    for (size_t i = 0; i < 20; i++)
        ociosos[i].close();
    bool serviu = false;
    for (int t = 0; t < 50 && !serviu; t++) {
        Client c;
        serviu = c.connect(srv.port, "127.0.0.9") && c.readLine(200).rfind("+OK QUELTA", 0) == 0;
        if (!serviu)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(serviu);
    const std::string erros = srv.errors();
    const std::string aviso = "quelta: refusing connections: fewer than 16 of 64 descriptors are free\n";
    EXPECT_NE(erros.find(aviso), std::string::npos) << erros;
    EXPECT_EQ(erros.find(aviso), erros.rfind(aviso)) << erros;
    EXPECT_NE(erros.find("quelta: accepting connections again; "), std::string::npos) << erros;
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
    esperaEstatistica(cli, "+OK:  Usu\xE1rios: 1  M\xE1quinas: 1  Registros: 3000  Data: ");
    aindaServe();
}


// Server time (user + system) in clock ticks, from /proc.
long tempoDeCpu(pid_t pid) {
    std::string stat;
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (f == nullptr)
        return -1;
    char b[1024];
    size_t n = fread(b, 1, sizeof b - 1, f);
    fclose(f);
    stat.assign(b, n);
    size_t p = stat.rfind(')');  // the name may hold blanks
    if (p == std::string::npos)
        return -1;
    long utime = 0, stime = 0;
    if (sscanf(stat.c_str() + p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime) != 2)
        return -1;
    return utime + stime;
}

TEST_F(Hostil, HalfClosedBatchesGetEveryReplyWholeAndInOrder) {
    ASSERT_TRUE(sobe(kCfg + std::string("maxtempo = 0\n"), muitosUsuarios(3000)));
    // What single commands answer, to build each batch's whole reply.
    const std::string ajuda = troca("HELP");
    EXPECT_TRUE(cli.send("FIND\r\n"));
    const std::string lista = cli.readUntil("\r\n.\r\n", 10000);
    const std::string ninguem = sessao::kNaoRegistrado + "ninguem@x.com\r\n";
    ASSERT_GT(lista.size(), size_t(3000 * 30));

    std::string rajada, rajadaEsperada;
    for (int i = 0; i < 20000; i++) {
        rajada += i % 2 == 0 ? "NOOP\r\n" : "IP ninguem@x.com\r\n";
        rajadaEsperada += i % 2 == 0 ? "+OK\r\n" : ninguem;
    }
    std::string ajudas, ajudasEsperadas;
    for (int i = 0; i < 300; i++) {
        ajudas += "HELP\r\n";
        ajudasEsperadas += ajuda;
    }
    std::string noops(200 * 6, ' ');
    for (size_t i = 0; i < noops.size(); i += 6)
        noops.replace(i, 6, "NOOP\r\n");
    struct Caso {
        const char* nome;
        std::string lote;
        std::string esperado;  // with the NOOP replies of a listing taken out
        int noopsIntercalados;
    } casos[] = {
        {"20000 lines", rajada, rajadaEsperada, 0},
        {"300 HELP", ajudas, ajudasEsperadas, 0},
        // Replies of the commands behind a listing may fall between its
        // lines; none is lost, and the "." still ends the listing.
        {"FIND and commands behind it", "FIND\r\n" + noops, lista, 200},
    };
    for (const Caso& k : casos) {
        SCOPED_TRACE(k.nome);
        Client c;
        ASSERT_TRUE(conecta(c, "127.0.0.50"));
        ASSERT_TRUE(c.send(k.lote));
        ASSERT_EQ(::shutdown(c.fd, SHUT_WR), 0);  // as nc -N does
        std::string r = c.readAll(30000);
        EXPECT_TRUE(c.peerClosed) << "the server keeps a finished batch open";
        int noops = 0;
        for (size_t p; (p = r.find("+OK\r\n")) != std::string::npos && k.noopsIntercalados > 0; noops++)
            r.erase(p, 5);
        EXPECT_EQ(noops, k.noopsIntercalados);
        EXPECT_EQ(r.size(), k.esperado.size());
        EXPECT_TRUE(r == k.esperado);
    }
    aindaServe();
}

TEST_F(Hostil, FlooderThatNeverReadsCostsNoTimeAndLosesNoReply) {
    ASSERT_TRUE(sobe(kCfg + std::string("maxtempo = 0\n")));
    const std::string ajuda = troca("HELP");
    // HELP lines until the kernel takes no more: the server holds back
    // their input once its replies have nowhere to go.
    Client inundador;
    ASSERT_TRUE(conecta(inundador, "127.0.0.60"));
    // Its own send buffer small, so the flood stops after some megabytes
    // of replies rather than some hundreds.
    int pequeno = 16384;
    ASSERT_EQ(setsockopt(inundador.fd, SOL_SOCKET, SO_SNDBUF, &pequeno, sizeof pequeno), 0);
    std::string bloco;
    for (int i = 0; i < 1000; i++)
        bloco += "HELP\r\n";
    size_t enviados = 0;
    auto fim = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int parados = 0;
    while (parados < 20 && std::chrono::steady_clock::now() < fim) {
        size_t inicio = enviados % bloco.size();
        ssize_t n = ::send(inundador.fd, bloco.data() + inicio, bloco.size() - inicio, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            enviados += size_t(n);
            parados = 0;
        } else {
            parados++;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ASSERT_GT(enviados, size_t(30000)) << "the flood never filled the buffers";

    // Held back, it costs the loop nothing, and others are served at once.
    long antes = tempoDeCpu(srv.pid);
    Client outro;
    ASSERT_TRUE(conecta(outro, "127.0.0.61"));
    for (int i = 0; i < 50; i++) {
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(outro.send("NOOP\r\n"));
        ASSERT_EQ(outro.readLine(), "+OK\r\n");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    long depois = tempoDeCpu(srv.pid);
    ASSERT_GE(antes, 0);
    EXPECT_LT(depois - antes, 30) << "clock ticks over a second of holding the flooder back";
    aindaServe();

    // Once it reads, every line it sent in full has its whole reply.
    ASSERT_EQ(::shutdown(inundador.fd, SHUT_WR), 0);
    std::string r = inundador.readAll(60000);
    size_t completos = enviados / 6;
    EXPECT_EQ(r.size(), completos * ajuda.size());
    size_t iguais = 0;
    for (size_t p = 0; p + ajuda.size() <= r.size() && r.compare(p, ajuda.size(), ajuda) == 0; p += ajuda.size())
        iguais++;
    EXPECT_EQ(iguais, completos);
}

}  // namespace

TEST_F(Hostil, FindsThatMatchNobodyDoNotFreezeTheLoop) {
    // One write of 200 FINDs that walk 50,000 users each: ten million
    // nodes, which a listing step walking to the end would do in one call.
    ASSERT_TRUE(sobe(kCfg + std::string("maxtempo = 0\n"), muitosUsuarios(50000)));
    std::string lote;
    for (int i = 0; i < 200; i++)
        lote += "FIND zzzzqqq\r\n";
    Client outro;
    ASSERT_TRUE(conecta(outro, "127.0.0.70"));
    ASSERT_TRUE(cli.send(lote));
    auto pior = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < 100; i++) {
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(outro.send("NOOP\r\n"));
        ASSERT_EQ(outro.readLine(), "+OK\r\n");
        pior = std::max(pior, std::chrono::steady_clock::now() - t0);
    }
    EXPECT_LT(pior, std::chrono::milliseconds(100));
    // Each FIND restarts the listing: 200 first lines, and the last
    // listing's "." once it has walked everyone.
    std::string esperado;
    for (int i = 0; i < 200; i++)
        esperado += "+OK Lista de usu\xE1rios encontrados se segue\r\n";
    esperado += ".\r\n";
    std::string r = cli.readUntil(".\r\n", 30000);
    EXPECT_TRUE(r == esperado) << r.size() << " bytes";
    aindaServe();
}
