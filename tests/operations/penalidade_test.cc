// The penalty table on its own (its bound and its memory), and failed
// password checks through the real server: the delays shared by the
// connections of one address, and the lines left on standard error for
// the shipped fail2ban filter.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "config/config.h"
#include "operations/penalidade.h"
#include "protocol/sessao.h"
#include "support/em_processo.h"

using namespace sessao;

namespace {

const std::string kJaRegistrado = "-Usu\xE1rio j\xE1 registrado e senha inv\xE1lida\r\n";
const std::string kSenhaInvalida = "-Senha inv\xE1lida\r\n";
const std::string kFalhaAdm = "quelta: administration unlock failure from ";

class Penalidade : public ::testing::Test {
protected:
    void SetUp() override {
        config = Configuracao{};
        penalidadeZera();
    }
    void TearDown() override {
        penalidadeZera();
        config = Configuracao{};
    }
};

const uint64_t kA = 100, kB = 200, kC = 300;  // three accounts

TEST_F(Penalidade, DoublesToEightTimesTheFirstUntilASuccessOrFifteenQuietMinutes) {
    const uint32_t ip = 0x0500007F;
    // The default 2 s, doubled up to 16; each result adds the second in
    // which the failure fell.
    int64_t t = 1000;
    for (int32_t esperado : {3, 5, 9, 17, 17}) {
        EXPECT_EQ(penalidadeFalha(ip, kA, t), esperado);
        EXPECT_EQ(penalidadeRestante(ip, kA, t + 1), esperado - 1);
        EXPECT_EQ(penalidadeRestante(ip, kA, t + esperado), 0);
        EXPECT_EQ(penalidadeRestante(ip + 1, kA, t), 0);  // other addresses pay nothing
        t += esperado;
    }
    // 899 s after the last failure it is remembered, 900 s after it is not.
    t += 899 - 17;
    EXPECT_EQ(penalidadeFalha(ip, kA, t), 17);
    EXPECT_EQ(penalidadeFalha(ip, kA, t + 900), 3);
    EXPECT_EQ(penalidadeFalha(ip, kA, t + 903), 5);
    penalidadeSucesso(ip, kA);
    EXPECT_EQ(penalidadeRestante(ip, kA, t + 903), 0);
    EXPECT_EQ(penalidadeFalha(ip, kA, t + 904), 3);
    EXPECT_EQ(penalidadeEntradas(), 2);  // the account's and the address's

    // Without delays a failure is still counted, and costs nothing.
    config.penalidade = 0;
    EXPECT_EQ(penalidadeFalha(ip + 1, kA, t), 0);
    EXPECT_EQ(penalidadeRestante(ip + 1, kA, t), 0);
    EXPECT_EQ(penalidadeFalhasDoEndereco(ip + 1), 1);
}

TEST_F(Penalidade, OneAccountsFailuresSpareTheOthersUntilTheAddressHasTen) {
    const uint32_t ip = 0x0600007F;
    int64_t t = 1000;
    // Nine failures of A, each after its delay: B and the administration
    // are answered at once, and a success of B leaves A's delay alone.
    for (int i = 0; i < 9; i++) {
        t += penalidadeRestante(ip, kA, t);
        int32_t d = penalidadeFalha(ip, kA, t);
        ASSERT_GT(d, 0) << i;
        EXPECT_EQ(penalidadeRestante(ip, kB, t), 0) << i;
        EXPECT_EQ(penalidadeRestante(ip, kContaAdministracao, t), 0) << i;
        penalidadeSucesso(ip, kB);
        EXPECT_EQ(penalidadeRestante(ip, kA, t), d) << i;
    }
    // The tenth, of another password: now every check of the address
    // waits the longest delay, and a success does not end it.
    EXPECT_EQ(penalidadeFalha(ip, kC, t), 17);
    EXPECT_EQ(penalidadeRestante(ip, kB, t + 1), 16);
    penalidadeSucesso(ip, kB);
    EXPECT_EQ(penalidadeRestante(ip, kB, t + 1), 16);
    EXPECT_EQ(penalidadeRestante(ip, kContaAdministracao, t + 16), 1);
    EXPECT_EQ(penalidadeRestante(ip, kB, t + 17), 0);
    EXPECT_EQ(penalidadeRestante(ip + 1, kB, t + 1), 0);
    // The address is forgotten 15 quiet minutes after its last failure.
    EXPECT_EQ(penalidadeFalha(ip, kB, t + 17 + 900), 3);
    EXPECT_EQ(penalidadeRestante(ip, kC, t + 17 + 900), 0);
}

TEST_F(Penalidade, FullTableDropsTheOldestFailureFirstAndAGuesserAtTheLimitLast) {
    // Each address fills two entries: its password's and its own.
    const uint32_t base = 0x0A000000;
    for (int32_t i = 0; i < kPenalidadeEntradas / 2; i++)
        ASSERT_EQ(penalidadeFalha(base + uint32_t(i), kA, 1000), 3) << i;
    EXPECT_EQ(penalidadeEntradas(), kPenalidadeEntradas);
    // A second failure makes the first address the youngest: the next
    // new address takes the place of the second one.
    EXPECT_EQ(penalidadeFalha(base, kA, 1001), 5);
    EXPECT_EQ(penalidadeFalha(base - 1, kA, 1001), 3);
    EXPECT_EQ(penalidadeEntradas(), kPenalidadeEntradas);
    EXPECT_EQ(penalidadeRestante(base + 1, kA, 1001), 0);
    EXPECT_EQ(penalidadeRestante(base, kA, 1001), 5);
    EXPECT_EQ(penalidadeRestante(base + 2, kA, 1001), 2);
    EXPECT_EQ(penalidadeRestante(base - 1, kA, 1001), 3);
    EXPECT_EQ(penalidadeFalha(base + 1, kA, 1001), 3);  // a first failure again

    // A guesser at the address-wide limit outlasts a table's worth of new
    // addresses, one failure each: its delay stays the longest.
    const uint32_t guesser = 0x0B000001, flood = 0x0C000000;
    for (int i = 0; i < kPenalidadeLimiteEndereco; i++)
        penalidadeFalha(guesser, kC, 1002);
    for (int32_t i = 0; i < kPenalidadeEntradas / 2; i++)
        ASSERT_EQ(penalidadeFalha(flood + uint32_t(i), kA, 1003), 3) << i;
    EXPECT_EQ(penalidadeRestante(guesser, kB, 1003), 16);
    EXPECT_EQ(penalidadeFalha(guesser, kB, 1019), 17);
}

double segundosDesde(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

class PenalidadeEmProcesso : public emprocesso::EmProcesso {};

TEST_F(PenalidadeEmProcesso, DelayDoublesAcrossTheConnectionsOfAnAddressAndASuccessEndsIt) {
    // A first delay of 1 s: 1, 2, 4. The clock moves a second at a time;
    // the timers fire at its second boundaries, so each reply comes a
    // second after its delay, the second in which the failure fell.
    ASSERT_TRUE(inicia(std::string(kCfgBase) + "penalidade = 1\n"));
    registra(cli, "a@exemplo.com:pw", "Fulano");
    int b = conecta("127.0.0.1"), outro = conecta("127.0.0.2");
    ASSERT_GE(b, 0);
    ASSERT_GE(outro, 0);
    const std::string errada = "LOGON a@exemplo.com:x\r\n", certa = "LOGON a@exemplo.com:pw\r\n";
    const std::string kEntrada = "+OK Entrada registrada\r\n";

    // A fails; B's check waits for A's delay to pass, then fails in turn
    // and pays the doubled delay: 2 + 3 s. Without the wait B's reply
    // would come after 3.
    long t0 = relogio.cMovidos();
    ASSERT_TRUE(envia(cli, errada));
    ASSERT_TRUE(envia(b, errada));
    EXPECT_EQ(segundosAteUmaLinha(cli), 2);
    EXPECT_EQ(linha(cli), kSenhaInvalida);
    EXPECT_EQ(segundosAteUmaLinha(b), 5 - int(relogio.cMovidos() - t0));
    EXPECT_EQ(linha(b), kSenhaInvalida);

    // The third failure costs 4 s. Meanwhile another address is answered
    // at once, and B's right password waits as long as a wrong one would.
    ASSERT_TRUE(envia(cli, errada));
    passes(5);
    for (const std::string& l : {std::string("NOOP\r\n"), certa}) {
        long t = relogio.cMovidos();
        ASSERT_TRUE(envia(outro, l));
        EXPECT_EQ(linha(outro), l == certa ? kEntrada : "+OK\r\n");
        EXPECT_EQ(relogio.cMovidos(), t) << l;
    }
    long t1 = relogio.cMovidos();
    ASSERT_TRUE(envia(b, certa));
    EXPECT_EQ(segundosAteUmaLinha(b), 5);
    EXPECT_EQ(linha(b), kEntrada);
    EXPECT_EQ(segundosAteUmaLinha(cli), 5 - int(relogio.cMovidos() - t1));
    EXPECT_EQ(linha(cli), kSenhaInvalida);

    // B's success ended it: the next failure is a first one again, 1 s
    // rather than 8. What follows it in the same packet waits behind its
    // reply, in order.
    ASSERT_TRUE(envia(cli, errada + "NOOP\r\n"));
    EXPECT_EQ(segundosAteUmaLinha(cli), 2);
    EXPECT_EQ(linha(cli), kSenhaInvalida);
    EXPECT_EQ(linha(cli), "+OK\r\n");
}

// A client that writes its registration ahead and has it refused gets
// its lines echoed as unknown, and is not taken for a guesser: its logon
// behind them is answered at once, with nothing logged but a real guess.
TEST_F(Sessao, LinesWrittenAheadForARefusedRegistrationAreNoGuesses) {
    // The default delays; every registration from 127.0.0.1 after the
    // first meets the registration wait, so other refusals come from
    // other addresses.
    ASSERT_TRUE(inicia("diasreg = 0\nsenhaadm = vrelk-e-mais-longa\n"));
    registra("u@exemplo.com:pw", "Fulano");
    Client v;
    ASSERT_TRUE(conecta(v, "127.0.0.2"));
    registra(v, "v@exemplo.com:pv", "Beltrano");
    const std::string nome = "+OK Informe nome do usu\xE1rio\r\n";
    const std::string x = "-Comando desconhecido: ";
    struct Caso {
        const char* origem;
        std::string register_, nome, logon;
        std::vector<std::string> respostas;  // each the start of a reply line
    } casos[] = {
        {"127.0.0.1", "REGISTER novo@exemplo.com", "Novo Fulano", "LOGON u@exemplo.com:pw",
         {"-Registre novamente ap\xF3s ", x + "Novo Fulano\r\n"}},
        {"127.0.0.4", "REGISTER novo.exemplo.com", "Novo Fulano", "LOGOFF u@exemplo.com:pw",
         {"-email inv\xE1lido\r\n", x + "Novo Fulano\r\n"}},
        {"127.0.0.3", "REGISTER novo@exemplo.com", "Ana", "LOGON u@exemplo.com:pw",
         {nome, "-Cancelado: O nome deve ter pelo menos 5 caracteres\r\n"}},
        // A wrong password is a guess at u's, and costs what one costs;
        // another account of the address is still answered at once.
        {"127.0.0.5", "REGISTER u@exemplo.com:errada", "Outro Fulano", "LOGON v@exemplo.com:pv",
         {kJaRegistrado, x + "Outro Fulano\r\n"}},
    };
    for (const Caso& c : casos) {
        Client k;
        ASSERT_TRUE(conecta(k, c.origem));
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(k.send(c.register_ + "\r\n" + c.nome + "\r\numa linha\r\noutra\r\n.\r\n" + c.logon + "\r\n"));
        std::vector<std::string> esperadas = c.respostas;
        for (const char* l : {"uma linha\r\n", "outra\r\n", ".\r\n"})
            esperadas.push_back(x + l);
        esperadas.push_back("+OK ");
        for (const std::string& e : esperadas) {
            std::string r = k.readLine(5000);
            EXPECT_EQ(r.substr(0, e.size()), e) << c.register_;
        }
        EXPECT_LT(segundosDesde(t0), 3.5) << c.register_;
    }
    std::string log = sessao::semLinhaDeInicio(srv.errors());
    EXPECT_EQ(log, "quelta: authentication failure for u@exemplo.com from 127.0.0.5\n");
}

TEST_F(Sessao, FailuresAreLoggedForTheFilter) {
    ASSERT_TRUE(inicia(kCfgAdm));  // without delays
    registra("jose@exemplo.com:pw", "Fulano");
    // A token that folds to a registered address may hold any byte; the
    // log shows only printable ones.
    EXPECT_EQ(troca("LOGON JOS\xC9@exemplo.com:x"), kSenhaInvalida);
    // Bytes up to 0x7F make a valid address; the log cuts it to 79.
    std::string longo = "a\x7F" + std::string(100, 'u') + "@exemplo.com";
    registra(longo + ":pw", "Ciclano");
    EXPECT_EQ(troca("adivinha"), "-Comando desconhecido: adivinha\r\n");
    // The marker behind a refused REGISTER stands where its name would:
    // never compared, so never a failure.
    EXPECT_EQ(troca("REGISTER " + longo + ":errada"), kJaRegistrado);
    // Successes, commands and lines never compared leave nothing.
    EXPECT_EQ(troca("LOGON jose@exemplo.com:pw"), "+OK Entrada registrada\r\n");
    EXPECT_EQ(troca("DATE jose@exemplo.com 1/1/2013 0:0"), "-Acesso negado\r\n");
    // Each exchange ends with an unknown marker line: a failed unlock too,
    // but a line for the filter only from the address's 10th failure on
    // (this one has 7 by now). Another address's nine typos over three
    // sessions leave none, whatever the jail's maxretry.
    for (int vez = 0; vez < 3; vez++) {
        Client k;
        ASSERT_TRUE(conecta(k, "127.0.0.2"));
        EXPECT_EQ(troca(k, {"nopo", "hepl"}), "-Comando desconhecido: nopo\r\n-Comando desconhecido: hepl\r\n");
    }
    // Seven more guesses, six lines and the marker: the 10th to 14th
    // failures write five lines.
    const std::string eco = "-Comando desconhecido: a1\r\n";
    EXPECT_EQ(troca(cli, {"a1", "a2", "a3", "a4", "a5", "a6"}).size(), 6 * eco.size());
    const std::string adm = kFalhaAdm + "127.0.0.1\n";
    std::string esperado = "quelta: warning: senhaadm is shorter than 12 characters\n"
                           "quelta: authentication failure for JOS?@exemplo.com from 127.0.0.1\n"
                           "quelta: authentication failure for " + ("a?" + std::string(77, 'u')) + " from 127.0.0.1\n" +
                           adm + adm + adm + adm + adm;
    std::string log = sessao::semLinhaDeInicio(srv.errors());
    EXPECT_EQ(log, esperado);

    const std::string filtro = std::string(QUELTA_SOURCE_DIR) + "/contrib/fail2ban/filter.d/quelta.conf";
    const std::string comum = "/etc/fail2ban/filter.d/common.conf";
    if (commandOutput("fail2ban-regex --version 2>&1").find("fail2ban-regex") == std::string::npos || access(comum.c_str(), R_OK) != 0)
        GTEST_SKIP() << "fail2ban is not installed";
    // fail2ban-regex finds the filter's include beside it: a configuration
    // folder of the shipped filter and the system's common definitions.
    ASSERT_TRUE(srv.writeFile("f2b.log", log));
    ASSERT_EQ(mkdir(srv.path("f2b").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(srv.path("f2b/filter.d").c_str(), 0700), 0);
    ASSERT_EQ(symlink(filtro.c_str(), srv.path("f2b/filter.d/quelta.conf").c_str()), 0);
    ASSERT_EQ(symlink(comum.c_str(), srv.path("f2b/filter.d/common.conf").c_str()), 0);
    std::string r = commandOutput("fail2ban-regex --config " + srv.path("f2b") + " " + srv.path("f2b.log") + " quelta 2>&1");
    // Every failure line matched (five from the guesser's address, a ban
    // at the shipped jail's maxretry), the start-up warning did not.
    EXPECT_NE(r.find("Lines: 8 lines, 0 ignored, 7 matched, 1 missed"), std::string::npos) << r;
}

}  // namespace
