// IP, GET, FIND (a slow reader over 10 000 users included), REMOVE, DATE
// and IP2 through the real server, over registry files made by the tests.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "registry/registro.h"
#include "sessao.h"

using namespace sessao;
namespace rc = registro_campo;

namespace {

const std::string kLista = "+OK Lista de usu\xE1rios encontrados se segue\r\n";
const std::string kGet = "+OK Informa\xE7\xF5" "es do usu\xE1rio:\r\n";

// The state line of a GET reply (its fourth line).
std::string linhaSituacao(const std::string& get) {
    size_t p = 0;
    for (int i = 0; i < 3; i++) {
        p = get.find("\r\n", p);
        if (p == std::string::npos)
            return "?";
        p += 2;
    }
    return get.substr(p, get.find("\r\n", p) - p);
}

TEST_F(Sessao, IpFollowsActivity) {
    uint32_t agora = minutoAgora();
    std::string sav = registroDe("perto@d.com", "Perto", "10.0.0.1", agora - 58, "", 1) +
                      registroDe("longe@d.com", "Longe", "10.0.0.2", agora - 61, "", 1) +
                      registroDe("saiu@d.com", "Saiu", "10.0.0.3", agora, "", 2) +
                      registroDe("novo@d.com", "Novo", "10.0.0.4", agora - 10, "", 0);
    ASSERT_TRUE(inicia(std::string(kCfgBase) + "ativomin = 60\n", sav));
    EXPECT_EQ(troca("IP perto@d.com"), "+OK 10.0.0.1\r\n");
    EXPECT_EQ(troca("IP LONGE@d.com"), "+OK 0.0.0.0\r\n");
    EXPECT_EQ(troca("IP saiu@d.com"), "+OK 0.0.0.0\r\n");
    EXPECT_EQ(troca("IP novo@d.com:qualquer coisa"), "+OK 10.0.0.4\r\n");
    // GET shows the address whatever the activity.
    const std::string inicio = kGet + "Saiu\r\n10.0.0.3\r\nlogoff ";
    EXPECT_EQ(troca("GET saiu@d.com").substr(0, inicio.size()), inicio);
}

TEST_F(Sessao, GetShowsTheEntryWithWeekdayAndInformation) {
    ASSERT_TRUE(inicia(kCfgAdm));
    registra("a@exemplo.com:pw", "Fulano de Tal", {"casa", "rua"});
    EXPECT_EQ(troca("vrelk"), kDesbloqueado);
    EXPECT_EQ(troca("DATE a@exemplo.com 07/03/2013 09:05"), "+OK Data alterada\r\n");
    EXPECT_EQ(troca("GET a@exemplo.com"),
              kGet + "Fulano de Tal\r\n127.0.0.1\r\nregister Thu (Quinta) 7/3/2013 9:5\r\ncasa\nrua\r\n.\r\n");
    const char* dias[] = {"Sun (Domingo)", "Mon (Segunda)", "Tue (Ter\xE7" "a)", "Wed (Quarta)",
                          "Thu (Quinta)",  "Fry (Sexta)",   "Sat (S\xE1" "bado)"};
    for (int d = 3; d <= 9; d++) {
        std::string data = std::to_string(d) + "/3/2013 23:59";
        EXPECT_EQ(troca("DATE a@exemplo.com " + data), "+OK Data alterada\r\n");
        EXPECT_EQ(linhaSituacao(troca("GET a@exemplo.com")), std::string("register ") + dias[d - 3] + " " + data);
    }
    EXPECT_NE(srv.errors().find("quelta: administration: DATE a@exemplo.com set to 7/3/2013 9:5 from 127.0.0.1\n"),
              std::string::npos) << srv.errors();
}

// Records a foreign file may hold: any 32-bit date, and fields without a
// terminator. GET prints a real date for each and never reads past a field.
TEST_F(Sessao, GetOfAnyStoredRecordStaysInsideItsFields) {
    struct Caso {
        uint32_t data;
        const char* situacao;
    } casos[] = {
        {0, "Mon (Segunda) 1/1/1601 0:0"},
        {0x7FFFFFFF, "Mon (Segunda) 24/1/5684 2:7"},
        {0x80000000, "Mon (Segunda) 24/1/5684 2:8"},
        {0xFFFFFFFF, "Mon (Segunda) 16/2/9767 4:15"},
        {0xFFFFFFFF - 3 * 1440, "Fry (Sexta) 13/2/9767 4:15"},
    };
    std::string sav;
    for (size_t i = 0; i < sizeof casos / sizeof casos[0]; i++)
        sav += registroDe("d" + std::to_string(i) + "@d.com", "Nome", "10.0.0.1", casos[i].data, "");
    // Every text field full to its last byte, the logon note included.
    std::string cheio = registroDe("cheio@d.com", "", "10.0.0.2", 0, "", 1);
    cheio.replace(rc::kNome, rc::kNomeLen, std::string(rc::kNomeLen, 'N'));
    cheio.replace(rc::kInfo, rc::kInfoLen, std::string(rc::kInfoLen, 'I'));
    cheio.replace(rc::kLogon, rc::kLogonLen, "ABCDEFGHIJKL");
    // An address filling all 80 bytes: the index keeps its first 79.
    const std::string longo = std::string(71, 'e') + "@full.com";
    std::string semFim = registroDe("x@d.com", "Longo", "10.0.0.4", 0, "", 0);
    semFim.replace(rc::kEmail, rc::kEmailLen, longo);
    sav += cheio + semFim + registroDe("depois@d.com", "Depois", "10.0.0.3", 0, "", 0, "XYZ", "WVU");
    ASSERT_TRUE(inicia(kCfgBase, sav));
    for (size_t i = 0; i < sizeof casos / sizeof casos[0]; i++)
        EXPECT_EQ(troca("GET d" + std::to_string(i) + "@d.com"),
                  kGet + "Nome\r\n10.0.0.1\r\nregister " + casos[i].situacao + "\r\n.\r\n")
            << casos[i].data;
    EXPECT_EQ(troca("GET cheio@d.com"), kGet + std::string(31, 'N') + "\r\n10.0.0.2\r\nABCDEFGHIJK Mon (Segunda) 1/1/1601 0:0\r\n" +
                                            std::string(686, 'I') + "\r\n.\r\n");
    EXPECT_EQ(troca("IP cheio@d.com"), "+OK 0.0.0.0\r\n");
    EXPECT_EQ(troca("FIND cheio"), kLista + "cheio@d.com " + std::string(31, 'N') + " 0.0.0.0\r\n.\r\n");
    EXPECT_EQ(troca("FIND full"), kLista + longo.substr(0, 79) + " Longo 0.0.0.0\r\n.\r\n");
    EXPECT_EQ(troca("GET " + longo), kGet + "Longo\r\n10.0.0.4\r\nregister Mon (Segunda) 1/1/1601 0:0\r\n.\r\n");
}

TEST_F(Sessao, FindForms) {
    uint32_t agora = minutoAgora();
    std::string sav = registroDe("x+y@d.com", "Xis", "10.0.0.6", agora, "", 2) +
                      registroDe("jos\xE9@d.com", "Jose", "10.0.0.5", agora, "", 1) +
                      registroDe("Bruno.SILVA@d.com", "Bruno", "10.0.0.3", agora - 1000, "", 1) +
                      registroDe("ana.silva@d.com", "Ana Silva", "10.0.0.2", agora, "", 1) +
                      registroDe("jo\xE3o@d.com", "Joao", "10.0.0.4", agora, "", 0) +
                      registroDe("-x@d.com", "Menos", "10.0.0.1", agora, "", 1);
    ASSERT_TRUE(inicia(kCfgBase, sav));
    const std::string menos = "-x@d.com Menos 10.0.0.1\r\n", ana = "ana.silva@d.com Ana Silva 10.0.0.2\r\n",
                      bruno = "Bruno.SILVA@d.com Bruno 0.0.0.0\r\n", joao = "jo\xE3o@d.com Joao 10.0.0.4\r\n",
                      jose = "jos\xE9@d.com Jose 10.0.0.5\r\n", xy = "x+y@d.com Xis 0.0.0.0\r\n";
    struct Caso {
        const char* linha;
        std::string linhas;
    } casos[] = {
        {"FIND", menos + ana + bruno + joao + jose + xy},
        {"find +", menos + ana + joao + jose},
        {"FIND -+x", menos},
        {"FIND +-x", menos},
        {"FIND --x", menos + xy},
        {"FIND SILVA", ana + bruno},
        {"FIND Silva:senha resto", ana + bruno},
        {"FIND \xE9", jose},
        {"FIND \xC9", ""},
        {"FIND E", ""},
        {"FIND nada", ""},
    };
    for (const Caso& k : casos)
        EXPECT_EQ(troca(k.linha), kLista + k.linhas + ".\r\n") << k.linha;
}

// A reader with a small window that takes a few hundred bytes at a time.
std::string leDevagar(int fd, const std::string& fim, int limiteMs) {
    std::string r;
    auto prazo = std::chrono::steady_clock::now() + std::chrono::milliseconds(limiteMs);
    char b[256];
    while (std::chrono::steady_clock::now() < prazo) {
        if (r.size() >= fim.size() && r.compare(r.size() - fim.size(), fim.size(), fim) == 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        ssize_t n = recv(fd, b, sizeof b, 0);
        if (n <= 0)
            break;
        r.append(b, size_t(n));
        usleep(300);
    }
    return r;
}

TEST_F(Sessao, FindOverTenThousandUsersDeliversEachOnceInOrder) {
    uint32_t agora = minutoAgora();
    std::vector<std::string> emails;
    for (int i = 0; i < 10000; i++) {
        char e[40];
        // Mixed case: the index orders folded, so the file order and the
        // letter case must not decide the listing order.
        snprintf(e, sizeof e, i % 3 == 0 ? "Pessoa%05d@D.com" : "pessoa%05d@d.com", i);
        emails.push_back(e);
    }
    std::vector<size_t> ordemArquivo(emails.size());
    for (size_t i = 0; i < ordemArquivo.size(); i++)
        ordemArquivo[i] = i;
    std::shuffle(ordemArquivo.begin(), ordemArquivo.end(), std::mt19937(1956));
    std::string sav;
    for (size_t i : ordemArquivo)
        sav += registroDe(emails[i], "N" + std::to_string(i), "10.1.2.3", agora, "", i % 2 == 0 ? 1 : 2);
    ASSERT_TRUE(srv.start(kCfgBase, "quelta", sav)) << srv.error;

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    int janela = 2048;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &janela, sizeof janela);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(srv.port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::string saudacao = leDevagar(fd, "\r\n", 3000);
    ASSERT_EQ(saudacao, kSaudacao1);
    ASSERT_EQ(send(fd, "FIND\r\n", 6, 0), 6);
    std::string r = leDevagar(fd, "\r\n", 3000);
    // Mid-listing a command is still answered, between two listing lines.
    ASSERT_EQ(send(fd, "NOOP\r\n", 6, 0), 6);
    r += leDevagar(fd, "\r\n.\r\n", 60000);
    close(fd);

    std::string esperado = kLista;
    for (size_t i = 0; i < emails.size(); i++)
        esperado += emails[i] + " N" + std::to_string(i) + (i % 2 == 0 ? " 10.1.2.3\r\n" : " 0.0.0.0\r\n");
    esperado += ".\r\n";
    size_t ok = r.find("\r\n+OK\r\n");
    ASSERT_NE(ok, std::string::npos);
    r.erase(ok + 2, 5);
    EXPECT_EQ(r.size(), esperado.size());
    EXPECT_TRUE(r == esperado) << "the listing differs from the index order";
}

TEST_F(Sessao, DateAcceptedAndRefusedForms) {
    ASSERT_TRUE(inicia(kCfgAdm));
    registra("a@exemplo.com:pw", "Fulano");
    EXPECT_EQ(troca("DATE a@exemplo.com 1/1/2013 0:0"), "-Acesso negado\r\n");
    EXPECT_EQ(troca("DATE nada@exemplo.com 1/1/2013 0:0"), kNaoRegistrado + "nada@exemplo.com\r\n");
    EXPECT_EQ(troca("vrelk"), kDesbloqueado);
    EXPECT_EQ(troca("IP2 nada@exemplo.com 1.2.3.4"), kNaoRegistrado + "nada@exemplo.com\r\n");
    struct Aceita {
        const char* data;
        const char* mostra;
    } aceitas[] = {
        {"31/02/2013 10:00", "3/3/2013 10:0"},
        {"1-1-2013 0.0", "1/1/2013 0:0"},
        {"x7y3z-2013w9v5", "7/3/2013 9:5"},
        {"1/1/1601 0:0", "1/1/1601 0:0"},
        {"0031/12/2000 23:59", "31/12/2000 23:59"},
        {"24/1/5684 2:7", "24/1/5684 2:7"},  // the last minute below 2^31
    };
    for (const Aceita& k : aceitas) {
        EXPECT_EQ(troca(std::string("DATE a@exemplo.com ") + k.data), "+OK Data alterada\r\n") << k.data;
        std::string s = linhaSituacao(troca("GET a@exemplo.com"));
        EXPECT_EQ(s.substr(s.find(") ") + 2), k.mostra) << k.data;
    }
    std::string antes = sav();
    const char* recusadas[] = {
        "1/1/1600 0:0", "1/1", "", "0/1/2013 0:0", "32/1/2013 0:0", "1/0/2013 0:0", "1/13/2013 0:0",
        "1/1/2013 24:0", "1/1/2013 0:60", "24/1/5684 2:8", "25/1/5684 0:0", "1/1/9999 0:0",
        // Numbers that a 32-bit reading would wrap into range.
        "4294967297/1/2013 0:0", "1/4294967297/2013 0:0", "1/1/4294969309 0:0", "1/1/2013 4294967296:0",
        "99999999999/1/2013 0:0", "1/1/2013 0:99999999999999999999999",
    };
    for (const char* k : recusadas)
        EXPECT_EQ(troca(std::string("DATE a@exemplo.com ") + k), "-Data inv\xE1lida\r\n") << k;
    EXPECT_EQ(sav(), antes);
}

TEST_F(Sessao, Ip2StoresWhatTheConversionGives) {
    ASSERT_TRUE(inicia(kCfgAdm));
    registra("a@exemplo.com:pw", "Fulano");
    EXPECT_EQ(troca("IP2 a@exemplo.com 10.1.2.3"), "-Acesso negado\r\n");
    EXPECT_EQ(troca("vrelk"), kDesbloqueado);
    std::string antes = sav();
    EXPECT_EQ(troca("IP2 a@exemplo.com abc"), "+OK Endere\xE7o IP alterado\r\n");
    EXPECT_EQ(troca("IP a@exemplo.com"), "+OK 255.255.255.255\r\n");
    std::string depois = sav();
    EXPECT_EQ(depois.substr(rc::kIp, 4), "\xFF\xFF\xFF\xFF");
    // Nothing but the address changed.
    EXPECT_EQ(depois.replace(rc::kIp, 4, antes.substr(rc::kIp, 4)), antes);
    EXPECT_EQ(troca("IP2 a@exemplo.com 10.1.2.3"), "+OK Endere\xE7o IP alterado\r\n");
    EXPECT_EQ(troca("IP a@exemplo.com"), "+OK 10.1.2.3\r\n");
    EXPECT_EQ(sav().substr(rc::kIp, 4), "\x0A\x01\x02\x03");
    // Each change is in the log, with who made it and never a password.
    const std::string log = srv.errors();
    EXPECT_NE(log.find("quelta: administration: IP2 a@exemplo.com set to 10.1.2.3 from 127.0.0.1\n"),
              std::string::npos) << log;
    EXPECT_EQ(log.find("vrelk"), std::string::npos) << log;
}

TEST_F(Sessao, RemoveOfTheLastAndOfAMiddleUser) {
    uint32_t agora = minutoAgora();
    std::string r[4];
    const char* nomes[4] = {"a@d.com", "b@d.com", "c@d.com", "d@d.com"};
    for (int i = 0; i < 4; i++)
        r[i] = registroDe(nomes[i], "Nome " + std::to_string(i), "10.0.0.1", agora - uint32_t(i), "pw", 0,
                          "info " + std::to_string(i), "nota");
    ASSERT_TRUE(inicia(kCfgAdm, r[0] + r[1] + r[2] + r[3]));
    EXPECT_EQ(troca("REMOVE b@d.com:errada"), "-Senha inv\xE1lida\r\n");
    EXPECT_EQ(troca("REMOVE b@d.com"), "-Senha inv\xE1lida\r\n");
    EXPECT_EQ(troca("REMOVE x@d.com:pw"), kNaoRegistrado + "x@d.com\r\n");
    EXPECT_EQ(sav(), r[0] + r[1] + r[2] + r[3]);
    EXPECT_EQ(troca("REMOVE d@d.com:pw"), "+OK Usu\xE1rio removido\r\n");
    EXPECT_EQ(sav(), r[0] + r[1] + r[2]);
    EXPECT_EQ(troca("REMOVE b@d.com:pw"), "+OK Usu\xE1rio removido\r\n");
    EXPECT_EQ(sav(), r[0] + r[2]);  // the last record moved into the hole
    EXPECT_EQ(troca("IP b@d.com"), kNaoRegistrado + "b@d.com\r\n");
    EXPECT_EQ(linhaSituacao(troca("GET c@d.com")).substr(0, 9), "register ");
    // Unlocked, no password is needed.
    EXPECT_EQ(troca("vrelk"), kDesbloqueado);
    EXPECT_EQ(troca("REMOVE a@d.com"), "+OK Usu\xE1rio removido\r\n");
    EXPECT_EQ(sav(), r[2]);
    EXPECT_EQ(troca("FIND"), kLista + "c@d.com Nome 2 10.0.0.1\r\n.\r\n");
    // Only the removal without a password was the administration's.
    const std::string log = srv.errors();
    EXPECT_NE(log.find("quelta: administration: REMOVE a@d.com from 127.0.0.1\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("REMOVE b@d.com"), std::string::npos) << log;
}

}  // namespace
