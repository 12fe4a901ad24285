// The registry file on real temporary files: loading, the primitives and
// the compaction of cRemove, checked byte for byte.
#include "registry/registro.h"

#include <gtest/gtest.h>

#include "ambiente.h"

namespace {

using teste::Registro;
using teste::fazRegistro;
using namespace registro_campo;

class Arquivo : public teste::Ambiente {};

Registro comoRegistro(const std::string& bytes, int slot) {
    return Registro(bytes.begin() + slot * kRecord, bytes.begin() + (slot + 1) * kRecord);
}

TEST_F(Arquivo, MissingFileIsCreatedEmptyOwnerOnly) {
    ASSERT_TRUE(registro.cCarrega());
    EXPECT_EQ(registros, 0);
    EXPECT_NE(registro.fd, -1);
    struct stat st;
    ASSERT_EQ(stat(caminho.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Arquivo, UnopenableFileFailsTheLoad) {
    snprintf(registryFileName, sizeof registryFileName, "%s/no-such-dir/quelta.sav", dir.c_str());
    EXPECT_FALSE(registro.cCarrega());
    EXPECT_EQ(registro.fd, -1);
}

TEST_F(Arquivo, TrailingPieceIsNotARecordAndStays) {
    escreveArquivo({fazRegistro("c@x.pt", "Carla", 7, 1, 0x04030201), fazRegistro("a@x.pt"), fazRegistro("b@x.pt")},
                   std::string(100, 'z'));
    ASSERT_TRUE(registro.cCarrega());
    EXPECT_EQ(registros, 3);
    EXPECT_EQ(leArquivo().size(), size_t(3 * kRecord + 100));
    TUsuario* c = cBusca("c@x.pt");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->cPosicao(), 0u);
    EXPECT_STREQ(c->nome, "Carla");
    EXPECT_EQ(c->data, 7u);
    EXPECT_EQ(c->estado, 1);
    EXPECT_EQ(c->ip, 0x04030201u);
    EXPECT_EQ(cBusca("b@x.pt")->cPosicao(), 2u);
}

TEST_F(Arquivo, FileCutAtEveryLengthLoadsItsWholeRecords) {
    std::vector<Registro> regs = {fazRegistro("a@x.pt"), fazRegistro("b@x.pt"), fazRegistro("c@x.pt")};
    std::string inteiro;
    for (auto& r : regs)
        inteiro.append(reinterpret_cast<const char*>(r.data()), r.size());
    for (size_t n = 0; n <= inteiro.size(); n++) {
        teste::libertaIndice();
        fechaRegistro();
        escreveBytes(inteiro.substr(0, n));
        ASSERT_TRUE(registro.cCarrega()) << n;
        ASSERT_EQ(registros, int32_t(n / kRecord)) << n;
    }
}

TEST_F(Arquivo, LoadCrossingReadChunksBuildsTheSameIndex) {
    // More records than one read of the load holds, and a trailing piece.
    std::vector<Registro> regs;
    for (int i = 0; i < 3000; i++) {
        char email[40];
        snprintf(email, sizeof email, "u%05d@x.pt", (i * 7919) % 3000);
        regs.push_back(fazRegistro(email, "N", uint32_t(i)));
    }
    escreveArquivo(regs, "abc");
    ASSERT_TRUE(registro.cCarrega());
    ASSERT_EQ(registros, 3000);
    int n = 0;
    for (TUsuario* no = cPrimeiro(); no != nullptr; no = cProximo(no), n++) {
        uint32_t slot = no->cPosicao();
        ASSERT_LT(slot, 3000u);
        EXPECT_STREQ(no->email, reinterpret_cast<const char*>(&regs[slot][kEmail]));
        EXPECT_EQ(no->data, slot);
    }
    EXPECT_EQ(n, 3000);
}

TEST_F(Arquivo, FieldsWithoutTerminatorsAreCutOnEveryRead) {
    Registro cheio(kRecord, 'q');
    cheio[kIp] = 1;
    escreveArquivo({cheio});
    ASSERT_TRUE(registro.cCarrega());
    TUsuario* no = cPrimeiro();
    ASSERT_NE(no, nullptr);
    EXPECT_EQ(std::string(no->email), std::string(79, 'q'));
    EXPECT_EQ(std::string(no->nome), std::string(31, 'q'));
    ASSERT_TRUE(registro.cLe(no));
    EXPECT_EQ(std::string(registro.email()), std::string(79, 'q'));
    EXPECT_EQ(std::string(registro.nome()), std::string(31, 'q'));
    EXPECT_EQ(std::string(registro.info()), std::string(686, 'q'));
    // A failed read terminates the fields as well.
    memset(registro.buffer, 'q', kRecord);
    EXPECT_FALSE(registro.cLe(5));
    EXPECT_EQ(registro.buffer[79], 0);
    EXPECT_EQ(registro.buffer[111], 0);
    EXPECT_EQ(registro.buffer[827], 0);
}

TEST_F(Arquivo, PrimitivesOpenOnDemandAndRoundTripFields) {
    carrega({fazRegistro("a@x.pt")});
    fechaRegistro();
    memset(registro.buffer, 0, kRecord);
    strcpy(registro.email(), "b@x.pt");
    registro.defineData(0x01020304);
    registro.defineIp(0x0A0B0C0D);
    ASSERT_TRUE(registro.cGrava(1));  // reopens the closed file
    EXPECT_NE(registro.fd, -1);
    Registro gravado = slotDoArquivo(1);
    ASSERT_FALSE(gravado.empty());
    EXPECT_EQ(gravado[kData], 0x04);  // little-endian
    EXPECT_EQ(gravado[kData + 3], 0x01);
    uint32_t ip;
    memcpy(&ip, &gravado[kIp], 4);
    EXPECT_EQ(ip, 0x0A0B0C0Du);
    fechaRegistro();
    ASSERT_TRUE(registro.cLe(1));
    EXPECT_EQ(registro.data(), 0x01020304u);
    EXPECT_EQ(registro.ip(), 0x0A0B0C0Du);
    EXPECT_EQ(registro.cTrunca(1), 0);
    EXPECT_EQ(leArquivo().size(), size_t(kRecord));
}

TEST_F(Arquivo, RemoveLastOnlyShortensTheFile) {
    carrega({fazRegistro("a@x.pt"), fazRegistro("b@x.pt"), fazRegistro("c@x.pt")});
    std::string antes = leArquivo();
    ASSERT_TRUE(registro.cRemove(cBusca("c@x.pt")));
    EXPECT_EQ(registros, 2);
    EXPECT_EQ(cBusca("c@x.pt"), nullptr);
    EXPECT_EQ(leArquivo(), antes.substr(0, 2 * kRecord));
    confereConsistencia();
}

TEST_F(Arquivo, RemoveMiddleMovesTheLastRecordIntoItsSlot) {
    Registro ultimo = fazRegistro("c@x.pt", "Carla", 99, 2);
    carrega({fazRegistro("a@x.pt"), fazRegistro("b@x.pt"), ultimo});
    std::string antes = leArquivo();
    ASSERT_TRUE(registro.cRemove(cBusca("b@x.pt")));
    EXPECT_EQ(registros, 2);
    std::string depois = leArquivo();
    ASSERT_EQ(depois.size(), size_t(2 * kRecord));
    EXPECT_EQ(depois.substr(0, kRecord), antes.substr(0, kRecord));
    EXPECT_EQ(comoRegistro(depois, 1), ultimo);
    EXPECT_EQ(cBusca("c@x.pt")->cPosicao(), 1u);
    confereConsistencia();
}

TEST_F(Arquivo, RemoveOnlyRecordLeavesAnEmptyFile) {
    carrega({fazRegistro("a@x.pt")});
    ASSERT_TRUE(registro.cRemove(cBusca("a@x.pt")));
    EXPECT_EQ(registros, 0);
    EXPECT_EQ(raiz, nullptr);
    EXPECT_EQ(leArquivo().size(), 0u);
}

TEST_F(Arquivo, FailedWriteInRemoveChangesNothing) {
    carrega({fazRegistro("a@x.pt"), fazRegistro("b@x.pt"), fazRegistro("c@x.pt")});
    std::string antes = leArquivo();
    TUsuario* a = cBusca("a@x.pt");
    platformFailWriteAt(1);
    EXPECT_FALSE(registro.cRemove(a));
    EXPECT_EQ(leArquivo(), antes);
    EXPECT_EQ(registros, 3);
    EXPECT_EQ(cBusca("a@x.pt"), a);
    EXPECT_EQ(cBusca("c@x.pt")->cPosicao(), 2u);
    confereConsistencia();
}

TEST_F(Arquivo, RemoveLooksUpTheMovedRecordBeforeWriting) {
    carrega({fazRegistro("a@x.pt"), fazRegistro("b@x.pt"), fazRegistro("c@x.pt")});
    // Another program replaced the last record: the index has no node for it.
    Registro estranho = fazRegistro("estranho@x.pt");
    int fd = open(caminho.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, estranho.data(), kRecord, 2 * kRecord), kRecord);
    close(fd);
    std::string antes = leArquivo();
    TUsuario* a = cBusca("a@x.pt");
    EXPECT_FALSE(registro.cRemove(a));
    EXPECT_EQ(leArquivo(), antes);  // slot 0 still holds a's own record
    EXPECT_EQ(cBusca("a@x.pt"), a);
    EXPECT_EQ(registros, 3);
}

TEST_F(Arquivo, LoadDropsALastRecordLeftTwiceByAnInterruptedRemoval) {
    Registro a = fazRegistro("a@x.pt"), b = fazRegistro("b@x.pt"), c = fazRegistro("c@x.pt");
    // The removal of b wrote c into slot 1 and was killed before the cut.
    escreveArquivo({a, c, c}, "xy");
    ASSERT_TRUE(registro.cCarrega());
    EXPECT_EQ(registros, 2);
    EXPECT_EQ(cBusca("c@x.pt")->cPosicao(), 1u);
    confereConsistencia();

    // Equal keys with different bytes are not such a copy: all load.
    teste::libertaIndice();
    fechaRegistro();
    escreveArquivo({a, b, fazRegistro("A@x.pt")});
    ASSERT_TRUE(registro.cCarrega());
    EXPECT_EQ(registros, 3);
    EXPECT_EQ(leArquivo().size(), size_t(3 * kRecord));
}

}  // namespace
