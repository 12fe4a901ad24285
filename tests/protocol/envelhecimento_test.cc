// The registry's ageing timer and the end of a server whose index and
// file disagree.
#include "protocol/envelhecimento.h"

#include <gtest/gtest.h>

#include "registry/ambiente.h"

namespace {

using teste::fazRegistro;

class Envelhecimento : public teste::Ambiente {};

TEST_F(Envelhecimento, FiresOneSecondAfterConstructionThenEveryFive) {
    TEnvelhecimento outro;
    EXPECT_EQ(outro.cRestante(), 1);
    wheelAdvance(1);
    EXPECT_FALSE(registro.primeiraPassagem);
    EXPECT_EQ(outro.cRestante(), 5);
}

TEST_F(Envelhecimento, DisagreementEndsTheProcessWithStatusOneAndOneLine) {
    // An index that lost the node of the last slot (which only a mistake
    // of ours can do) no longer describes the file.
    carrega({fazRegistro("a@x.pt", "A", 1), fazRegistro("b@x.pt", "B", minuteClock), fazRegistro("c@x.pt", "C", minuteClock)});
    indice.porSlot[2] = nullptr;
    std::string antes = leArquivo();
    registro.aoDiscordar = registroDiscordante;
    teste::Saida fim = teste::emFilho([] { registro.cEnvelhece(minuteClock); });
    EXPECT_EQ(fim.status, 1) << fim.saida;
    EXPECT_EQ(fim.saida, caminho + ": o \xEDndice e o arquivo do registro discordam\n");
    EXPECT_EQ(leArquivo(), antes);
}

}  // namespace
