// An accept that fails: the listener goes on. A connection reset while it
// waited is taken as gone and the next one is accepted in the same call;
// any other failure leaves the connection queued for the next pass; running
// out of descriptors rests the listener for a second of the moved clock,
// told once when it starts and once when it ends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "engine/escuta.h"
#include "support/em_processo.h"

namespace {

class Aceitacao : public emprocesso::EmProcesso {
protected:
    // A loopback client of the listener; the harness closes it at the end,
    // so every client of the test is still connected until then (maxconec).
    int conectaTcp() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(porta);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ADD_FAILURE() << "connect";
            if (fd >= 0)
                close(fd);
            return -1;
        }
        chegado(fd);  // the harness reads it from now on, and closes it
        return fd;
    }
    uint16_t porta = 0;
};

TEST_F(Aceitacao, FailedAcceptLeavesTheListenerServing) {
    ASSERT_TRUE(inicia("regtempo = 0\ndiasreg = 0\nmaxconec = 20\n"));
    ASSERT_EQ(servidor.cAbre("127.0.0.1", 0), nullptr);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(servidor.socket(), reinterpret_cast<sockaddr*>(&a), &len), 0);
    porta = ntohs(a.sin_port);
    const std::string recusa =
        "quelta: refusing connections: fewer than 16 of " + std::to_string(platformDescriptorLimit()) +
        " descriptors are free\n";
    const std::string volta = "quelta: accepting connections again; 1 were refused for want of descriptors\n";
    struct Caso {
        int erro;
        bool descansa;  // the listener rests a second
    } casos[] = {{ECONNABORTED, false}, {EPERM, false}, {EPROTO, false}, {EMFILE, true}, {ENOBUFS, true}};
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.erro);
        size_t antes = erros().size();
        platformFailCall(PlatformFaultCall::kAccept, 1, c.erro);
        int k = conectaTcp();
        ASSERT_GE(k, 0);
        if (c.descansa) {
            passes(10);
            EXPECT_EQ(chegado(k), "");
            EXPECT_EQ(erros().substr(antes), recusa);
            avanca(1);
        }
        EXPECT_EQ(linha(k).rfind("+OK QUELTA Vers\xE3o 2.03. Agora ", 0), 0u);
        EXPECT_EQ(erros().substr(antes), c.descansa ? recusa + volta : "");
        // And the next connection is greeted as well.
        int outra = conectaTcp();
        ASSERT_GE(outra, 0);
        EXPECT_EQ(linha(outra).rfind("+OK QUELTA Vers\xE3o 2.03. Agora ", 0), 0u);
    }
}

}  // namespace
