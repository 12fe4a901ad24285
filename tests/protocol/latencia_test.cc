// A reply that wraps the end of a connection's output ring leaves in two
// sends. It must still arrive at once, not after the client's delayed
// acknowledgement.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "protocol/sessao.h"

namespace {

using sessao::Sessao;

TEST_F(Sessao, RepliesAcrossTheRingEndArriveAtOnce) {
    ASSERT_TRUE(inicia());
    // About 47 bytes a reply: the 2048-byte ring wraps every 44 replies or
    // so, some twenty times over the run.
    const std::string pedido = "IP ninguem@exemplo.com\r\n";
    const std::string resposta = sessao::kNaoRegistrado + "ninguem@exemplo.com\r\n";
    int lentas = 0;
    for (int i = 0; i < 900; i++) {
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(cli.send(pedido));
        ASSERT_EQ(cli.readLine(), resposta) << i;
        if (std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(25))
            lentas++;
    }
    // Held-back second pieces would make nearly every wrap slow; a loaded
    // machine may stall one or two round trips for other reasons.
    EXPECT_LE(lentas, 3);
}

}  // namespace
