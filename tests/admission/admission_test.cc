// Admission, client life and the idle time-out. In process, the listener's
// cAceita gets one end of a socketpair and the test reads the other; the
// timer wheel is turned by hand. End to end, the real binary is reached
// from several loopback source addresses.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "admission/maquina.h"
#include "config/config.h"
#include "protocol/cliente.h"
#include "protocol/recepcao.h"
#include "registry/indice.h"
#include "protocol/envelhecimento.h"
#include "registry/registro.h"
#include "support/em_processo.h"
#include "support/harness.h"
#include "text/fold.h"

namespace {

std::string greeting(int n) {
    return "+OK QUELTA Vers\xE3o 2.03. Agora " + std::to_string(n) + " usu\xE1rio" + (n == 1 ? "" : "s") + ".\r\n";
}

std::string refusal(const std::string& n, bool singular) {
    return "-Erro: N\xE3o \xE9 permitido mais de " + n + " conex" + (singular ? "\xE3o" : "\xF5" "es") +
           " por m\xE1quina.\r\n";
}

const char kTimeout[] = "-Tempo esgotado\r\n";

const uint32_t kA = 0x0200007F;  // 127.0.0.2 in network order
const uint32_t kB = 0x0300007F;

// Everything the peer end receives until the other end closes (bounded).
std::string drain(int fd, int timeoutMs = 2000) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                           .count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            return got + "<no close>";
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return got;
        got.append(buf, size_t(n));
    }
}

// Bytes waiting right now, without waiting for more.
std::string pendingNow(int fd) {
    std::string got;
    char buf[512];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        got.append(buf, size_t(n));
    return got;
}

class Admission : public ::testing::Test {
protected:
    void SetUp() override {
        buildFoldTable();
        envelhecimento.cArma(0);  // the registry's ageing is not under test here
        config.maxconec = 2;
        config.maxtempo = 1;
        ASSERT_EQ(usuarios, 0);
        ASSERT_EQ(maquinas, 0);
    }
    void TearDown() override {
        for (int fd : peers)
            close(fd);
        config.maxconec = 2;
        config.maxtempo = 120;
    }
    // Hands a fresh non-blocking socket to admission as the listener would;
    // returns the test's end of the pair.
    int admit(uint32_t ip) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
            return -1;
        fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
        servidor.cAceita(sv[0], PeerAddress{ip, 0x3412});
        peers.push_back(sv[1]);
        return sv[1];
    }
    TRecepcao servidor;
    std::vector<int> peers;
};

TEST_F(Admission, LimitPerMachineAndExactRefusal) {
    struct Case {
        int32_t maxconec;
        int admitted;  // connections one address gets before the refusal
        std::string text;
    } cases[] = {
        {2, 2, refusal("2", false)},
        {1, 1, refusal("1", true)},
        {3, 3, refusal("3", false)},
        // The first connection makes the record and is never held to the
        // limit; only later ones meet it.
        {0, 1, refusal("0", false)},
        {-1, 1, refusal("-1", false)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("maxconec " + std::to_string(c.maxconec));
        config.maxconec = c.maxconec;
        std::vector<int> admittedA;
        for (int i = 0; i < c.admitted; i++)
            admittedA.push_back(admit(kA));
        int other = admit(kB);  // another address is not affected
        ASSERT_EQ(usuarios, c.admitted + 1);
        ASSERT_EQ(maquinas, 2);
        ASSERT_EQ(cBuscaMaquina(kA)->conexoes, c.admitted);

        int refused = admit(kA);
        EXPECT_EQ(drain(refused), c.text);  // the text alone, then the close
        EXPECT_EQ(usuarios, c.admitted + 1);
        EXPECT_EQ(maquinas, 2);
        EXPECT_EQ(cBuscaMaquina(kA)->conexoes, c.admitted);

        // maxtempo is 1: one turn of the wheel ends every client; each had
        // its greeting queued and gets it with the notice in the last flush.
        wheelAdvance(1);
        EXPECT_EQ(usuarios, 0);
        EXPECT_EQ(maquinas, 0);
        for (int i = 0; i < c.admitted; i++)
            EXPECT_EQ(drain(admittedA[size_t(i)]), greeting(i + 1) + kTimeout);
        EXPECT_EQ(drain(other), greeting(c.admitted + 1) + kTimeout);
    }
}

TEST_F(Admission, GreetingCountsEveryAddress) {
    int a = admit(kA);
    EXPECT_EQ(usuarios, 1);
    int b = admit(kB);
    int c = admit(kA);
    EXPECT_EQ(usuarios, 3);
    EXPECT_EQ(maquinas, 2);
    wheelAdvance(1);
    EXPECT_EQ(drain(a), greeting(1) + kTimeout);
    EXPECT_EQ(drain(b), greeting(2) + kTimeout);
    EXPECT_EQ(drain(c), greeting(3) + kTimeout);
}

TEST_F(Admission, LongMaxtempoTimesOutAfter300Seconds) {
    struct Case {
        int32_t maxtempo;
        int fires;
    } cases[] = {{1000, 300}, {300, 300}, {299, 299}, {2, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE("maxtempo " + std::to_string(c.maxtempo));
        config.maxtempo = c.maxtempo;
        int peer = admit(kA);
        wheelAdvance(c.fires - 1);
        EXPECT_EQ(usuarios, 1);
        EXPECT_EQ(pendingNow(peer), "");  // nothing flushed yet: no loop runs
        wheelAdvance(1);
        EXPECT_EQ(usuarios, 0);
        EXPECT_EQ(maquinas, 0);
        EXPECT_EQ(drain(peer), greeting(1) + kTimeout);
    }
}

TEST_F(Admission, NoTimeoutWithMaxtempoZeroOrLess) {
    for (int32_t t : {0, -5}) {
        config.maxtempo = t;
        TMaquina* m = new TMaquina(kA);
        TCliente* c = new TCliente(m);
        EXPECT_EQ(m->conexoes, 1);
        EXPECT_EQ(c->cRestante(), 0);
        wheelAdvance(300);
        wheelAdvance(300);
        EXPECT_EQ(usuarios, 1);
        delete c;
        // The last client of a record without a wait takes it along.
        EXPECT_EQ(maquinas, 0);
        EXPECT_EQ(cBuscaMaquina(kA), nullptr);
    }
}

TEST_F(Admission, PendingWaitKeepsRecordAfterLastClient) {
    config.maxconec = 1;
    TMaquina* m = new TMaquina(kA);
    m->cArma(5);  // a registration wait, as REGISTER leaves it
    int peer = admit(kA);
    // The waiting record is reused and its 0 connections admit the client.
    EXPECT_EQ(cBuscaMaquina(kA), m);
    EXPECT_EQ(maquinas, 1);
    EXPECT_EQ(m->conexoes, 1);
    wheelAdvance(1);  // the client times out; the wait has 4 s left
    EXPECT_EQ(drain(peer), greeting(1) + kTimeout);
    EXPECT_EQ(usuarios, 0);
    EXPECT_EQ(maquinas, 1);
    EXPECT_EQ(cBuscaMaquina(kA), m);
    EXPECT_EQ(m->conexoes, 0);
    wheelAdvance(3);
    EXPECT_EQ(maquinas, 1);
    wheelAdvance(1);  // the wait runs out with no client left
    EXPECT_EQ(maquinas, 0);
    EXPECT_EQ(cBuscaMaquina(kA), nullptr);
}

TEST_F(Admission, WaitEndingUnderClientsLeavesRecordToLastClient) {
    config.maxtempo = 0;
    TMaquina* m = new TMaquina(kA);
    TCliente* c1 = new TCliente(m);
    TCliente* c2 = new TCliente(m);
    m->cArma(1);
    wheelAdvance(1);  // the wait ends while two clients hold the record
    EXPECT_EQ(cBuscaMaquina(kA), m);
    delete c1;
    EXPECT_EQ(maquinas, 1);
    EXPECT_EQ(m->conexoes, 1);
    delete c2;
    EXPECT_EQ(maquinas, 0);
    EXPECT_EQ(usuarios, 0);
}

TEST_F(Admission, DebugClientGetsStatisticsWhenDestroyed) {
    // Uncounted from usuarios first, statistics next, the record last: the
    // final line no longer counts the client but still counts its machine.
    config.maxtempo = 0;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    peers.push_back(sv[1]);
    TCliente* c = new TCliente(new TMaquina(kA));
    c->cConecta(sv[0]);
    c->depura = true;
    delete c;
    std::string got = drain(sv[1]);
    std::string head = "+OK:  Usu\xE1rios: 0  M\xE1quinas: 1  Registros: " + std::to_string(indice.registros) + "  Data: ";
    EXPECT_EQ(got.compare(0, head.size(), head), 0) << got;
    EXPECT_EQ(got.size() > 2 ? got.substr(got.size() - 2) : got, "\r\n");
    EXPECT_EQ(got.find("\r\n"), got.size() - 2);  // one line only
    EXPECT_EQ(maquinas, 0);
}

// --- End to end ---------------------------------------------------------------

TEST(AdmissionServer, RefusalsGreetingsAndCounters) {
    ServerProcess s;
    ASSERT_TRUE(s.start("maxconec = 1\n")) << s.error;
    Client a;
    ASSERT_TRUE(a.connect(s.port, "127.0.0.2"));
    EXPECT_EQ(a.readLine(), greeting(1));

    Client refused;
    ASSERT_TRUE(refused.connect(s.port, "127.0.0.2"));
    EXPECT_EQ(refused.readAll(), refusal("1", true));
    EXPECT_TRUE(refused.peerClosed);

    // The refusal counted nowhere.
    std::string stats = "+OK:  Usu\xE1rios: 1  M\xE1quinas: 1  Registros: 0  Data: ";
    ASSERT_TRUE(a.send("--debug\r\n"));
    std::string line = a.readLine();
    EXPECT_EQ(line.compare(0, stats.size(), stats), 0) << line;

    Client b;
    ASSERT_TRUE(b.connect(s.port, "127.0.0.3"));
    EXPECT_EQ(b.readLine(), greeting(2));
    ASSERT_TRUE(a.send("--debug\r\n"));
    line = a.readLine();
    stats = "+OK:  Usu\xE1rios: 2  M\xE1quinas: 2  Registros: 0  Data: ";
    EXPECT_EQ(line.compare(0, stats.size(), stats), 0) << line;

    // When b's client goes, its machine goes with it at once.
    ASSERT_TRUE(b.send("QUIT\r\n"));
    EXPECT_TRUE(b.waitClosed());
    ASSERT_TRUE(a.send("--debug\r\n"));
    line = a.readLine();
    stats = "+OK:  Usu\xE1rios: 1  M\xE1quinas: 1  Registros: 0  Data: ";
    EXPECT_EQ(line.compare(0, stats.size(), stats), 0) << line;

    // And its address may connect again.
    Client b2;
    ASSERT_TRUE(b2.connect(s.port, "127.0.0.3"));
    EXPECT_EQ(b2.readLine(), greeting(2));
    EXPECT_TRUE(s.alive());
}

TEST(AdmissionServer, MaxconecZeroAdmitsOnlyTheFirst) {
    ServerProcess s;
    ASSERT_TRUE(s.start("maxconec = 0\n")) << s.error;
    Client first, second, elsewhere;
    ASSERT_TRUE(first.connect(s.port, "127.0.0.5"));
    EXPECT_EQ(first.readLine(), greeting(1));
    ASSERT_TRUE(second.connect(s.port, "127.0.0.5"));
    EXPECT_EQ(second.readAll(), refusal("0", false));
    ASSERT_TRUE(elsewhere.connect(s.port, "127.0.0.6"));
    EXPECT_EQ(elsewhere.readLine(), greeting(2));
}

TEST(AdmissionServer, IdleClientTimesOut) {
    for (int t : {1, 2}) {
        ServerProcess s;
        ASSERT_TRUE(s.start("maxtempo = " + std::to_string(t) + "\n")) << s.error;
        Client c;
        ASSERT_TRUE(c.connect(s.port, "127.0.0.2"));
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(c.readLine(), greeting(1));
        EXPECT_EQ(c.readAll(5000), kTimeout);
        EXPECT_TRUE(c.peerClosed);
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        // A timer of t seconds fires after t-1 to t seconds, plus the
        // loop's wake-up a little past the second.
        EXPECT_GE(secs, t - 1.0) << "maxtempo " << t;
        EXPECT_LE(secs, t + 1.0) << "maxtempo " << t;
    }
}

class AdmissionEmProcesso : public emprocesso::EmProcesso {};

TEST_F(AdmissionEmProcesso, MaxtempoZeroNeverTimesOut) {
    // Read as the server reads it, then two turns of the wheel go by.
    ASSERT_TRUE(inicia("maxtempo = 0\n"));
    avanca(2 * kAlarmeVolta);
    EXPECT_EQ(usuarios, 1);
    EXPECT_EQ(passo(cli, "NOOP"), "+OK\r\n");
}

}  // namespace
