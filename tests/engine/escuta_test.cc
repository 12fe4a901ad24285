// Listening endpoints: the labelled failures of cAbre and the accept step
// over loopback TCP, including listeners destroyed by their own callback.
#include "engine/escuta.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "engine/platform.h"
#include "sockets.h"

using namespace enginetest;

namespace {

int passAtual = 0;

struct Contadora : TEscuta {
    std::vector<int> passes;
    std::vector<PeerAddress> pares;
    std::vector<int> sockets;
    bool destruirAoAceitar = false;
    TEscuta* outraVitima = nullptr;
    bool* destruida = nullptr;
    ~Contadora() override {
        for (int s : sockets)
            close(s);
        if (destruida != nullptr)
            *destruida = true;
    }
    void cAceita(int s, const PeerAddress& peer) override {
        passes.push_back(passAtual);
        pares.push_back(peer);
        sockets.push_back(s);
        if (destruirAoAceitar) {
            delete outraVitima;
            delete this;
        }
    }
};

bool pumpFor(const std::function<bool()>& done, int maxPasses = 100) {
    for (int i = 0; i < maxPasses && !done(); i++) {
        passAtual++;
        runPass(20);
    }
    return done();
}

TEST(Escuta, UnknownHostFailsWithTheSocketLabel) {
    TEscuta e;
    const char* erro = e.cAbre("no-such-host.invalid", 0);
    ASSERT_NE(erro, nullptr);
    std::string texto = erro;
    EXPECT_EQ(texto.rfind("socket(): ", 0), 0u) << texto;
    EXPECT_GT(texto.size(), strlen("socket(): "));
    EXPECT_LE(texto.size(), 99u);
    EXPECT_EQ(e.socket(), -1);
}

TEST(Escuta, PortInUseFailsWithTheBindLabel) {
    TEscuta primeira;
    ASSERT_EQ(primeira.cAbre("127.0.0.1", 0), nullptr);
    uint16_t porta = portOf(primeira.socket());
    TEscuta segunda;
    const char* erro = segunda.cAbre("127.0.0.1", porta);
    ASSERT_NE(erro, nullptr);
    EXPECT_EQ(std::string(erro), std::string("bind(): ") + strerror(EADDRINUSE));
    EXPECT_EQ(segunda.socket(), -1);
    // Every local address includes the one in use.
    EXPECT_NE(segunda.cAbre("", porta), nullptr);
    EXPECT_NE(segunda.cAbre(nullptr, porta), nullptr);
}

TEST(Escuta, ClientsConnectingTogetherAreAllAcceptedInOnePass) {
    Contadora e;
    ASSERT_EQ(e.cAbre("127.0.0.1", 0), nullptr);
    uint16_t porta = portOf(e.socket());
    int clientes[3];
    for (int& c : clientes)
        ASSERT_GE(c = connectTo(porta), 0);
    ASSERT_TRUE(pumpFor([&] { return !e.passes.empty(); }));
    ASSERT_EQ(e.passes.size(), 3u);
    EXPECT_EQ(e.passes[0], e.passes[2]);
    for (int i = 0; i < 3; i++) {
        int s = e.sockets[i];
        EXPECT_TRUE(fcntl(s, F_GETFL) & O_NONBLOCK);
        int buf = 0;
        socklen_t len = sizeof buf;
        // The bounds every connection's kernel memory rests on; the kernel
        // books twice the receive buffer asked for.
        getsockopt(s, SOL_SOCKET, SO_RCVBUF, &buf, &len);
        EXPECT_EQ(buf, 2 * kBufferRecepcao);
        getsockopt(s, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &buf, &len);
        EXPECT_EQ(buf, kBufferEnvio);
        EXPECT_EQ(e.pares[i].ip, htonl(INADDR_LOOPBACK));
    }
    // Each peer address names one of our clients.
    for (int c : clientes) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(c, reinterpret_cast<sockaddr*>(&a), &len);
        int vezes = 0;
        for (const PeerAddress& p : e.pares)
            vezes += p.port == a.sin_port;
        EXPECT_EQ(vezes, 1);
        close(c);
    }
}

TEST(Escuta, ReserveFollowsALimitLoweredWhileListening) {
    Contadora e;
    ASSERT_EQ(e.cAbre("127.0.0.1", 0), nullptr);
    // The limit drops under the running process (prlimit) to the reserve
    // alone: whatever descriptor the next accept takes lies in it.
    const PlatformCalls antes = platformCalls;
    platformCalls.getrlimit = [](int, rlimit* r) {
        r->rlim_cur = r->rlim_max = rlim_t(kReservaDescritores);
        return 0;
    };
    int cliente = connectTo(portOf(e.socket()));
    ASSERT_TRUE(pumpFor([&] { return e.recusadasSemDescritor() == 1 || !e.passes.empty(); }));
    platformCalls = antes;
    EXPECT_TRUE(e.passes.empty());
    EXPECT_EQ(e.aceitas(), 1u);
    close(cliente);
}

TEST(Escuta, ListenerDestroyedByItsOwnAcceptEndsItsTurnAndTheWalkGoesOn) {
    // Built in this order, the walk visits a first, then b, then c.
    Contadora c;
    Contadora* b = new Contadora;
    Contadora* a = new Contadora;
    bool aFoi = false, bFoi = false;
    a->destruida = &aFoi;
    b->destruida = &bFoi;
    for (Contadora* e : {a, b, &c})
        ASSERT_EQ(e->cAbre("127.0.0.1", 0), nullptr);
    uint16_t portas[3] = {portOf(a->socket()), portOf(b->socket()), portOf(c.socket())};
    std::vector<int> clientes;
    for (uint16_t p : portas)
        for (int i = 0; i < 2; i++)
            clientes.push_back(connectTo(p));
    a->destruirAoAceitar = true;
    a->outraVitima = b;  // a's first accept destroys a and the next listener
    ASSERT_TRUE(pumpFor([&] { return c.passes.size() == 2; }));
    EXPECT_TRUE(aFoi);
    EXPECT_TRUE(bFoi);
    for (int s : clientes)
        close(s);
}

}  // namespace
