// The loop as a whole over loopback TCP: every connection watched, no fixed
// delay per reply, and no spinning when the process runs out of descriptors.
#include "engine/loop.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/comunica.h"
#include "engine/escuta.h"
#include "engine/platform.h"
#include "sockets.h"

using namespace enginetest;

namespace {

int ecosVivos = 0;

struct Eco : TComunica {
    Eco() { ecosVivos++; }
    ~Eco() override { ecosVivos--; }
    void cEvento(const char* d, int32_t n) override {
        if (d != nullptr)
            cEnvia(d, n);
        else if (n == 0)
            delete this;
    }
};

struct EscutaEco : TEscuta {
    void cAceita(int s, const PeerAddress&) override { (new Eco)->cConecta(s); }
};

void closeAndSettle(std::vector<int>& clientes) {
    for (int c : clientes)
        close(c);
    clientes.clear();
    pumpUntil([] { return ecosVivos == 0; });
}

TEST(Loop, MoreThanSixtyFourConnectionsAreAllServed) {
    EscutaEco e;
    ASSERT_EQ(e.cAbre("127.0.0.1", 0), nullptr);
    uint16_t porta = portOf(e.socket());
    std::vector<int> clientes;
    for (int i = 0; i < 150; i++) {
        int c = connectTo(porta);
        ASSERT_GE(c, 0);
        clientes.push_back(c);
        runPass(0);  // keeps the backlog of 15 from overflowing: the connect above blocks this thread
    }
    ASSERT_TRUE(pumpUntil([] { return ecosVivos == 150; }));
    for (size_t i = 0; i < clientes.size(); i++) {
        std::string m = "cliente " + std::to_string(i);
        ASSERT_EQ(write(clientes[i], m.data(), m.size()), ssize_t(m.size()));
    }
    std::vector<std::string> respostas(clientes.size());
    auto todos = [&] {
        for (size_t i = 0; i < clientes.size(); i++)
            respostas[i] += drain(clientes[i]);
        for (size_t i = 0; i < clientes.size(); i++)
            if (respostas[i] != "cliente " + std::to_string(i))
                return false;
        return true;
    };
    EXPECT_TRUE(pumpUntil(todos));
    closeAndSettle(clientes);
    EXPECT_EQ(ecosVivos, 0);
}

TEST(Loop, RepliesCarryNoFixedDelay) {
    EscutaEco e;
    ASSERT_EQ(e.cAbre("127.0.0.1", 0), nullptr);
    int c = connectTo(portOf(e.socket()));
    ASSERT_GE(c, 0);
    std::atomic<int> feitas{0};
    std::atomic<bool> falhou{false};
    double s = 0;
    const int kViagens = 200;
    std::thread cliente([&] {
        char buf[16];
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kViagens; i++) {
            if (write(c, "ping", 4) != 4 || !readableWithin(c, 5000) || read(c, buf, sizeof buf) != 4) {
                falhou = true;
                return;
            }
            feitas++;
        }
        s = secondsSince(t0);
    });
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100000 && feitas < kViagens && !falhou && secondsSince(t0) < 30; i++)
        runPass(100);
    cliente.join();
    ASSERT_FALSE(falhou);
    ASSERT_EQ(feitas, kViagens);
    // A 100 ms pause per pass would take 20 s; a loop that sleeps until a
    // socket needs it takes a few milliseconds.
    EXPECT_LT(s, 2.0);
    std::vector<int> v{c};
    closeAndSettle(v);
}

// Constructed before main runs: the engine's tables must already be usable.
struct Primeira : TComunica {
    std::string recebido;
    void cEvento(const char* d, int32_t n) override {
        if (d != nullptr)
            recebido.append(d, size_t(n));
    }
} antesDoMain;

TEST(Loop, ConnectionBuiltBeforeMainIsServed) {
    int par[2];
    ASSERT_TRUE(socketPair(par));
    antesDoMain.cConecta(par[0]);
    ASSERT_EQ(write(par[1], "cedo", 4), 4);
    EXPECT_TRUE(pumpUntil([] { return antesDoMain.recebido == "cedo"; }));
    antesDoMain.cFecha(false);
    close(par[1]);
}

// Descriptor numbers beyond what a select set could hold are served too.
TEST(Loop, HighDescriptorNumbersAreServed) {
    platformStart();
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 5000)
        GTEST_SKIP() << "descriptor limit " << lim.rlim_cur;
    int par[2];
    ASSERT_TRUE(socketPair(par));
    int alto = dup2(par[0], 4321);
    ASSERT_EQ(alto, 4321);
    close(par[0]);
    Eco* eco = new Eco;
    eco->cConecta(alto);
    ASSERT_EQ(write(par[1], "alto", 4), 4);
    std::string got;
    EXPECT_TRUE(pumpUntil([&] {
        got += drain(par[1]);
        return got == "alto";
    }));
    close(par[1]);
    EXPECT_TRUE(pumpUntil([] { return ecosVivos == 0; }));
}

// The first free descriptor numbers from the lowest up; the limit set just
// above the kth of them leaves the process exactly k more.
rlim_t limitLeavingFree(int k) {
    int livres = 0;
    for (int fd = 0;; fd++)
        if (fcntl(fd, F_GETFD) < 0 && ++livres == k)
            return rlim_t(fd + 1);
}

double cpuSeconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool echoes(int fd, const char* m, int ms) {
    size_t n = strlen(m);
    if (write(fd, m, n) != ssize_t(n))
        return false;
    std::string got;
    auto t0 = std::chrono::steady_clock::now();
    while (got.size() < n && secondsSince(t0) * 1000 < ms) {
        if (readableWithin(fd, 50))
            got += drain(fd);
    }
    return got == m;
}

// The server runs in a child with a low descriptor limit; the clients live
// here, so only the child runs out.
TEST(Loop, NoSpinWhenDescriptorsRunOutAndAcceptingResumes) {
    int paraPai[2], paraFilho[2];
    ASSERT_EQ(pipe(paraPai), 0);
    ASSERT_EQ(pipe(paraFilho), 0);
    pid_t filho = fork();
    ASSERT_GE(filho, 0);
    if (filho == 0) {
        close(paraPai[0]);
        close(paraFilho[1]);
        EscutaEco e;
        uint16_t porta = e.cAbre("127.0.0.1", 0) == nullptr ? portOf(e.socket()) : 0;
        rlimit lim;
        getrlimit(RLIMIT_NOFILE, &lim);
        // The reserve goes on reading the limit as it was, so that the
        // kernel runs out of descriptors before the reserve refuses.
        static rlimit antes;
        antes = lim;
        platformCalls.getrlimit = [](int, rlimit* r) {
            *r = antes;
            return 0;
        };
        lim.rlim_cur = limitLeavingFree(4);
        setrlimit(RLIMIT_NOFILE, &lim);
        if (write(paraPai[1], &porta, sizeof porta) != sizeof porta)
            _exit(1);
        auto t0 = std::chrono::steady_clock::now();
        while (!readableWithin(paraFilho[0], 0) && secondsSince(t0) < 30)
            runPass(100);
        double medidas[2] = {cpuSeconds(), secondsSince(t0)};
        ssize_t w = write(paraPai[1], medidas, sizeof medidas);
        _exit(w == sizeof medidas ? 0 : 1);
    }
    close(paraPai[1]);
    close(paraFilho[0]);
    uint16_t porta = 0;
    ASSERT_EQ(read(paraPai[0], &porta, sizeof porta), ssize_t(sizeof porta));
    ASSERT_NE(porta, 0);

    int a = connectTo(porta);
    ASSERT_GE(a, 0);
    EXPECT_TRUE(echoes(a, "a1", 3000));
    // Four descriptors: a took one; of eight more clients at most three get in.
    std::vector<int> extras;
    for (int i = 0; i < 8; i++) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(porta);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        extras.push_back(s);
    }
    // Each echo waits for its own reply: the child accepts meanwhile.
    int servidos = 0;
    for (int s : extras)
        servidos += echoes(s, "x", 300);
    EXPECT_LT(servidos, 8);  // the child did run out
    // Meanwhile the connected client keeps its service, for over two seconds.
    for (int i = 0; i < 20; i++)
        EXPECT_TRUE(echoes(a, "a2", 1000));
    for (int s : extras)
        close(s);
    int n = connectTo(porta);
    ASSERT_GE(n, 0);
    EXPECT_TRUE(echoes(n, "depois", 5000));  // accepting resumed once descriptors were free
    close(n);
    close(a);

    ASSERT_EQ(write(paraFilho[1], "q", 1), 1);
    double medidas[2] = {0, 0};
    EXPECT_EQ(read(paraPai[0], medidas, sizeof medidas), ssize_t(sizeof medidas));
    int estado = 0;
    waitpid(filho, &estado, 0);
    EXPECT_TRUE(WIFEXITED(estado) && WEXITSTATUS(estado) == 0);
    EXPECT_GT(medidas[1], 2.0);
    // A loop spinning on the readable listener would burn all of its time.
    EXPECT_LT(medidas[0], 0.2 * medidas[1]) << "cpu " << medidas[0] << " s of " << medidas[1] << " s";
    close(paraPai[0]);
    close(paraFilho[1]);
}

}  // namespace
