// Failed password checks through the real server: the lines they leave on
// standard error, read by the shipped fail2ban filter.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "sessao.h"

using namespace sessao;

namespace {

const std::string kJaRegistrado = "-Usu\xE1rio j\xE1 registrado e senha inv\xE1lida\r\n";
const std::string kSenhaInvalida = "-Senha inv\xE1lida\r\n";
const std::string kFalhaAdm = "quelta: administration unlock failure from ";

// What a command prints on standard output, within 60 s.
std::string saidaDe(const std::string& comando) {
    std::string tudo;
    FILE* f = popen(("timeout 60 " + comando + " 2>&1").c_str(), "r");
    if (f == nullptr)
        return tudo;
    char b[4096];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0)
        tudo.append(b, n);
    pclose(f);
    return tudo;
}

TEST_F(Sessao, FailuresAreLoggedForTheFilter) {
    ASSERT_TRUE(inicia(kCfgAdm));
    registra("jose@exemplo.com:pw", "Fulano");
    // A token that folds to a registered address may hold any byte; the
    // log shows only printable ones.
    EXPECT_EQ(troca("LOGON JOS\xC9@exemplo.com:x"), kSenhaInvalida);
    // Bytes up to 0x7F make a valid address; the log cuts it to 79.
    std::string longo = "a\x7F" + std::string(100, 'u') + "@exemplo.com";
    registra(longo + ":pw", "Ciclano");
    EXPECT_EQ(troca("REGISTER " + longo + ":errada"), kJaRegistrado);
    EXPECT_EQ(troca("adivinha"), "-Comando desconhecido: adivinha\r\n");
    // Successes, commands and lines never compared leave nothing.
    EXPECT_EQ(troca("LOGON jose@exemplo.com:pw"), "+OK Entrada registrada\r\n");
    EXPECT_EQ(troca("DATE jose@exemplo.com 1/1/2013 0:0"), "-Acesso negado\r\n");
    // Each exchange ends with an unknown marker line: a failed unlock too.
    const std::string marca = kFalhaAdm + "127.0.0.1\n";
    std::string esperado = "quelta: warning: senhaadm is shorter than 12 characters\n"
                           "quelta: authentication failure for JOS?@exemplo.com from 127.0.0.1\n" + marca +
                           "quelta: authentication failure for " + ("a?" + std::string(77, 'u')) +
                           " from 127.0.0.1\n" + marca + kFalhaAdm + "127.0.0.1\n" + marca + marca + marca;
    std::string log = srv.errors();
    EXPECT_EQ(log, esperado);

    const std::string filtro = std::string(QUELTA_SOURCE_DIR) + "/contrib/fail2ban/filter.d/quelta.conf";
    const std::string comum = "/etc/fail2ban/filter.d/common.conf";
    if (saidaDe("fail2ban-regex --version").find("fail2ban-regex") == std::string::npos || access(comum.c_str(), R_OK) != 0)
        GTEST_SKIP() << "fail2ban is not installed";
    // fail2ban-regex finds the filter's include beside it: a configuration
    // folder of the shipped filter and the system's common definitions.
    ASSERT_TRUE(srv.writeFile("f2b.log", log));
    ASSERT_EQ(mkdir(srv.path("f2b").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(srv.path("f2b/filter.d").c_str(), 0700), 0);
    ASSERT_EQ(symlink(filtro.c_str(), srv.path("f2b/filter.d/quelta.conf").c_str()), 0);
    ASSERT_EQ(symlink(comum.c_str(), srv.path("f2b/filter.d/common.conf").c_str()), 0);
    std::string r = saidaDe("fail2ban-regex --config " + srv.path("f2b") + " " + srv.path("f2b.log") + " quelta");
    // Every failure line matched, the start-up warning did not.
    EXPECT_NE(r.find("Lines: 9 lines, 0 ignored, 8 matched, 1 missed"), std::string::npos) << r;
}

}  // namespace
