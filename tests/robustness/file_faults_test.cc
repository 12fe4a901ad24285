// Faults of the registry file while the server runs. The ageing pass
// closes the file every 5 seconds, so anything may happen to it between
// two passes; every command must then answer with its own error, the
// server must go on, and no other user's record may change. The file gone,
// a directory in its place and a read-only file are met in this process,
// by opens that fail as the system fails them, on a clock moved past the
// ageing passes; a file replaced under the name, by the real server.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

#include "passagem.h"
#include "protocol/sessao.h"
#include "support/em_processo.h"

namespace {

using sessao::kNaoRegistrado;
using sessao::Sessao;

const char* const kCfg = "regtempo = 0\ndiasreg = 0\n";

std::string tres() {
    uint32_t agora = sessao::minutoAgora();
    return sessao::registroDe("ana@x.com", "Ana Maria", "10.0.0.1", agora, "a", 1, "linha") +
           sessao::registroDe("bia@x.com", "Beatriz S", "10.0.0.2", agora, "b", 1) +
           sessao::registroDe("caio@x.com", "Caio Souza", "10.0.0.3", agora, "c", 2);
}

using Comando = std::function<std::string(const std::string&)>;

// Every kind of command meets the fault with its own reply: troca runs a
// command line and gives its whole reply, passo one step of a dialogue.
void respostasDeFalha(const Comando& troca, const Comando& passo) {
    // IP answers from memory, which the file's fault does not touch.
    EXPECT_EQ(troca("IP ana@x.com"), "+OK 10.0.0.1\r\n");
    EXPECT_EQ(troca("GET bia@x.com"), kNaoRegistrado + "bia@x.com\r\n");
    // LOGON reads nothing: its write fails.
    EXPECT_EQ(troca("LOGON caio@x.com:c casa"), "-Erro interno\r\n");
    EXPECT_EQ(troca("REMOVE ana@x.com:a"), kNaoRegistrado + "ana@x.com\r\n");
    ASSERT_EQ(passo("REGISTER novo@x.com:n"), "+OK Informe nome do usu\xE1rio\r\n");
    ASSERT_EQ(passo("Novo Nome"), "+OK Entre as informa\xE7\xF5" "es, uma por linha, na \xFAltima s\xF3 um ponto\r\n");
    EXPECT_EQ(passo("."), "-Erro ao registrar usu\xE1rio\r\n");
    // The index did not take the user whose record was not written, and
    // FIND, which reads only the index, still lists the three.
    EXPECT_EQ(troca("IP novo@x.com"), kNaoRegistrado + "novo@x.com\r\n");
    std::string lista = troca("FIND");
    EXPECT_NE(lista.find("ana@x.com Ana Maria"), std::string::npos) << lista;
    EXPECT_NE(lista.find("caio@x.com Caio Souza 0.0.0.0\r\n"), std::string::npos) << lista;
}

class Arquivo : public Sessao {
protected:
    void respostasDeFalha() {
        ::respostasDeFalha([this](const std::string& l) { return troca(l); },
                           [this](const std::string& l) { return passo(cli, l); });
        EXPECT_TRUE(srv.alive());
    }
};

class ArquivoEmProcesso : public emprocesso::EmProcesso {
protected:
    // Moves the clock past an ageing pass, which closes the file: what
    // happens to the file next is met by the next command that opens it.
    void depoisDeUmaPassagem() {
        avanca(5);
        EXPECT_EQ(registro.fd, -1);
    }
    // From now on every open of the file fails with erro, as the system
    // fails it for what was done to the file; 0 ends it.
    void abrirFalha(int erro) {
        if (erro == 0)
            platformFailCall(PlatformFaultCall::kOpen, 0, 0);
        else
            platformFailCall(PlatformFaultCall::kOpen, 1, erro, 0, -1);
    }
    void respostasDeFalha() {
        ::respostasDeFalha([this](const std::string& l) { return troca(l); },
                           [this](const std::string& l) { return passo(cli, l); });
        EXPECT_EQ(troca("NOOP"), "+OK\r\n");  // the server goes on
    }
};

TEST_F(ArquivoEmProcesso, DeletedFileAnswersErrorsUntilItIsBack) {
    const std::string original = tres();
    ASSERT_TRUE(inicia(kCfg, original));
    depoisDeUmaPassagem();
    abrirFalha(ENOENT);  // renamed away: the name leads nowhere
    respostasDeFalha();
    // The file comes back: the server opens it again on demand.
    depoisDeUmaPassagem();
    abrirFalha(0);
    EXPECT_EQ(troca("GET ana@x.com").rfind("+OK Informa", 0), 0u);
    EXPECT_EQ(sav(), original);
    // Told once each, however many commands met the missing file.
    std::string erros = this->erros();
    const std::string falha = "quelta: registry file " + path("quelta.sav") + " fails: No such file or directory\n";
    const std::string volta = "quelta: registry file " + path("quelta.sav") + " works again\n";
    EXPECT_EQ(erros.find(falha), erros.rfind(falha)) << erros;
    EXPECT_NE(erros.find(falha), std::string::npos) << erros;
    EXPECT_EQ(erros.find(volta), erros.rfind(volta)) << erros;
    EXPECT_GT(erros.find(volta), erros.find(falha)) << erros;
    EXPECT_NE(erros.find(volta), std::string::npos) << erros;
}

// Another program's file moved over the registry's name: the server
// neither reads it nor writes into it, however it got there.
TEST_F(Arquivo, ReplacedFileIsLeftAlone) {
    ASSERT_TRUE(inicia(kCfg, tres()));
    ASSERT_TRUE(passagem::esperaPrimeiraPassagem(srv));
    uint32_t agora = sessao::minutoAgora();
    const std::string outro = sessao::registroDe("b0@y.com", "Outro Zero", "10.9.0.1", agora, "a", 1) +
                              sessao::registroDe("b1@y.com", "Outro Um", "10.9.0.2", agora, "b", 1) +
                              sessao::registroDe("b2@y.com", "Outro Dois", "10.9.0.3", agora, "c", 1);
    ASSERT_TRUE(srv.writeFile("outro.sav", outro));
    ASSERT_EQ(rename(srv.path("outro.sav").c_str(), srv.path("quelta.sav").c_str()), 0);
    respostasDeFalha();
    EXPECT_EQ(sav(), outro);
    std::string erros = srv.errors();
    const std::string aviso = "quelta: registry file quelta.sav was replaced or removed while the server runs; "
                              "the file now under that name is left alone\n";
    EXPECT_NE(erros.find(aviso), std::string::npos) << erros;
    EXPECT_EQ(erros.find(aviso), erros.rfind(aviso)) << erros;
}

// The same file cut in place (same inode, fewer bytes): the slots past
// its end are not written, or a registration would leave zero-filled
// records before its own, loaded later as users without an address.
TEST_F(ArquivoEmProcesso, FileCutInPlaceIsNotWrittenInto) {
    ASSERT_TRUE(inicia(kCfg, tres()));
    ASSERT_EQ(truncate(path("quelta.sav").c_str(), 0), 0);
    respostasDeFalha();
    EXPECT_EQ(sav(), "");
    const std::string erros = this->erros();
    const std::string aviso = "quelta: registry file " + path("quelta.sav") +
                              " fails: it was cut below the registry's records while the server runs; nothing is "
                              "written to it\n";
    EXPECT_NE(erros.find(aviso), std::string::npos) << erros;
    EXPECT_EQ(erros.find(aviso), erros.rfind(aviso)) << erros;
}

TEST_F(ArquivoEmProcesso, DirectoryInPlaceOfTheFile) {
    const std::string original = tres();
    ASSERT_TRUE(inicia(kCfg, original));
    depoisDeUmaPassagem();
    abrirFalha(EISDIR);
    respostasDeFalha();
    // Ageing passes meanwhile must not stop the server either.
    depoisDeUmaPassagem();
    EXPECT_EQ(troca("NOOP"), "+OK\r\n");
    abrirFalha(0);
    EXPECT_EQ(troca("LOGON bia@x.com:b"), "+OK Entrada registrada\r\n");
    std::string depois = sav();
    ASSERT_EQ(depois.size(), original.size());
    // Only bia's record changed.
    EXPECT_EQ(depois.substr(0, 840), original.substr(0, 840));
    EXPECT_NE(depois.substr(840, 840), original.substr(840, 840));
    EXPECT_EQ(depois.substr(1680), original.substr(1680));
}

// LOGON and LOGOFF of one pass reach the file together, before their
// replies leave: a write that fails in the middle of them turns exactly
// its own change's reply into the failure, whatever came after it, and
// an IP behind the change tells of the file, not of the failed change.
TEST_F(ArquivoEmProcesso, WriteFailingInTheMiddleOfABatchFailsOnlyItsChange) {
    const std::string original = tres();
    ASSERT_TRUE(inicia(kCfg, original));
    // The fields of ana, bia and caio go first, then the notes: bia's
    // fields fail, and her note is not written.
    platformFailCall(PlatformFaultCall::kWrite, 2, EIO);
    EXPECT_EQ(troca(cli, {"LOGON ana@x.com:a casa", "LOGON bia@x.com:b rua", "LOGOFF caio@x.com:c", "IP bia@x.com"}),
              "+OK Entrada registrada\r\n-Erro interno\r\n+OK Sa\xED" "da registrada\r\n+OK 10.0.0.2\r\n");
    platformFailCall(PlatformFaultCall::kWrite, 0, 0);
    std::string depois = sav();
    ASSERT_EQ(depois.size(), original.size());
    EXPECT_NE(depois.substr(0, 840), original.substr(0, 840));
    EXPECT_EQ(depois.substr(840, 840), original.substr(840, 840));
    EXPECT_NE(depois.substr(1680), original.substr(1680));
    EXPECT_EQ(troca("LOGON bia@x.com:b"), "+OK Entrada registrada\r\n");
}

TEST_F(ArquivoEmProcesso, ReadOnlyFile) {
    // A file without write permission for the server, and one on a file
    // system mounted read-only: opening it for writing fails either way.
    for (int erro : {EACCES, EROFS}) {
        SCOPED_TRACE(erro);
        const std::string original = tres();
        ASSERT_TRUE(inicia(kCfg, original));
        depoisDeUmaPassagem();
        abrirFalha(erro);
        respostasDeFalha();
        EXPECT_EQ(sav(), original);
        abrirFalha(0);
        EXPECT_EQ(troca("LOGOFF ana@x.com:a"), "+OK Sa\xED" "da registrada\r\n");
    }
}

// Another program rewrote the file with two records in each other's
// slots: neither user's record may answer for the other. (LOGON and
// LOGOFF read nothing, so they cannot tell; GET and the others read.)
TEST_F(Arquivo, SwappedRecordsAreNotTakenForEachOther) {
    const std::string original = tres();
    ASSERT_TRUE(inicia(kCfg, original));
    EXPECT_EQ(troca("IP ana@x.com"), "+OK 10.0.0.1\r\n");
    const std::string trocado = original.substr(840, 840) + original.substr(0, 840) + original.substr(1680);
    ASSERT_TRUE(srv.writeFile("quelta.sav", trocado));
    EXPECT_EQ(troca("GET ana@x.com"), kNaoRegistrado + "ana@x.com\r\n");
    EXPECT_EQ(troca("GET bia@x.com"), kNaoRegistrado + "bia@x.com\r\n");
    EXPECT_EQ(troca("LOGON caio@x.com:c"), "+OK Entrada registrada\r\n");
    EXPECT_EQ(sav().substr(0, 1680), trocado.substr(0, 1680));
}

TEST_F(Arquivo, FileSizeLimitInTheMiddleOfARegistration) {
    const std::string original = tres();
    // Room for the three records and a piece of a fourth: the new record's
    // write is cut short by the limit and then refused.
    srv.fileSizeLimit = 3 * 840 + 100;
    ASSERT_TRUE(inicia(kCfg, original));
    ASSERT_EQ(passo(cli, "REGISTER novo@x.com:n"), "+OK Informe nome do usu\xE1rio\r\n");
    ASSERT_EQ(passo(cli, "Novo Nome"),
              "+OK Entre as informa\xE7\xF5" "es, uma por linha, na \xFAltima s\xF3 um ponto\r\n");
    ASSERT_TRUE(cli.send("uma linha\r\n"));
    EXPECT_EQ(passo(cli, "."), "-Erro ao registrar usu\xE1rio\r\n");
    EXPECT_TRUE(srv.alive());  // SIGXFSZ did not kill it
    EXPECT_EQ(troca("IP novo@x.com"), kNaoRegistrado + "novo@x.com\r\n");
    // A piece shorter than a record may stay behind the three; they are intact.
    std::string depois = sav();
    ASSERT_GE(depois.size(), original.size());
    EXPECT_LT(depois.size(), original.size() + 840);
    EXPECT_EQ(depois.substr(0, original.size()), original);
    // Writes within the file still work.
    EXPECT_EQ(troca("LOGOFF caio@x.com:c"), "+OK Sa\xED" "da registrada\r\n");
    EXPECT_EQ(troca("--debug").rfind("+OK:  Usu\xE1rios: 1  M\xE1quinas: 1  Registros: 3  ", 0), 0u);
    // And the registry still loads as three users.
    srv.kill9();
    ServerProcess again;
    ASSERT_TRUE(again.start(kCfg, "quelta", depois));
    Client c;
    ASSERT_TRUE(c.connect(again.port));
    c.readLine();
    ASSERT_TRUE(c.send("--debug\r\n"));
    EXPECT_EQ(c.readLine().rfind("+OK:  Usu\xE1rios: 1  M\xE1quinas: 1  Registros: 3  ", 0), 0u);
}

}  // namespace
