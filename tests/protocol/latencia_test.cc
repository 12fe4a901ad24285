// Small replies one after another, the output ring wrapping its end many
// times over: each must arrive at once, never after the client's delayed
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
    // Replies held back by the sender would make many round trips slow; a
    // loaded machine may stall one or two for other reasons.
    EXPECT_LE(lentas, 3);
}

}  // namespace
