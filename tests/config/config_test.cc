// The configuration reader on real files, and the file names derived from
// the program name. Every case starts from the compiled-in defaults.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "engine/platform.h"
#include "text/fold.h"

namespace {

class Config : public ::testing::Test {
protected:
    void SetUp() override {
        buildFoldTable();
        config = Configuracao{};
        char templ[] = "/tmp/quelta-config-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
    }
    void TearDown() override {
        unlink((dir + "/quelta.cfg").c_str());
        rmdir(dir.c_str());
        config = Configuracao{};
    }
    // Writes bytes as the configuration file and reads it the way start-up does.
    void readText(const std::string& bytes) {
        std::string file = dir + "/quelta.cfg";
        int w = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(w, 0);
        ASSERT_EQ(write(w, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        close(w);
        int fd = platformOpenReadOnly(file.c_str());
        ASSERT_GE(fd, 0);
        readConfiguration(fd);
        platformCloseFile(fd);
    }
    std::string dir;
};

TEST_F(Config, DefaultsBeforeAnyFile) {
    // A fresh struct carries the compiled-in defaults that every reset
    // (config = Configuracao{}) and the server's start rely on.
    Configuracao padrao;
    EXPECT_STREQ(padrao.senhaadm, "");
    EXPECT_STREQ(padrao.ender, "");
    EXPECT_EQ(padrao.porta, 1956);
    EXPECT_EQ(padrao.maxconec, 2);
    EXPECT_EQ(padrao.diasreg, 90);
    EXPECT_EQ(padrao.ativomin, 480);
    EXPECT_EQ(padrao.maxtempo, 120);
    EXPECT_EQ(padrao.regtempo, 120);
    EXPECT_EQ(padrao.penalidade, 2);
}

TEST_F(Config, PortParsingAndRange) {
    // Each file first sets 2000, so a bad value visibly becomes 1956 and
    // not the value before it.
    struct Case {
        const char* text;
        int32_t porta;
    } cases[] = {
        {"porta=2000", 2000},  // no line end at all: the appended line feed ends it
        {"   porta   =   2001   \r\n", 2001},
        {"porta = 2000\nporta = 0\n", 1956},
        {"porta = 2000\nporta = 70000\n", 1956},
        {"porta = 2000\nporta = 65536\n", 1956},
        {"porta = 2000\nporta = abc\n", 1956},
        {"porta = 2000\nporta = -80\n", 1956},
        {"porta = 65535\n", 65535},
        {"porta = 1\n", 1},
        {"porta = +2002\n", 2002},
        {"porta = 2000\nporta = 2003xyz\n", 1956},  // not a whole number
        {"porta = 2000\nporta = 2004 5\n", 1956},
        {"porta = 2000\nporta = 2005\n", 2005},  // the last of two wins
        // 2^32 + 1 must not wrap round to port 1.
        {"porta = 2000\nporta = 4294967297\n", 1956},
        {"porta = 2000\nporta = 99999999999999999999999\n", 1956},
        {"PORTA = 2006\n", 2006},
        {"Porta xyz = 2007\n", 2007},  // a blank ends the key's word
        {"p\xD3RTA = 2008\n", 2008},   // accents fold away in key matching
        {"por\tta\t=\t2009\t\n", 2009},  // tabs vanish, also inside the key
        {"porta = 2000\rmaxconec = 3\r", 2000},
        {"portas = 2010\n", 1956},  // not a known key
        {"porta\n= 2011\n", 1956},  // the '=' is on another line
        {"porta =\n", 1956},
    };
    for (const Case& c : cases) {
        config = Configuracao{};
        readText(c.text);
        EXPECT_EQ(config.porta, c.porta) << "file: " << c.text;
    }
}

TEST_F(Config, NumbersAndClamps) {
    struct Case {
        const char* text;
        int32_t* value;
        int32_t expected;
    } cases[] = {
        // A value that is not a whole number, or is out of the key's range,
        // leaves the key at its default: never 0, never clamped.
        {"ativomin = 0\n", &config.ativomin, 480},
        {"ativomin = -5\n", &config.ativomin, 480},
        {"ativomin = 99999\n", &config.ativomin, 480},
        {"ativomin = 6000\n", &config.ativomin, 6000},
        {"ativomin = 1\n", &config.ativomin, 1},
        {"ativomin = 30\n", &config.ativomin, 30},
        {"maxtempo = -5\n", &config.maxtempo, 120},
        {"maxtempo = 99999\n", &config.maxtempo, 120},
        {"maxtempo = 300\n", &config.maxtempo, 300},
        {"maxtempo = 0\n", &config.maxtempo, 0},
        {"maxconec = 0\n", &config.maxconec, 0},
        {"maxconec = -3\n", &config.maxconec, 2},
        {"maxconec = abc\n", &config.maxconec, 2},
        {"maxconec = 3 conexoes\n", &config.maxconec, 2},
        {"diasreg = -1\n", &config.diasreg, -1},
        {"diasreg = lots\n", &config.diasreg, 90},
        {"diasreg = 1491309\n", &config.diasreg, 90},  // its minutes would pass 32 bits
        {"regtempo = 301\n", &config.regtempo, 120},
        {"regtempo = x\n", &config.regtempo, 120},
        {"maxconec = 1000000\n", &config.maxconec, 1000000},
        {"maxconec = -2147483648\n", &config.maxconec, 2},
        {"maxconec = 2147483648\n", &config.maxconec, 2},  // beyond 32 bits is no number
        {"portatls = 70000\n", &config.portatls, 0},
        {"maxconec = 3\r\nmaxconec = 4\r\n", &config.maxconec, 4},
        {"MaxConec = 5\n", &config.maxconec, 5},
        {"maxconec=6\rdiasreg=7\r", &config.maxconec, 6},
        {"maxconec=6\rdiasreg=7\r", &config.diasreg, 7},
        {"\r\n\r\n\n\nmaxconec = 8\n\n\n", &config.maxconec, 8},
        {"penalidade = 0\n", &config.penalidade, 0},
        {"penalidade = -5\n", &config.penalidade, 2},
        {"penalidade = 60\n", &config.penalidade, 60},
        {"penalidade = 61\n", &config.penalidade, 2},
        {"Penalidade = 5\n", &config.penalidade, 5},
        {"penalidade =\n", &config.penalidade, 2},
        {"sincronia = sempre\n", &config.sincronia, kSincroniaSempre},
        {"sincronia = NUNCA\n", &config.sincronia, kSincroniaNunca},
        {"sincronia = nunca\nsincronia = segundo\n", &config.sincronia, kSincroniaSegundo},
        {"sincronia = sempre!\n", &config.sincronia, kSincroniaSegundo},
        {"sincronia = sempre x\n", &config.sincronia, kSincroniaSegundo},
    };
    for (const Case& c : cases) {
        config = Configuracao{};
        readText(c.text);
        EXPECT_EQ(*c.value, c.expected) << "file: " << c.text;
    }
}

TEST_F(Config, TextValues) {
    struct Case {
        const char* text;
        const char* senha;
        const char* ender;
    } cases[] = {
        {"senhaadm =  two words   \n", "two words", ""},
        {"senhaadm = a=b\n", "a=b", ""},  // '=' in a value is an ordinary character
        {"senhaadm = ab\tcd\n", "abcd", ""},
        {"senhaadm = s\xE9nh\xE3\n", "s\xE9nh\xE3", ""},  // bytes above 0x7F are ordinary
        {"senhaadm = 0123456789012345678901234\n", "0123456789012345678", ""},
        {"ender = 127.0.0.1\nender\n", "", "127.0.0.1"},
        {"ender = 127.0.0.1\nender =\n", "", "127.0.0.1"},
        {"ender = 127.0.0.1\nender =   \t \n", "", "127.0.0.1"},
        {"ender = host.example\n", "", "host.example"},
        {"senhaadm = x\n= orphan\nsenhaadm\n", "x", ""},
        // An empty senhaadm is no password, not the one before it.
        {"senhaadm = x\nsenhaadm =\n", "", ""},
        {"senhaadm = x\nSenhaAdm =   \t \r\n", "", ""},
        {"# comment = ignored\nsenhaadm = x y z \n", "x y z", ""},
    };
    for (const Case& c : cases) {
        config = Configuracao{};
        readText(c.text);
        EXPECT_STREQ(config.senhaadm, c.senha) << "file: " << c.text;
        EXPECT_STREQ(config.ender, c.ender) << "file: " << c.text;
    }
}

TEST_F(Config, LongValuesAndKeysAreCut) {
    std::string v300;
    for (int i = 0; i < 300; i++)
        v300 += char('A' + i % 26);
    readText("senhaadm = " + v300 + "\nender = " + v300 + "\n");
    EXPECT_EQ(std::string(config.senhaadm), v300.substr(0, 19));
    EXPECT_EQ(std::string(config.ender), "");  // a cut address would be another one
    // A shorter password given later leaves nothing of the longer one
    // behind it: the unlock compares the whole buffer.
    readText("senhaadm = " + v300 + "\nsenhaadm = ab\n");
    EXPECT_EQ(std::string(config.senhaadm, sizeof config.senhaadm), "ab" + std::string(18, '\0'));

    // The parser keeps 255 characters of a value: with 250 leading zeros the
    // whole number fits; with 254 it was cut, and a cut number is none.
    config = Configuracao{};
    readText("porta = " + std::string(250, '0') + "2000\n");
    EXPECT_EQ(config.porta, 2000);
    config = Configuracao{};
    readText("porta = " + std::string(254, '0') + "2000\n");
    EXPECT_EQ(config.porta, 1956);

    // An overlong key is cut, not overrun; a key cut after "porta " still matches.
    config = Configuracao{};
    readText(std::string(300, 'k') + " = 5\nporta " + std::string(300, 'z') + " = 2001\n");
    EXPECT_EQ(config.porta, 2001);
    EXPECT_EQ(config.maxconec, 2);
}

TEST_F(Config, LinesSpanningChunks) {
    // A filler line puts "porta = 2345" across the 1024-byte boundary.
    std::string filler = "#" + std::string(1015, 'x') + "\n";  // 1017 bytes
    readText(filler + "porta = 2345\nmaxconec = 9\n");
    EXPECT_EQ(config.porta, 2345);
    EXPECT_EQ(config.maxconec, 9);

    // A line longer than a whole chunk is applied once, at its end.
    config = Configuracao{};
    readText("maxconec = 7" + std::string(1100, ' ') + "\r\nporta = 2346");
    EXPECT_EQ(config.maxconec, 7);
    EXPECT_EQ(config.porta, 2346);

    // The boundary falling between CR and LF makes no empty-line trouble.
    config = Configuracao{};
    std::string head = "maxconec = 11";
    std::string pad = "#" + std::string(1024 - head.size() - 3, 'p') + "\n";  // head\r ends at 1024
    readText(pad + head + "\r\nporta = 2347\r\n");
    EXPECT_EQ(config.maxconec, 11);
    EXPECT_EQ(config.porta, 2347);
}

TEST_F(Config, LastLineWithoutLineEndAtChunkSizes) {
    // The final "porta = 2000" has no line end; only the line feed appended
    // after the short (possibly empty) last read ends it.
    const std::string last = "porta = 2000";
    for (size_t total : {size_t(1022), size_t(1023), size_t(1024), size_t(1025), size_t(2047), size_t(2048)}) {
        config = Configuracao{};
        std::string filler = "#" + std::string(total - last.size() - 2, '.') + "\n";
        std::string file = filler + last;
        ASSERT_EQ(file.size(), total);
        readText(file);
        EXPECT_EQ(config.porta, 2000) << total << " bytes";
    }
}

TEST_F(Config, ReadFailureAppliesNothing) {
    // Reading a directory fails at once: no chunk is parsed and the
    // defaults stay.
    int fd = platformOpenReadOnly(dir.c_str());
    ASSERT_GE(fd, 0);
    readConfiguration(fd);
    platformCloseFile(fd);
    EXPECT_EQ(config.porta, 1956);
    EXPECT_STREQ(config.senhaadm, "");
}

TEST_F(Config, ParserStateCarriesAcrossFeeds) {
    // Fed a byte at a time, the parser gives what one feed of the whole text
    // gives: its state is the whole story between calls.
    std::string text = "  senhaadm\t=  a b  \r\nporta = 2100\rmaxconec=3\n";
    TLeitorConfiguracao p;
    for (char c : text)
        p.feed(&c, 1);
    EXPECT_STREQ(config.senhaadm, "a b");
    EXPECT_EQ(config.porta, 2100);
    EXPECT_EQ(config.maxconec, 3);
    // An unfinished line is not applied until its end arrives.
    p.feed("diasreg = 5", 11);
    EXPECT_EQ(config.diasreg, 90);
    p.feed("\n", 1);
    EXPECT_EQ(config.diasreg, 5);
}

// Every problem names its line and key and says what is used instead: the
// default at start-up, the value in force at a reload (reserva).
TEST_F(Config, ProblemsNameTheirLineAndWhatStays) {
    std::string file = dir + "/quelta.cfg";
    const std::string texto =
        "# every key at its default = fine\r\n"
        "maxconec = abc\r\n"
        "\r\n"
        "maxtempo = 99999\r"
        "penalidade = -5\n"
        "maxconex = 3\n"
        "porta 2000\n"
        "   \t \n"
        "metricas = 9164\n"
        "diasreg = 30\n"
        "senhaadm = " + std::string(25, 's') + "\n"
        "proxies = 10.0.0.1, 10.0.0.300\n"
        "ender = " + std::string(120, 'e') + "\n"
        "porta = 0\n";
    const std::vector<std::string> esperados = {
        "2: maxconec: abc is not a whole number; 2 stays",
        "4: maxtempo: 99999 is not within 0..300; 120 stays",
        "5: penalidade: -5 is not within 0..60; 2 stays",
        "6: maxconex: unknown key, ignored",
        "7: porta?2000: no '=' in the line, which sets nothing",
        "9: metricas: 9164 is not ADDRESS:PORT with a port 1..65535; no metrics endpoint",
        "11: senhaadm: it has 25 characters; only its first 19 count",
        "12: proxies: 1 entries are no IPv4 address or network (or more than 32); they are left out",
        "13: ender: longer than 99 characters; left empty",
        "14: porta: 0 is not within 1..65535; 1956 stays",
    };
    int w = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(write(w, texto.data(), texto.size()), ssize_t(texto.size()));
    close(w);
    Configuracao emVigor;
    emVigor.maxconec = 7;
    emVigor.maxtempo = 60;
    const Configuracao* reservas[] = {nullptr, &emVigor};
    for (const Configuracao* reserva : reservas) {
        Configuracao lida;
        AvisosConfiguracao avisos;
        int fd = platformOpenReadOnly(file.c_str());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(readConfiguration(fd, lida, reserva, &avisos));
        platformCloseFile(fd);
        ASSERT_EQ(avisos.total, int32_t(esperados.size()));
        for (size_t i = 0; i < esperados.size(); i++) {
            std::string e = esperados[i];
            if (reserva != nullptr && i == 0)
                e = "2: maxconec: abc is not a whole number; 7 stays";
            if (reserva != nullptr && i == 1)
                e = "4: maxtempo: 99999 is not within 0..300; 60 stays";
            EXPECT_EQ(avisos.itens[i], e);
        }
        EXPECT_EQ(lida.maxconec, reserva != nullptr ? 7 : 2);
        EXPECT_EQ(lida.maxtempo, reserva != nullptr ? 60 : 120);
        EXPECT_EQ(lida.diasreg, 30);  // the good values around them are taken
        EXPECT_EQ(lida.totalProxies, 1);
    }
}

// Only a regular file of bounded size is read: a FIFO would hold the loop
// in open() until a writer came, and a device such as /dev/zero never ends.
TEST_F(Config, OnlyRegularFilesAreOpened) {
    const std::string fifo = dir + "/fila";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string grande = dir + "/grande.cfg";
    int w = open(grande.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(w, 0);
    ASSERT_EQ(ftruncate(w, (1 << 20) + 1), 0);
    close(w);
    const struct {
        std::string nome;
        const char* motivo;
    } casos[] = {{fifo, "not a regular file"}, {"/dev/zero", "not a regular file"}, {dir, "not a regular file"},
                 {grande, "larger than 1 MiB"}};
    for (const auto& k : casos) {
        const char* motivo = nullptr;
        EXPECT_EQ(abreConfiguracao(k.nome.c_str(), &motivo), -1) << k.nome;
        EXPECT_STREQ(motivo, k.motivo) << k.nome;
    }
    unlink(fifo.c_str());
    unlink(grande.c_str());
}

TEST(FileNames, FromProgramName) {
    struct Case {
        std::string programa;
        std::string base;
    } cases[] = {
        {"quelta", "quelta"},
        {"/usr/local/bin/dirsrv.exe", "dirsrv"},
        {"C:\\prog\\srv\\dirsrv.exe", "dirsrv"},
        {"a.b.c", "a"},
        {"./quelta", "quelta"},
        {"../x.d/quelta", "quelta"},
        {"mixed\\sep/last.name", "last"},
        {"dir/", ""},
        {".hidden", ""},
        {std::string(200, 'n'), std::string(95, 'n')},
        {std::string(94, 'n') + ".x", std::string(94, 'n')},
        {std::string(400, 'n') + "/short", "short"},  // a long path: still its last component
        {"/p/" + std::string(350, 'c') + ".cfg", std::string(95, 'c')},
    };
    for (const Case& c : cases) {
        deriveFileNames(c.programa.c_str());
        EXPECT_EQ(std::string(configFileName), c.base + ".cfg") << c.programa;
        EXPECT_EQ(std::string(registryFileName), c.base + ".sav") << c.programa;
    }
}

}  // namespace
