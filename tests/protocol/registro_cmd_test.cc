// REGISTER, its dialogue and the registration wait, LOGON and LOGOFF,
// through the real server, with the registry file checked byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry/registro.h"
#include "sessao.h"
#include "support/em_processo.h"

using namespace sessao;
namespace rc = registro_campo;

namespace {

const std::string kNome = "+OK Informe nome do usu\xE1rio\r\n";
const std::string kInfo = "+OK Entre as informa\xE7\xF5" "es, uma por linha, na \xFAltima s\xF3 um ponto\r\n";
const std::string kCurto = "-Cancelado: O nome deve ter pelo menos 5 caracteres\r\n";
const std::string kJaRegistrado = "-Usu\xE1rio j\xE1 registrado e senha inv\xE1lida\r\n";
const std::string kEmailInvalido = "-email inv\xE1lido\r\n";
const std::string kSenhaInvalida = "-Senha inv\xE1lida\r\n";

std::string campo(const std::string& sav, int slot, int inicio, int tamanho) {
    size_t at = size_t(slot) * rc::kRecord + size_t(inicio);
    return at + size_t(tamanho) <= sav.size() ? sav.substr(at, size_t(tamanho)) : std::string();
}

uint32_t dataDe(const std::string& sav, int slot) {
    std::string d = campo(sav, slot, rc::kData, 4);
    uint32_t v = 0;
    for (int i = 3; i >= 0 && d.size() == 4; i--)
        v = (v << 8) | uint8_t(d[size_t(i)]);
    return v;
}

// The state word of a GET reply: the first word of its fourth line.
std::string situacao(const std::string& get) {
    size_t p = 0;
    for (int i = 0; i < 3 && p != std::string::npos; i++)
        p = get.find("\r\n", p == 0 ? 0 : p + 2);
    if (p == std::string::npos)
        return "?";
    return get.substr(p + 2, get.find(' ', p + 2) - p - 2);
}

TEST_F(Sessao, RegistrationWritesTheWholeRecord) {
    ASSERT_TRUE(inicia());
    uint32_t antes = minutoAgora();
    registra("a@exemplo.com:pw", "Fulano de Tal", {"x", "", "y"});
    registra("b@exemplo.com", std::string(40, 'N'), {".."});
    uint32_t depois = minutoAgora();
    std::string s = sav();
    ASSERT_EQ(s.size(), 2u * rc::kRecord);
    uint32_t d0 = dataDe(s, 0), d1 = dataDe(s, 1);
    EXPECT_GE(d0, antes);
    EXPECT_LE(d1, depois);
    EXPECT_EQ(s.substr(0, rc::kRecord), registroDe("a@exemplo.com", "Fulano de Tal", "127.0.0.1", d0, "pw", 0, "x\ny"));
    // The name is cut to 31 characters; ".." is stored as it came.
    EXPECT_EQ(s.substr(rc::kRecord), registroDe("b@exemplo.com", std::string(31, 'N'), "127.0.0.1", d1, "", 0, ".."));
}

TEST_F(Sessao, NameStepTakesAnyLineOfFiveCharacters) {
    ASSERT_TRUE(inicia());
    EXPECT_EQ(passo(cli, "REGISTER a@exemplo.com"), kNome);
    EXPECT_EQ(passo(cli, "abcd"), kCurto);
    EXPECT_EQ(troca("NOOP"), "+OK\r\n");  // the dialogue is over
    EXPECT_EQ(passo(cli, "REGISTER a@exemplo.com"), kNome);
    EXPECT_EQ(passo(cli, "\x01" "abc\x02" "d"), kCurto);  // control bytes do not count
    EXPECT_EQ(passo(cli, "REGISTER a@exemplo.com"), kNome);
    EXPECT_EQ(passo(cli, "QUIT!"), kInfo);  // a command-like line is a name
    EXPECT_EQ(passo(cli, "."), "+OK Nome registrado\r\n");
    std::string g = troca("GET a@exemplo.com");
    EXPECT_EQ(g.substr(0, g.find("127.0.0.1")), "+OK Informa\xE7\xF5" "es do usu\xE1rio:\r\nQUIT!\r\n");
    EXPECT_EQ(g.substr(g.size() - 5), "\r\n.\r\n");  // empty information: no line for it
    EXPECT_EQ(campo(sav(), 0, rc::kInfo, 4), std::string(4, '\0'));
}

class RegistroEmProcesso : public emprocesso::EmProcesso {};

TEST_F(RegistroEmProcesso, RegistrationWaitHoldsTheMachineBack) {
    // The clock moves only when the test moves it. 300 is the wheel's
    // whole turn: armed for it, the timer waits in the slot of the current
    // second and reads 0 left until the wheel moves, and is told as 300.
    for (int regtempo : {120, 300}) {
        ASSERT_TRUE(inicia("regtempo = " + std::to_string(regtempo) + "\ndiasreg = 0\n"));
        auto espera = [](int segundos) {
            return "-Registre novamente ap\xF3s " + std::to_string(segundos) + " segundo(s)\r\n";
        };
        registra(cli, "a@exemplo.com:pw", "Fulano");
        EXPECT_EQ(passo(cli, "REGISTER b@exemplo.com"), espera(regtempo)) << regtempo;
        // Other commands are not held back.
        EXPECT_EQ(passo(cli, "LOGON a@exemplo.com:pw"), "+OK Entrada registrada\r\n");
        // The wait belongs to the address and outlives its clients.
        fecha(cli);
        ASSERT_TRUE(bombeia([] { return usuarios == 0; }));
        EXPECT_EQ(maquinas, 1);
        int mesma = conecta("127.0.0.1");
        ASSERT_GE(mesma, 0);
        EXPECT_EQ(passo(mesma, "REGISTER b@exemplo.com"), espera(regtempo)) << regtempo;
        avanca(1);
        EXPECT_EQ(passo(mesma, "REGISTER b@exemplo.com"), espera(regtempo - 1)) << regtempo;
        int outra = conecta("127.0.0.2");
        ASSERT_GE(outra, 0);
        EXPECT_EQ(passo(outra, "REGISTER b@exemplo.com"), kNome);
        // Ends it all before the next round: the clients, then the wait.
        fecha(mesma);
        fecha(outra);
        avanca(regtempo);
        ASSERT_TRUE(bombeia([] { return usuarios == 0 && maquinas == 0; })) << regtempo;
    }
}

TEST_F(Sessao, RegtempoZeroNeverWaits) {
    ASSERT_TRUE(inicia("regtempo = 0\ndiasreg = 0\n"));
    registra("a@exemplo.com", "Fulano");
    registra("b@exemplo.com", "Ciclano");
    registra("a@exemplo.com", "Fulano Outro");
    EXPECT_EQ(sav().size(), 2u * rc::kRecord);
}

TEST_F(Sessao, ReRegistrationNeedsTheSamePassword) {
    ASSERT_TRUE(inicia(std::string(kCfgBase) + "penalidade = 0\n"));  // wrong passwords in a row
    registra("a@exemplo.com:pw", "Fulano", {"um"});
    registra("b@exemplo.com", "Ciclano");
    EXPECT_EQ(troca("LOGON a@exemplo.com:pw casa"), "+OK Entrada registrada\r\n");
    for (const char* outra : {"REGISTER a@exemplo.com:PW", "REGISTER a@exemplo.com", "REGISTER a@exemplo.com:",
                              "REGISTER b@exemplo.com:x"})
        EXPECT_EQ(troca(outra), kJaRegistrado) << outra;
    // Same password, address in other case: replaces the record in its slot,
    // state and note included; the node keeps its address text.
    registra("A@Exemplo.COM:pw", "Beltrano", {"dois"});
    registra("b@exemplo.com:", "Ciclano Novo");
    std::string s = sav();
    ASSERT_EQ(s.size(), 2u * rc::kRecord);
    EXPECT_EQ(s.substr(0, rc::kRecord),
              registroDe("A@Exemplo.COM", "Beltrano", "127.0.0.1", dataDe(s, 0), "pw", 0, "dois"));
    EXPECT_EQ(campo(s, 1, rc::kNome, 13), std::string("Ciclano Novo\0", 13));
    EXPECT_EQ(troca("FIND exemplo"),
              "+OK Lista de usu\xE1rios encontrados se segue\r\na@exemplo.com Beltrano 127.0.0.1\r\n"
              "b@exemplo.com Ciclano Novo 127.0.0.1\r\n.\r\n");
}

// A dialogue that started while the address was free meets the password
// of whoever registered it meanwhile, and leaves no trace when it fails:
// no record written, no registration wait for its machine.
TEST_F(Sessao, EntryRegisteredDuringADialogueKeepsItsPassword) {
    ASSERT_TRUE(inicia("regtempo = 120\ndiasreg = 0\n"));
    Client intruso;
    ASSERT_TRUE(conecta(intruso, "127.0.0.2"));
    EXPECT_EQ(passo(intruso, "REGISTER victim@example.com:evil"), kNome);
    registra("victim@example.com:secret", "Dono Legitimo", {"dados do dono"});
    std::string antes = sav();
    EXPECT_EQ(passo(intruso, "Intruso Qualquer"), kInfo);
    EXPECT_EQ(passo(intruso, "."), kJaRegistrado);
    EXPECT_EQ(sav(), antes);
    EXPECT_EQ(troca(intruso, {"LOGON victim@example.com:evil"}), kSenhaInvalida);
    EXPECT_EQ(troca("LOGON victim@example.com:secret"), "+OK Entrada registrada\r\n");
    // Back to commands, and its machine may register at once.
    EXPECT_EQ(passo(intruso, "REGISTER outro@example.com"), kNome);
}

// The registry keeps the first 79 characters of an address; a longer
// address that shares them names the same entry and must meet its password.
TEST_F(Sessao, LongAddressMeetsThePasswordOfTheEntryItWouldReplace) {
    ASSERT_TRUE(inicia());
    std::string local(75, 'u');
    std::string x = local + "@ex.com", y = local + "@ex.org";
    registra(x + ":um", "Fulano", {"original"});
    EXPECT_EQ(troca("REGISTER " + y + ":dois"), kJaRegistrado);
    EXPECT_EQ(sav(), registroDe(x.substr(0, 79), "Fulano", "127.0.0.1", dataDe(sav(), 0), "um", 0, "original"));
    registra(y + ":um", "Ciclano");
    std::string s = sav();
    EXPECT_EQ(s, registroDe(x.substr(0, 79), "Ciclano", "127.0.0.1", dataDe(s, 0), "um"));
    EXPECT_EQ(situacao(troca("GET " + y)), "register");
}

TEST_F(Sessao, AddressRule) {
    ASSERT_TRUE(inicia());
    std::string longo = std::string(180, 'a') + "@exemplo.c";  // 190 characters
    struct Caso {
        std::string email;
        bool aceito;
    } casos[] = {
        {"a@b.c", true},
        {"a@.b", true},
        {longo.substr(1), true},
        {"!#$%&'*+/=?^_`{|}~\x7F@x.y", true},
        {longo, false},
        {"", false},
        {"semarroba.com", false},
        {"@exemplo.com", false},
        {"a@b@exemplo.com", false},
        {"a@exemplo.", false},
        {"a@exemplo", false},
        {"a.b@exemplo", false},
        {"jos\xE9@exemplo.com", false},
    };
    for (const Caso& k : casos) {
        if (k.aceito) {
            EXPECT_EQ(passo(cli, "REGISTER " + k.email + ":pw"), kNome) << k.email;
            EXPECT_EQ(passo(cli, "x"), kCurto);
        } else {
            EXPECT_EQ(troca("REGISTER " + k.email + ":pw"), kEmailInvalido) << k.email;
        }
    }
    // 189 characters are accepted and stored cut to 79.
    registra(longo.substr(1), "Fulano");
    EXPECT_EQ(campo(sav(), 0, 0, 80), longo.substr(1, 79) + '\0');
}

TEST_F(Sessao, LogonNoteAndLogoff) {
    ASSERT_TRUE(inicia());
    registra("a@exemplo.com:pw", "Fulano");
    Client outra;
    ASSERT_TRUE(conecta(outra, "127.0.0.2"));
    struct Caso {
        std::string linha;
        std::string nota;
    } casos[] = {
        {"LOGON a@exemplo.com:pw casa trabalho", "casa"},
        {"logon   a@exemplo.com:pw   abcdefghijklmnop", "abcdefghijk"},
        {"LOGON a@exemplo.com:pw", ""},
        {"LOGON a@exemplo.com:pw rua", "rua"},
    };
    for (const Caso& k : casos) {
        EXPECT_EQ(troca(outra, {k.linha}), "+OK Entrada registrada\r\n") << k.linha;
        std::string s = sav();
        EXPECT_EQ(campo(s, 0, rc::kEstado, 1), "\x01");
        EXPECT_EQ(campo(s, 0, rc::kIp, 4), std::string("\x7F\0\0\x02", 4));
        EXPECT_EQ(campo(s, 0, rc::kLogon, int(k.nota.size()) + 1), k.nota + '\0') << k.linha;
        EXPECT_EQ(situacao(troca("GET a@exemplo.com")), k.nota.empty() ? "logon" : k.nota);
        EXPECT_EQ(troca("IP a@exemplo.com"), "+OK 127.0.0.2\r\n");
    }
    EXPECT_EQ(troca("LOGOFF a@exemplo.com:pw"), "+OK Sa\xED" "da registrada\r\n");
    std::string s = sav();
    EXPECT_EQ(campo(s, 0, rc::kEstado, 1), "\x02");
    EXPECT_EQ(campo(s, 0, rc::kIp, 4), std::string("\x7F\0\0\x01", 4));
    EXPECT_EQ(campo(s, 0, rc::kLogon, 4), std::string("rua\0", 4));  // LOGOFF keeps the note
    EXPECT_EQ(situacao(troca("GET a@exemplo.com")), "logoff");
    EXPECT_EQ(troca("IP a@exemplo.com"), "+OK 0.0.0.0\r\n");
    EXPECT_EQ(troca("LOGON a@exemplo.com:pw"), "+OK Entrada registrada\r\n");
    EXPECT_EQ(troca("IP a@exemplo.com"), "+OK 127.0.0.1\r\n");
}

TEST_F(Sessao, PasswordChecksOfLogonLogoffAndRemove) {
    ASSERT_TRUE(inicia(kCfgAdm));
    registra("a@exemplo.com:pw", "Fulano");
    registra("b@exemplo.com", "Ciclano");
    std::string antes = sav();
    for (const char* l : {"LOGON a@exemplo.com:Pw", "LOGON a@exemplo.com pw", "LOGOFF a@exemplo.com:",
                          "REMOVE a@exemplo.com:pw2", "LOGON b@exemplo.com:x", "REMOVE b@exemplo.com:b"})
        EXPECT_EQ(troca(l), kSenhaInvalida) << l;
    EXPECT_EQ(sav(), antes);
    EXPECT_EQ(troca("LOGON nada@exemplo.com:pw"), kNaoRegistrado + "nada@exemplo.com\r\n");
    EXPECT_EQ(troca("LOGON b@exemplo.com casa"), "+OK Entrada registrada\r\n");
    EXPECT_EQ(troca("LOGOFF b@exemplo.com:"), "+OK Sa\xED" "da registrada\r\n");
    // Unlocked, any password will do.
    EXPECT_EQ(troca("vrelk"), kDesbloqueado);
    EXPECT_EQ(troca("LOGON a@exemplo.com:errada"), "+OK Entrada registrada\r\n");
    EXPECT_EQ(troca("REMOVE b@exemplo.com:errada"), "+OK Usu\xE1rio removido\r\n");
}

}  // namespace
