// The interpreter: line framing driven directly through cEvento without a
// socket, the paced listing driven by drained events, and the simple
// commands, the unlock and the statistics line through the real server.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "protocol/cliente.h"
#include "admission/maquina.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "sessao.h"
#include "text/fold.h"

using namespace sessao;

namespace {

// A client without a socket over a registry in a temporary file.
class Enquadramento : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        buildFoldTable();
        char modelo[] = "/tmp/quelta-protocol-XXXXXX";
        ASSERT_NE(mkdtemp(modelo), nullptr);
        pasta = modelo;
        snprintf(registryFileName, sizeof registryFileName, "%s/quelta.sav", modelo);
        ASSERT_TRUE(registro.cCarrega());
    }
    static void TearDownTestSuite() {
        unlink(registryFileName);
        unlink((std::string(registryFileName) + ".lote").c_str());
        rmdir(pasta.c_str());
    }
    static inline std::string pasta;
    void SetUp() override {
        config.regtempo = 0;
        minuteClock = 216000000;
        maquina = new TMaquina(ipOf("127.0.0.9"));
        c = new TCliente(maquina);
    }
    void TearDown() override {
        delete c;  // the machine goes with its last client
        indice.reset();
        registro.cTrunca(0);
    }
    std::string pendente() {
        char b[4096];
        int32_t n = c->takePending(b, sizeof b);
        return std::string(b, size_t(n));
    }
    // Feeds in pieces no larger than the engine ever delivers.
    std::string envia(const std::string& bytes) {
        for (size_t i = 0; i < bytes.size(); i += 2048)
            c->cEvento(bytes.data() + i, int32_t(std::min<size_t>(2048, bytes.size() - i)));
        return pendente();
    }
    static std::string desconhecido(const std::string& linha) { return "-Comando desconhecido: " + linha + "\r\n"; }

    TMaquina* maquina = nullptr;
    TCliente* c = nullptr;
};

TEST_F(Enquadramento, EveryKindOfLineEndGivesOneReply) {
    const char* casos[] = {"NOOP\r\n", "NOOP\n\r", "NOOP\r", "NOOP\n", "NOOP\r\n\r\n", "NOOP\n\r\n\r", "\r\nNOOP\r\n"};
    for (const char* caso : casos) {
        delete c;
        c = new TCliente(new TMaquina(ipOf("127.0.0.9")));
        EXPECT_EQ(envia(caso), "+OK\r\n") << caso;
    }
}

TEST_F(Enquadramento, OnlyThePartnerCharacterClearsTheRememberedEnd) {
    EXPECT_EQ(envia("A\nB\rC\n"), desconhecido("A") + desconhecido("BC"));
    // The same split across reads: the remembered end survives between events.
    std::string r = envia("D\r");
    r += envia("\nE\n");
    r += envia("\r");
    EXPECT_EQ(r, desconhecido("D") + desconhecido("E"));
}

TEST_F(Enquadramento, EmptyLinesAndControlBytesNeverReachTheInterpreter) {
    EXPECT_EQ(envia("\r\n\n\r\r\r\n\n"), "");
    EXPECT_EQ(envia(std::string("\x01N\0O\tOP\x1F\r\n", 10)), "+OK\r\n");
    EXPECT_EQ(envia("\x01\x02\r\n"), "");  // only dropped bytes: an empty line
    EXPECT_EQ(envia("no\xE9\r\n"), desconhecido("no\xE9"));
    EXPECT_EQ(envia("   \r\n"), desconhecido("   "));
}

TEST_F(Enquadramento, LinesAreCutAt2048Characters) {
    for (size_t n : {2047u, 2048u, 2049u, 3000u}) {
        std::string linha(std::min<size_t>(n, 2048), 'a');
        linha.append(n - linha.size(), 'b');
        std::string r = envia(linha + "\r\n");
        EXPECT_EQ(strlen(c->linha), std::min<size_t>(n, 2048)) << n;
        EXPECT_EQ(std::string(c->linha).find('b'), std::string::npos) << n;
        // The echo is cut at 119 bytes, its CR LF lost.
        EXPECT_EQ(r, "-Comando desconhecido: " + std::string(96, 'a')) << n;
        EXPECT_EQ(envia("NOOP\r\n"), "+OK\r\n") << n;
    }
}

TEST_F(Enquadramento, FullInformationBlockIsStillEndedByTheDotLine) {
    // 2047 characters and the LF of their line end fill linha exactly;
    // the "." that follows finds no room but still ends the block.
    struct Caso {
        size_t tamanho;
        size_t guardado;
    } casos[] = {{2047, 2047}, {2048, 2048}, {2500, 2048}};
    for (const Caso& k : casos) {
        ASSERT_EQ(envia("REGISTER cheio@exemplo.com:pw\r\n"), "+OK Informe nome do usu\xE1rio\r\n");
        ASSERT_EQ(envia("Fulano\r\n"), "+OK Entre as informa\xE7\xF5" "es, uma por linha, na \xFAltima s\xF3 um ponto\r\n");
        EXPECT_EQ(envia(std::string(k.tamanho, 'i') + "\r\n"), "");
        EXPECT_EQ(envia(".\r\n"), "+OK Nome registrado\r\n") << k.tamanho;
        EXPECT_EQ(strlen(c->linha), k.guardado);
        EXPECT_EQ(c->conversa(), kOcioso);
        ASSERT_TRUE(registro.cLe(cBusca("cheio@exemplo.com")));
        EXPECT_EQ(std::string(registro.info()), std::string(686, 'i'));
    }
}

TEST_F(Enquadramento, DotLinesInsideTheBlock) {
    struct Caso {
        std::string linhas;
        std::string info;
    } casos[] = {
        {"x\r\n\r\ny\r\n.\r\n", "x\ny"},
        {"..\r\n.x\r\n.\r\n", "..\n.x"},
        {".\r\n", ""},
        {"a\n\r.\r\n", "a"},
        {"a.\r\n.\n", "a."},
        // Control bytes vanish before the line is judged: a "." carrying
        // them still ends the block, so GET can never show a bare ".".
        {"a\r\n.\x01\r\n", "a"},
        {"\x02.\x03\r\n", ""},
    };
    for (const Caso& k : casos) {
        envia("REGISTER ponto@exemplo.com\r\nFulano\r\n");
        EXPECT_EQ(envia(k.linhas), "+OK Nome registrado\r\n") << k.linhas;
        ASSERT_TRUE(registro.cLe(cBusca("ponto@exemplo.com")));
        EXPECT_EQ(std::string(registro.info()), k.info) << k.linhas;
    }
}

TEST_F(Enquadramento, ClosedEventDestroysTheClient) {
    int32_t antes = usuarios;
    c->cEvento(nullptr, kEventoFechada);
    c = nullptr;
    EXPECT_EQ(usuarios, antes - 1);
    c = new TCliente(new TMaquina(ipOf("127.0.0.9")));  // for TearDown
}

TEST_F(Enquadramento, NothingAfterQuitInTheSameReadRuns) {
    envia("REGISTER q@exemplo.com:pw\r\nFulano\r\n.\r\n");
    TUsuario* u = cBusca("q@exemplo.com");
    ASSERT_NE(u, nullptr);
    int32_t antes = usuarios;
    // Were the LOGON run on the destroyed client, the record would change.
    std::string pacote = "QUIT\r\nLOGON q@exemplo.com:pw casa\r\n";
    c->cEvento(pacote.data(), int32_t(pacote.size()));
    c = nullptr;
    EXPECT_EQ(usuarios, antes - 1);
    EXPECT_EQ(u->estado, 0);
    ASSERT_TRUE(registro.cLe(u));
    EXPECT_EQ(registro.estado(), 0);
    EXPECT_EQ(registro.logon()[0], 0);
    c = new TCliente(new TMaquina(ipOf("127.0.0.9")));  // for TearDown
}

// Drained events pace the listing; a user removed at the resume point
// between two steps is neither revisited nor the cause of a skip.
TEST_F(Enquadramento, ListingResumesByAddressAcrossDrainedEvents) {
    std::vector<std::string> emails;
    for (int i = 0; i < 300; i++) {
        char e[40];
        snprintf(e, sizeof e, "pessoa%03d@exemplo.com", i);
        emails.push_back(e);
        TUsuario* no = new TUsuario{};
        cInsere(no, e, minuteClock);
        copyBounded(no->nome, "Nome", sizeof no->nome);
        no->estado = 2;
    }
    std::string saida = envia("FIND\r\n");
    ASSERT_EQ(saida.rfind("+OK Lista de usu\xE1rios encontrados se segue\r\n", 0), 0u);
    EXPECT_TRUE(c->emLista());
    std::vector<std::string> removidos;
    for (int passo = 0; passo < 100 && c->emLista(); passo++) {
        if (passo == 2) {
            ASSERT_TRUE(c->emLista());
            // Remove the user the listing stopped at, and the one after it.
            TUsuario* no = cBusca(c->cadEmail);
            ASSERT_NE(no, nullptr);
            for (int k = 0; k < 2; k++) {
                TUsuario* prox = cProximo(no);
                removidos.push_back(no->email());
                cRetira(no);
                delete no;
                no = prox;
            }
        }
        c->cEvento(nullptr, kEventoEsvaziada);
        saida += pendente();
    }
    ASSERT_EQ(c->conversa(), kOcioso);
    std::string esperado = "+OK Lista de usu\xE1rios encontrados se segue\r\n";
    for (const std::string& e : emails)
        if (e != removidos[0] && e != removidos[1])
            esperado += e + " Nome 0.0.0.0\r\n";
    EXPECT_EQ(saida, esperado + ".\r\n");
}

// ---- End to end ------------------------------------------------------

const std::string kAjuda =
    "+OK Este servidor QUELTA processa os seguintes comandos:\r\n"
    "  HELP                   Fornece informa\xE7\xF5" "es sobre os comandos\r\n"
    "  QUIT                   Encerra o servi\xE7o do servidor\r\n"
    "  NOOP                   Apenas responde +OK\r\n"
    "  NOW                    Mostra data/hora da m\xE1quina\r\n"
    "  IP <email>             Obt\xE9m o IP do usu\xE1rio\r\n"
    "  GET <email>            Obt\xE9m IP e outras informa\xE7\xF5" "es do usu\xE1rio\r\n"
    "  REGISTER <email>       Registra informa\xE7\xE3o do usu\xE1rio\r\n"
    "  REMOVE <email>         Remove o registro de um usu\xE1rio\r\n"
    "  LOGON <email>          Altera o IP de um usu\xE1rio j\xE1 cadastrado\r\n"
    "  LOGON <email> <informa\xE7\xE3o sobre o logon>\r\n"
    "  LOGOFF <email>         Limpa informa\xE7\xE3o do IP, mantendo as outras\r\n"
    "  FIND <nome_buscado>    Busca um nome e retorna seu endere\xE7o eletr\xF4nico\r\n"
    "                 Para procurar s\xF3 os ativos acrescentar + na frente do e-mail\r\n"
    "  DATE <email> dd/mm/aaaa hh:mm  Muda data/hora de um nome no registro\r\n"
    "  IP2 <email> <endere\xE7o IP> Muda o endere\xE7o IP\r\n"
    "  STOP                   Encerra o Quelta\r\n"
    " Para email com senha, acrescentar dois pontos e a senha ap\xF3s o email.\r\n"
    " Exemplo:  fulano@exemplo.com.br:senha\r\n"
    " Nota1: N\xE3o coloque espa\xE7os no e-mail e na senha.\r\n"
    " Nota2: Para usar os comandos DATE, STOP e remover qualquer nome com o comando\r\n"
    " \xE9 necess\xE1rio digitar a senha de administra\xE7\xE3o.\r\n"
    ".\r\n";

TEST_F(Sessao, HelpIsTheWholeFirstWordInAnyCase) {
    ASSERT_TRUE(inicia());
    for (const char* l : {"HELP", "help", "Help", "HELP me"})
        EXPECT_EQ(troca(l), kAjuda) << l;
    for (const char* l : {"HELPME", " HELP", "HEL"})
        EXPECT_EQ(troca(l), std::string("-Comando desconhecido: ") + l + "\r\n") << l;
}

TEST_F(Sessao, SimpleCommandsAndUnknownLines) {
    ASSERT_TRUE(inicia());
    EXPECT_EQ(troca("noop"), "+OK\r\n");
    EXPECT_EQ(troca("IP"), kNaoRegistrado + "\r\n");
    EXPECT_EQ(troca("GET   nada@exemplo.com:x resto"), kNaoRegistrado + "nada@exemplo.com\r\n");
    // The echo of a long line keeps 119 bytes and loses its line end.
    EXPECT_EQ(troca(std::string(200, 'z')), "-Comando desconhecido: " + std::string(96, 'z'));
}

TEST_F(Sessao, FramingAcrossRealReads) {
    ASSERT_TRUE(inicia());
    const std::string ok = "+OK\r\n", a = "-Comando desconhecido: A\r\n", bc = "-Comando desconhecido: BC\r\n";
    // One packet: LF CR, a lone CR, CR LF CR LF, the partner rule, a long line.
    EXPECT_EQ(troca(cli, {"NOOP\n\rNOOP\rNOOP\r\n\r\nA\nB\rC\n" + std::string(3000, 'x')}),
              ok + ok + ok + a + bc + "-Comando desconhecido: " + std::string(96, 'x'));
    // The same bytes one at a time, each in its own packet.
    std::string bytes = "NOOP\n\rNOOP\r\nA\nB\rC\n";
    for (char b : bytes) {
        ASSERT_TRUE(cli.send(std::string(1, b)));
        usleep(2000);
    }
    EXPECT_EQ(troca(cli, {}), ok + ok + a + bc);
    // An information block filling the line exactly is still ended by ".".
    ASSERT_EQ(passo(cli, "REGISTER a@exemplo.com"), "+OK Informe nome do usu\xE1rio\r\n");
    ASSERT_EQ(passo(cli, "Fulano"), "+OK Entre as informa\xE7\xF5" "es, uma por linha, na \xFAltima s\xF3 um ponto\r\n");
    ASSERT_TRUE(cli.send(std::string(1000, 'i') + "\r\n" + std::string(1046, 'j') + "\r\n"));
    EXPECT_EQ(passo(cli, "."), "+OK Nome registrado\r\n");
    std::string g = troca("GET a@exemplo.com");
    EXPECT_NE(g.find("\r\n" + std::string(686, 'i') + "\r\n.\r\n"), std::string::npos) << g;
}

TEST_F(Sessao, NowShowsTheLocalTime) {
    ASSERT_TRUE(inicia());
    time_t antes = time(nullptr);
    std::string r = troca("NOW");
    time_t depois = time(nullptr);
    const std::string pre = "+OK Data: ";
    ASSERT_EQ(r.rfind(pre, 0), 0u) << r;
    ASSERT_GE(r.size(), pre.size() + 2);
    std::string campos = r.substr(pre.size(), r.size() - pre.size() - 2);
    ASSERT_TRUE(formaNumerica(campos, "// ::")) << r;
    struct tm t = {};
    ASSERT_EQ(sscanf(campos.c_str(), "%d/%d/%d %d:%d:%d", &t.tm_mday, &t.tm_mon, &t.tm_year, &t.tm_hour, &t.tm_min,
                     &t.tm_sec),
              6);
    t.tm_mon -= 1;
    t.tm_year -= 1900;
    t.tm_isdst = -1;
    time_t dito = mktime(&t);
    EXPECT_GE(dito, antes - 2);
    EXPECT_LE(dito, depois + 1);
}

TEST_F(Sessao, WithoutAPasswordNoLineUnlocks) {
    // No senhaadm at all: nothing is built in, the old word is a line
    // like any other.
    ASSERT_TRUE(inicia());
    EXPECT_EQ(troca("vrelk"), "-Comando desconhecido: vrelk\r\n");
    EXPECT_EQ(troca("STOP"), "-Acesso negado\r\n");
    EXPECT_NE(srv.errors().find("quelta: administration disabled: quelta.cfg sets no senhaadm\n"), std::string::npos)
        << srv.errors();
    // An empty value is no password either, not the one before it.
    ServerProcess vazio;
    ASSERT_TRUE(vazio.start(std::string(kCfgBase) + "senhaadm = vrelk\nsenhaadm =\n")) << vazio.error;
    Client c;
    ASSERT_TRUE(c.connect(vazio.port));
    EXPECT_EQ(c.readLine(), kSaudacao1);
    EXPECT_EQ(troca(c, {"vrelk"}), "-Comando desconhecido: vrelk\r\n");
    EXPECT_NE(vazio.errors().find("administration disabled"), std::string::npos) << vazio.errors();
}

TEST_F(Sessao, UnlockNeedsTheExactLineAndStopEndsTheServer) {
    ASSERT_TRUE(inicia(kCfgAdm));
    EXPECT_NE(srv.errors().find("quelta: warning: senhaadm is shorter than 12 characters\n"), std::string::npos)
        << srv.errors();
    EXPECT_EQ(troca("STOP"), "-Acesso negado\r\n");
    for (const char* l : {"vrelk ", "VRELK", "Vrelk", " vrelk", "vrelkx"})
        EXPECT_EQ(troca(l), std::string("-Comando desconhecido: ") + l + "\r\n") << l;
    EXPECT_EQ(troca("STOP"), "-Acesso negado\r\n");
    EXPECT_EQ(troca("vrelk"), kDesbloqueado);
    EXPECT_NE(srv.errors().find("quelta: administration unlocked from 127.0.0.1\n"), std::string::npos)
        << srv.errors();
    // The unlock belongs to this client alone.
    Client outro;
    ASSERT_TRUE(conecta(outro, "127.0.0.2"));
    EXPECT_EQ(troca(outro, {"stop"}), "-Acesso negado\r\n");
    ASSERT_TRUE(cli.send("stop\r\n"));
    EXPECT_EQ(srv.waitExit(5000), 0) << srv.error;
    EXPECT_EQ(cli.readAll(3000), "");
}

TEST_F(Sessao, APasswordThatReadsLikeACommandDisablesAdministrationAndALongOneIsCut) {
    // A line that begins with a command word runs that command, so such a
    // password could only ever be compared without counting as a guess:
    // administration is disabled instead, with a warning naming the word.
    struct Caso {
        const char* senha;
        const char* palavra;
    } casos[] = {{"logon a@exemplo.com", "logon"}, {"Help me please 42", "help"}, {"--DEBUG de novo", "--debug"}};
    for (const Caso& k : casos) {
        ServerProcess s;
        ASSERT_TRUE(s.start(std::string(kCfgBase) + "senhaadm = " + k.senha + "\npenalidade = 0\n")) << s.error;
        Client c;
        ASSERT_TRUE(c.connect(s.port));
        c.readLine();
        EXPECT_NE(troca(c, {k.senha}), kDesbloqueado) << k.senha;
        EXPECT_EQ(troca(c, {"STOP"}), "-Acesso negado\r\n") << k.senha;
        EXPECT_NE(s.errors().find(std::string("quelta: warning: quelta.cfg:4: senhaadm: begins with the command "
                                              "word ") + k.palavra + ", so no line can unlock it; administration "
                                              "disabled\n"),
                  std::string::npos)
            << s.errors();
    }
    // A password too long for its 19 characters is cut, and the operator told.
    ServerProcess longa;
    ASSERT_TRUE(longa.start(std::string(kCfgBase) + "senhaadm = 0123456789abcdefghijKLMNO\npenalidade = 0\n")) << longa.error;
    EXPECT_EQ(sessao::semLinhaDeInicio(longa.errors()), "quelta: warning: quelta.cfg:4: senhaadm: it has 25 characters; only its first 19 count\n");
    Client c;
    ASSERT_TRUE(c.connect(longa.port));
    c.readLine();
    EXPECT_EQ(troca(c, {"0123456789abcdefghi"}), kDesbloqueado);
}

TEST_F(Sessao, DebugSendsStatisticsNowAndAgainAtQuit) {
    ASSERT_TRUE(inicia());
    Client outro;
    ASSERT_TRUE(conecta(outro, "127.0.0.2"));
    registra("a@exemplo.com", "Fulano");
    auto confere = [](const std::string& linha, const std::string& contagens) {
        const std::string pre = "+OK:  Usu\xE1rios: " + contagens + "  Data: ";
        ASSERT_EQ(linha.rfind(pre, 0), 0u) << linha;
        ASSERT_GE(linha.size(), pre.size() + 2);
        EXPECT_EQ(linha.substr(linha.size() - 2), "\r\n");
        EXPECT_TRUE(formaNumerica(linha.substr(pre.size(), linha.size() - pre.size() - 2), "// ::")) << linha;
    };
    confere(troca("--DEBUG"), "2  M\xE1quinas: 2  Registros: 1");
    // At QUIT this client no longer counts, its machine still does; the
    // line is the last thing sent, and nothing after QUIT runs.
    ASSERT_TRUE(cli.send("QUIT\r\nNOOP\r\n"));
    std::string fim = cli.readAll(3000);
    EXPECT_TRUE(cli.peerClosed);
    confere(fim, "1  M\xE1quinas: 2  Registros: 1");
}

TEST_F(Sessao, CommandAfterQuitInTheSamePacketNeverRuns) {
    ASSERT_TRUE(inicia());
    registra("a@exemplo.com:pw", "Fulano");
    ASSERT_TRUE(cli.send("QUIT\r\nLOGON a@exemplo.com:pw casa\r\n"));
    EXPECT_EQ(cli.readAll(3000), "");
    EXPECT_TRUE(cli.peerClosed);
    Client outro;
    ASSERT_TRUE(conecta(outro, nullptr, kSaudacao1));
    std::string r = troca(outro, {"GET a@exemplo.com"});
    EXPECT_NE(r.find("\r\n127.0.0.1\r\nregister "), std::string::npos) << r;
}

}  // namespace
