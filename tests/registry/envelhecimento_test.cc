// The ageing pass on real files, with minuteClock set by the test.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/syscall.h>

#include <algorithm>
#include <climits>

#include "ambiente.h"

namespace {
int sincronizacoes = 0;
}  // namespace

// Counts the syncs the platform layer makes; the executable's definition
// takes the place of the C library's for the whole test program.
extern "C" int fdatasync(int fd) {
    int r = int(syscall(SYS_fdatasync, fd));
    if (r == 0)
        sincronizacoes++;
    return r;
}

namespace {

using teste::Registro;
using teste::fazRegistro;
using namespace registro_campo;

constexpr uint32_t kAgora = 220000000;
constexpr uint32_t kPrazo = 90 * 1440;  // diasreg 90, in minutes
constexpr uint32_t kVelho = kAgora - kPrazo - 1;

class Envelhecimento : public teste::Ambiente {
protected:
    void SetUp() override {
        teste::Ambiente::SetUp();
        minuteClock = kAgora;
        sincronizacoes = 0;
    }

    static std::vector<Registro> usuarios(int n, uint32_t data) {
        std::vector<Registro> regs;
        for (int i = 0; i < n; i++) {
            char email[40];
            snprintf(email, sizeof email, "u%03d@x.pt", i);
            regs.push_back(fazRegistro(email, "N", data));
        }
        return regs;
    }

    void passagem() {
        registro.cEnvelhece(minuteClock);
        EXPECT_EQ(registro.fd, -1) << "the pass leaves the file closed";
    }
};

TEST_F(Envelhecimento, FirstPassSweepsTheWholeIndex) {
    carrega(usuarios(25, kVelho));
    passagem();
    EXPECT_EQ(indice.registros, 0);
    EXPECT_EQ(leArquivo().size(), 0u);
    EXPECT_FALSE(registro.primeiraPassagem);
}

TEST_F(Envelhecimento, LaterPassesExamineAtMostTenNodes) {
    carrega(usuarios(25, kAgora));
    passagem();  // nobody expired; the first pass walked to the end
    ASSERT_EQ(indice.registros, 25);
    EXPECT_EQ(indice.cursor, nullptr);
    // Now every other user is stale: the next pass sees u000..u009 and
    // removes the five stale ones among them.
    for (TUsuario* no = cPrimeiro(); no != nullptr; no = cProximo(no))
        if ((no->email()[3] - '0') % 2 == 0)
            no->data = kVelho;
    passagem();
    EXPECT_EQ(indice.registros, 20);
    confereConsistencia();
    ASSERT_NE(indice.cursor, nullptr);
    EXPECT_STREQ(indice.cursor->email(), "u010@x.pt");
    minuteClock += kPrazo + kPrazo;  // everybody stale
    // From u010: ten, then the five left before the end, then from the start.
    int esperado[] = {10, 5, 0};
    for (int e : esperado) {
        passagem();
        EXPECT_EQ(indice.registros, e);
        confereConsistencia();
    }
}

TEST_F(Envelhecimento, FileAndIndexAgreeAfterEveryRemoval) {
    // Twelve users in scrambled slots, expiring one minute apart.
    std::vector<Registro> regs;
    for (int i = 0; i < 12; i++) {
        int k = (i * 5) % 12;
        char email[40];
        snprintf(email, sizeof email, "u%02d@x.pt", k);
        regs.push_back(fazRegistro(email, "N", kAgora - kPrazo + uint32_t(k)));
    }
    carrega(regs);
    passagem();
    ASSERT_EQ(indice.registros, 12);
    for (int k = 0; k < 12; k++) {
        minuteClock = kAgora + uint32_t(k) + 1;  // u<k> is now one minute past
        for (int i = 0; i < 2; i++)               // 12 nodes: two passes per sweep
            passagem();
        ASSERT_EQ(indice.registros, 11 - k);
        confereConsistencia();
        char email[40];
        snprintf(email, sizeof email, "u%02d@x.pt", k);
        EXPECT_EQ(cBusca(email), nullptr);
        for (TUsuario* no = cPrimeiro(); no != nullptr; no = cProximo(no))
            ASSERT_EQ(slotDoArquivo(int(no->cPosicao())), regs[size_t((atoi(no->email() + 1) * 5) % 12)])
                << no->email();
    }
}

TEST_F(Envelhecimento, NoExpiryWhenDiasregIsZeroOrLessAndTheFileStillCloses) {
    for (int valor : {0, -3}) {
        teste::libertaIndice();
        fechaRegistro();
        carrega(usuarios(3, 0));
        std::string antes = leArquivo();
        config.diasreg = valor;
        ASSERT_NE(registro.fd, -1);
        passagem();
        EXPECT_EQ(indice.registros, 3);
        EXPECT_EQ(leArquivo(), antes);
    }
}

TEST_F(Envelhecimento, ExactBoundaryMinuteStaysAndTheNextExpires) {
    carrega(usuarios(1, kAgora - kPrazo));
    passagem();
    EXPECT_EQ(indice.registros, 1);
    minuteClock++;
    passagem();
    EXPECT_EQ(indice.registros, 0);
}

TEST_F(Envelhecimento, HugeThresholdsDoNotWrap) {
    struct {
        int32_t dias;
        uint32_t data;
    } casos[] = {
        {3000000, 200000000},  // 3e6 * 1440 wraps to about 25 million in 32 bits
        {INT32_MAX, 0},
        {90, 0xFFFFF000u},     // a date near the top, plus the threshold
    };
    for (auto& c : casos) {
        teste::libertaIndice();
        fechaRegistro();
        carrega(usuarios(2, c.data));
        config.diasreg = c.dias;
        minuteClock = 230000000;
        passagem();
        EXPECT_EQ(indice.registros, 2) << c.dias;
    }
}

TEST_F(Envelhecimento, FailedWriteGivesUpThatRemovalAndGoesOn) {
    carrega({fazRegistro("a@x.pt", "A", kVelho), fazRegistro("b@x.pt", "B", kAgora),
             fazRegistro("c@x.pt", "C", kVelho), fazRegistro("z@x.pt", "Z", kAgora)});
    Registro a = slotDoArquivo(0);
    platformFailWriteAt(1);  // the move of z into a's slot fails
    passagem();
    // a stays with its own record; c, further on, was removed.
    EXPECT_EQ(indice.registros, 3);
    ASSERT_NE(cBusca("a@x.pt"), nullptr);
    EXPECT_EQ(cBusca("c@x.pt"), nullptr);
    EXPECT_EQ(slotDoArquivo(0), a);
    confereConsistencia();
    passagem();  // the next sweep succeeds
    EXPECT_EQ(indice.registros, 2);
    EXPECT_EQ(cBusca("a@x.pt"), nullptr);
    confereConsistencia();
}

TEST_F(Envelhecimento, FailedReadGivesUpThatRemoval) {
    carrega({fazRegistro("a@x.pt", "A", kVelho), fazRegistro("b@x.pt", "B", kAgora), fazRegistro("c@x.pt", "C", kAgora)});
    fechaRegistro();
    // Something cut the file: the last record is no longer whole.
    ASSERT_EQ(truncate(caminho.c_str(), 3 * kRecord - 10), 0);
    std::string antes = leArquivo();
    passagem();
    EXPECT_EQ(indice.registros, 3);
    EXPECT_NE(cBusca("a@x.pt"), nullptr);
    EXPECT_EQ(leArquivo(), antes);
}

TEST_F(Envelhecimento, FailedTruncationIsRetriedUntilTheLengthIsRight) {
    carrega({fazRegistro("a@x.pt", "A", kAgora), fazRegistro("b@x.pt", "B", kAgora), fazRegistro("c@x.pt", "C", kVelho)});
    // A descriptor that cannot be written makes every truncation fail.
    fechaRegistro();
    registro.fd = open(caminho.c_str(), O_RDONLY);
    passagem();
    EXPECT_EQ(indice.registros, 2);
    EXPECT_EQ(leArquivo().size(), size_t(3 * kRecord));
    registro.fd = open(caminho.c_str(), O_RDONLY);
    passagem();  // retried and failed again
    EXPECT_EQ(leArquivo().size(), size_t(3 * kRecord));
    passagem();  // the file opens normally again
    EXPECT_EQ(leArquivo().size(), size_t(2 * kRecord));
    EXPECT_FALSE(registro.truncaPendente);
    confereConsistencia();

    // The same for the truncation of a REMOVE.
    registro.fd = open(caminho.c_str(), O_RDONLY);
    ASSERT_TRUE(registro.cRemove(cBusca("b@x.pt")));
    EXPECT_EQ(leArquivo().size(), size_t(2 * kRecord));
    fechaRegistro();
    passagem();
    EXPECT_EQ(leArquivo().size(), size_t(kRecord));
    teste::libertaIndice();
    ASSERT_TRUE(registro.cCarrega());
    EXPECT_EQ(indice.registros, 1);
}

std::vector<std::string> avisados;

TEST_F(Envelhecimento, DisagreementIsToldOnceAndChangesNothingMore) {
    // An index that lost the node of the last slot (which only a mistake
    // of ours can do) no longer describes the file.
    carrega({fazRegistro("a@x.pt", "A", kVelho), fazRegistro("b@x.pt", "B", kAgora), fazRegistro("c@x.pt", "C", kAgora)});
    indice.porSlot[2] = nullptr;
    std::string antes = leArquivo();
    avisados.clear();
    registro.aoDiscordar = [](const char* arquivo) { avisados.push_back(arquivo); };
    passagem();
    EXPECT_EQ(avisados, std::vector<std::string>{caminho});
    EXPECT_TRUE(registro.discordam);
    EXPECT_EQ(indice.registros, 3);
    // Nothing is written or removed after it, and it is not told again.
    EXPECT_FALSE(registro.cRemove(cBusca("b@x.pt")));
    ASSERT_TRUE(registro.cLe(cBusca("b@x.pt")));
    EXPECT_FALSE(registro.cMudaData(cBusca("b@x.pt"), kAgora + 1));
    EXPECT_EQ(avisados.size(), 1u);
    EXPECT_EQ(leArquivo(), antes);
}

// Keys a foreign file may hold and lookups do not meet: a leading blank,
// and two addresses equal under folding. The pass removes the expired user
// before them and moves the last record into its slot, at every start.
TEST_F(Envelhecimento, ForeignKeysAgeAndMoveLikeAnyOther) {
    const std::vector<std::vector<Registro>> arquivos = {
        {fazRegistro("old@x.y", "Velho", kVelho), fazRegistro(" b@x.y", "B", kAgora)},
        {fazRegistro("a@x.pt", "A", kVelho), fazRegistro("b@x.pt", "B", kAgora), fazRegistro("B@x.pt", "B", kAgora)},
    };
    for (const std::vector<Registro>& regs : arquivos) {
        teste::libertaIndice();
        fechaRegistro();
        registro.primeiraPassagem = true;
        carrega(regs);
        passagem();
        ASSERT_EQ(indice.registros, int32_t(regs.size()) - 1);
        confereConsistencia();
        EXPECT_EQ(slotDoArquivo(0), regs.back());
        TUsuario* movido = cNoDoSlot(0);
        ASSERT_NE(movido, nullptr);
        EXPECT_EQ(strcmp(movido->email(), reinterpret_cast<const char*>(&regs.back()[kEmail])), 0) << movido->email();
        EXPECT_TRUE(registro.cLe(movido));
        // The next start loads the compacted file and its pass has nothing to do.
        std::string depois = leArquivo();
        teste::libertaIndice();
        ASSERT_TRUE(registro.cCarrega());
        passagem();
        EXPECT_EQ(leArquivo(), depois);
        confereConsistencia();
    }
}

TEST_F(Envelhecimento, SyncsBeforeClosingOnlyWhenSomethingWasWritten) {
    carrega(usuarios(3, kAgora));
    passagem();
    EXPECT_EQ(sincronizacoes, 0);
    ASSERT_TRUE(registro.cLe(1));
    passagem();  // read only
    EXPECT_EQ(sincronizacoes, 0);
    ASSERT_TRUE(registro.cGrava(1));
    passagem();
    EXPECT_EQ(sincronizacoes, 1);
    passagem();
    EXPECT_EQ(sincronizacoes, 1);
    cBusca("u000@x.pt")->data = kVelho;  // the pass's own removal writes
    passagem();
    EXPECT_EQ(indice.registros, 2);
    EXPECT_EQ(sincronizacoes, 2);
}

}  // namespace
