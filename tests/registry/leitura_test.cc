// Reads of the registry file that fail at the nth call, outright or after
// their first bytes, as a failing disk fails them: what the failed writes
// are tried on must change nothing when a read fails instead.
#include <gtest/gtest.h>

#include <cerrno>

#include "ambiente.h"

namespace {

using teste::Registro;
using teste::fazRegistro;
using namespace registro_campo;

class Leitura : public teste::Ambiente {
protected:
    void TearDown() override {
        platformFailCall(PlatformFaultCall::kRead, 0, 0);
        teste::Ambiente::TearDown();
    }
};

TEST_F(Leitura, FailedOrShortReadChangesNothing) {
    for (long movidos : {0L, 300L}) {
        SCOPED_TRACE(movidos);
        teste::libertaIndice();
        fechaRegistro();
        carrega({fazRegistro("a@x.pt"), fazRegistro("b@x.pt"), fazRegistro("c@x.pt")});
        std::string antes = leArquivo();
        // A removal reads the last record to move it into the slot freed:
        // c's, unread, must not go into a's.
        TUsuario* a = cBusca("a@x.pt");
        platformFailCall(PlatformFaultCall::kRead, 1, EIO, movidos);
        EXPECT_FALSE(registro.cRemove(a));
        EXPECT_EQ(leArquivo(), antes);
        EXPECT_EQ(indice.registros, 3);
        EXPECT_EQ(cBusca("a@x.pt"), a);
        EXPECT_EQ(cBusca("c@x.pt")->cPosicao(), 2u);
        confereConsistencia();
        // A write first reads the slot's present bytes, its way back from a
        // write cut short: a whole record it cannot read is not written over.
        memset(registro.buffer, 'n', kRecord);
        platformFailCall(PlatformFaultCall::kRead, 1, EIO, movidos);
        EXPECT_FALSE(registro.cGrava(1));
        EXPECT_EQ(leArquivo(), antes);
        // A command's read is whole or nothing, and the next one works.
        platformFailCall(PlatformFaultCall::kRead, 1, EIO, movidos);
        EXPECT_FALSE(registro.cLe(cBusca("b@x.pt")));
        EXPECT_TRUE(registro.cLe(cBusca("b@x.pt")));
        EXPECT_STREQ(registro.email(), "b@x.pt");
    }
}

TEST_F(Leitura, LoadThatCannotReadToTheEndLoadsNobody) {
    // The load reads the last record first (a removal cut short leaves it
    // twice), then the records in blocks of 1248: the failure falls in the
    // first block, or in the second after a whole first one.
    struct Caso {
        int registros;
        int nth;
    } casos[] = {{3, 2}, {1300, 3}};
    for (const Caso& c : casos) {
        for (long movidos : {0L, 300L}) {
            SCOPED_TRACE(std::to_string(c.registros) + " records, " + std::to_string(movidos) + " bytes");
            teste::libertaIndice();
            fechaRegistro();
            std::vector<Registro> regs;
            for (int i = 0; i < c.registros; i++)
                regs.push_back(fazRegistro(("u" + std::to_string(i) + "@x.pt").c_str()));
            escreveArquivo(regs);
            std::string antes = leArquivo();
            platformFailCall(PlatformFaultCall::kRead, c.nth, EIO, movidos);
            EXPECT_FALSE(registro.cCarrega());
            EXPECT_EQ(indice.registros, 0);
            EXPECT_EQ(cPrimeiro(), nullptr);
            EXPECT_EQ(leArquivo(), antes);
            // With the disk back, the same file loads whole.
            platformFailCall(PlatformFaultCall::kRead, 0, 0);
            teste::libertaIndice();
            fechaRegistro();
            ASSERT_TRUE(registro.cCarrega());
            EXPECT_EQ(indice.registros, c.registros);
        }
    }
}

}  // namespace
