// Start-up of the real binary: which files it touches in which order, what
// it prints and with which status it ends when something is missing.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/harness.h"

namespace {

bool exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

const char kGreeting1[] = "+OK QUELTA Vers\xE3o 2.03. Agora 1 usu\xE1rio.\r\n";

TEST(Startup, WithoutConfigurationFileStopsAfterCreatingRegistry) {
    ServerProcess s;
    ASSERT_TRUE(s.launch("", "quelta", false)) << s.error;
    EXPECT_EQ(s.waitExit(10000), 1) << s.error;
    EXPECT_EQ(s.output(), "Abrindo arquivo quelta.cfg: No such file or directory\n");
    EXPECT_EQ(s.errors(), "quelta: start-up failed: cannot open quelta.cfg: No such file or directory\n");
    // The registry is loaded first, so its file exists by now.
    EXPECT_TRUE(exists(s.path("quelta.sav")));
    EXPECT_EQ(s.readFile("quelta.sav"), "");
}

TEST(Startup, UnusableRegistryStopsBeforeConfiguration) {
    // A directory stands where the registry file should be: it can be
    // neither opened nor created as a file, even by root. A valid
    // configuration is present, and still the server must not get that far.
    for (const char* name : {"quelta", "./quelta", "/no/such/dir/quelta.exe"}) {
        ServerProcess s;
        ASSERT_TRUE(s.makeDir());
        ASSERT_EQ(mkdir(s.path("quelta.sav").c_str(), 0700), 0);
        ASSERT_TRUE(s.launch("porta = " + std::to_string(ServerProcess::freePort()) + "\nender = 127.0.0.1\n", name))
            << s.error;
        EXPECT_EQ(s.waitExit(10000), 255) << name << ": " << s.error;
        // The program name exactly as it was passed; the accent as one byte.
        EXPECT_EQ(s.output(), std::string(name) + ": Problema ao acessar o registro de usu\xE1rios\n");
        // The log names the program by its base name alone.
        const std::string base = name[0] == '/' ? "quelta.exe" : "quelta";
        EXPECT_EQ(s.errors(),
                  base + ": start-up failed: the registry file quelta.sav cannot be loaded: cannot open it: Is a "
                         "directory\n");
    }
}

TEST(Startup, RegistryLinkIntoMissingDirectory) {
    // Neither opened (nothing is there) nor created (the link leads into a
    // directory that does not exist), whoever runs the test.
    ServerProcess s;
    ASSERT_TRUE(s.makeDir());
    ASSERT_EQ(symlink("no-such-dir/quelta.sav", s.path("quelta.sav").c_str()), 0);
    ASSERT_TRUE(s.launch("", "quelta", false)) << s.error;
    EXPECT_EQ(s.waitExit(10000), 255) << s.error;
    EXPECT_EQ(s.output(), "quelta: Problema ao acessar o registro de usu\xE1rios\n");
}

TEST(Startup, UnwritableDirectoryWithoutRegistry) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root creates files in a read-only directory";
    ServerProcess s;
    ASSERT_TRUE(s.makeDir());
    ASSERT_TRUE(s.writeFile("quelta.cfg", "ender = 127.0.0.1\n"));
    ASSERT_EQ(chmod(s.dir.c_str(), 0500), 0);
    ASSERT_TRUE(s.launch("", "quelta", false)) << s.error;
    int status = s.waitExit(10000);
    chmod(s.dir.c_str(), 0700);
    EXPECT_EQ(status, 255) << s.error;
    EXPECT_EQ(s.output(), "quelta: Problema ao acessar o registro de usu\xE1rios\n");
}

TEST(Startup, PortInUseStopsWithBindText) {
    int busy = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(busy, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    ASSERT_EQ(getsockname(busy, reinterpret_cast<sockaddr*>(&a), &len), 0);

    // Under the service manager standard error is the journal's stream,
    // named by JOURNAL_STREAM: each line then carries its priority.
    ServerProcess s;
    ASSERT_TRUE(s.makeDir());
    const std::string err = s.path("../server.err");
    ASSERT_TRUE(s.writeFile("../server.err", ""));
    struct stat st;
    ASSERT_EQ(stat(err.c_str(), &st), 0);
    s.env.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
    const std::string porta = std::to_string(ntohs(a.sin_port));
    ASSERT_TRUE(s.launch("ender = 127.0.0.1\nporta = " + porta + "\nmaxconec = abc\n")) << s.error;
    EXPECT_EQ(s.waitExit(10000), 1) << s.error;
    EXPECT_EQ(s.output(), "bind(): Address already in use\n");
    EXPECT_EQ(s.errors(), "<4>quelta: warning: quelta.cfg:3: maxconec: abc is not a whole number; 2 stays\n"
                          "<4>quelta: administration disabled: quelta.cfg sets no senhaadm\n"
                          "<3>quelta: start-up failed: cannot listen on 127.0.0.1:" + porta +
                              ": Address already in use\n");
    close(busy);
}

TEST(Startup, FileNamesComeFromProgramName) {
    // Started as "a.b.c" it reads a.cfg (the harness writes the port there
    // and waits for that port) and creates a.sav.
    ServerProcess s;
    ASSERT_TRUE(s.start("maxconec = 1\n", "a.b.c")) << s.error;
    EXPECT_TRUE(exists(s.path("a.sav")));
    EXPECT_FALSE(exists(s.path("a.b.sav")));
    EXPECT_FALSE(exists(s.path("quelta.sav")));
    Client c;
    ASSERT_TRUE(c.connect(s.port, "127.0.0.2"));
    EXPECT_EQ(c.readLine(), kGreeting1);
    // maxconec 1 came from a.cfg as well.
    Client d;
    ASSERT_TRUE(d.connect(s.port, "127.0.0.2"));
    EXPECT_EQ(d.readAll(), "-Erro: N\xE3o \xE9 permitido mais de 1 conex\xE3o por m\xE1quina.\r\n");
    EXPECT_TRUE(d.peerClosed);
    EXPECT_EQ(s.output(), "");
}

TEST(Startup, ServesWithDefaultsFromAlmostEmptyFile) {
    // Only the port and the address are given; everything else is the
    // compiled-in default (maxconec 2 among them).
    ServerProcess s;
    ASSERT_TRUE(s.start("")) << s.error;
    Client a, b, c;
    ASSERT_TRUE(a.connect(s.port, "127.0.0.4"));
    EXPECT_EQ(a.readLine(), kGreeting1);
    ASSERT_TRUE(b.connect(s.port, "127.0.0.4"));
    EXPECT_EQ(b.readLine(), "+OK QUELTA Vers\xE3o 2.03. Agora 2 usu\xE1rios.\r\n");
    ASSERT_TRUE(c.connect(s.port, "127.0.0.4"));
    EXPECT_EQ(c.readAll(), "-Erro: N\xE3o \xE9 permitido mais de 2 conex\xF5" "es por m\xE1quina.\r\n");
    EXPECT_TRUE(s.alive());
}

}  // namespace

TEST(Startup, CommandLineIsAnsweredWithoutTouchingAnyFile) {
    struct Caso {
        std::vector<std::string> args;
        int status;
        std::string saida;  // what begins standard output
        std::string erro;   // what standard error holds
        std::string cfg;    // written as quelta.cfg when not empty
    } casos[] = {
        {{"--help"}, 0, "Usage: quelta [--help | --version | -t [FILE] | --check-config [FILE]]\n", "", ""},
        {{"--version"}, 0, "quelta 2.03\n", "", ""},
        {{"-p"}, 2, "", "quelta: unknown argument -p; usage: quelta [--help | --version | -t [FILE]]\n", ""},
        {{"--help", "x"}, 2, "", "quelta: unknown argument --help; usage: quelta [--help | --version | -t [FILE]]\n",
         ""},
        // The check reads the file as the server would and says what is
        // wrong, line by line; it creates nothing.
        {{"-t"}, 0, "quelta.cfg: the configuration is fine\n", "", "porta = 2000\n# maxconec = 2\n"},
        {{"--check-config"}, 1, "quelta.cfg:2: maxconec: abc is not a whole number; 2 stays\n", "",
         "porta = 2000\nmaxconec = abc\n"},
        {{"-t", "outro.cfg"}, 1, "outro.cfg: No such file or directory\n", "", "porta = 2000\n"},
        {{"-t"}, 1, "quelta.cfg: portatls: the TLS pair does not load: ", "", "portatls = 1957\nchave = k.pem\n"},
        {{"-t"}, 1, "quelta.cfg:1: senhaadm: begins with the command word help, so no line can unlock it", "",
         "senhaadm = Help me please 42\n"},
    };
    for (const Caso& k : casos) {
        ServerProcess s;
        s.args = k.args;
        ASSERT_TRUE(s.launch(k.cfg, "quelta", !k.cfg.empty())) << s.error;
        EXPECT_EQ(s.waitExit(10000), k.status) << k.args[0];
        EXPECT_EQ(s.output().substr(0, k.saida.size()), k.saida) << k.args[0];
        EXPECT_EQ(s.errors(), k.erro) << k.args[0];
        EXPECT_FALSE(exists(s.path("quelta.sav"))) << k.args[0];
    }
}

TEST(Startup, SecondServerOnTheSameRegistryIsRefused) {
    ServerProcess a;
    ASSERT_TRUE(a.start("regtempo = 0\n")) << a.error;
    Client c;
    ASSERT_TRUE(c.connect(a.port));
    c.readLine();
    ASSERT_TRUE(c.send("REGISTER um@exemplo.com\r\nFulano\r\n.\r\n"));
    ASSERT_EQ(c.readUntil("+OK Nome registrado\r\n").find("+OK Nome registrado\r\n") != std::string::npos, true);
    std::string antes = a.readFile("quelta.sav");
    // The same file under another directory: the lock is the file's.
    ServerProcess b;
    ASSERT_TRUE(b.makeDir());
    ASSERT_EQ(symlink(a.path("quelta.sav").c_str(), b.path("quelta.sav").c_str()), 0);
    ASSERT_TRUE(b.launch("porta = " + std::to_string(ServerProcess::freePort()) + "\nender = 127.0.0.1\n")) << b.error;
    EXPECT_EQ(b.waitExit(10000), 1) << b.error;
    EXPECT_EQ(b.errors(), "quelta: quelta.sav is in use by another server\n");
    EXPECT_EQ(b.output(), "");
    EXPECT_EQ(a.readFile("quelta.sav"), antes);
    ASSERT_TRUE(c.send("IP um@exemplo.com\r\n"));
    EXPECT_EQ(c.readLine(), "+OK 127.0.0.1\r\n");
}

TEST(Startup, SigtermEndsCleanlyWithWhatWasWritten) {
    ServerProcess s;
    ASSERT_TRUE(s.start("regtempo = 0\n")) << s.error;
    EXPECT_NE(s.errors().find("quelta: listening on port " + std::to_string(s.port) + "; 0 users loaded"),
              std::string::npos)
        << s.errors();
    Client c;
    ASSERT_TRUE(c.connect(s.port));
    c.readLine();
    // The signal comes right behind the registration, in the same pass.
    ASSERT_TRUE(c.send("REGISTER ultimo@exemplo.com\r\nFulano\r\n.\r\n"));
    ASSERT_EQ(c.readUntil("+OK Nome registrado\r\n").find("+OK Nome registrado\r\n") != std::string::npos, true);
    ASSERT_EQ(kill(s.pid, SIGTERM), 0);
    EXPECT_EQ(s.waitExit(10000), 0) << s.error;
    std::string sav = s.readFile("quelta.sav");
    EXPECT_EQ(sav.size(), 840u);
    EXPECT_EQ(sav.substr(0, 19), std::string("ultimo@exemplo.com\0", 19));
    std::string erros = s.errors();
    const std::string fim = "\nquelta: ended by SIGTERM\n";
    EXPECT_EQ(erros.size() >= fim.size() ? erros.substr(erros.size() - fim.size()) : erros, fim);
}

namespace {

// What systemd's notify socket receives, one datagram at most 2 s away.
std::string avisoDe(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1)
        return "<nothing>";
    char buf[256];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, size_t(n)) : "<error>";
}

}  // namespace

TEST(Startup, ReloadOnSighupAndReadinessForTheServiceManager) {
    ServerProcess s;
    ASSERT_TRUE(s.makeDir());
    int aviso = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(aviso, 0);
    sockaddr_un ua{};
    ua.sun_family = AF_UNIX;
    const std::string caminho = s.path("notify");
    ASSERT_LT(caminho.size(), sizeof ua.sun_path);
    memcpy(ua.sun_path, caminho.data(), caminho.size());
    ASSERT_EQ(bind(aviso, reinterpret_cast<sockaddr*>(&ua), sizeof ua), 0);
    s.env.push_back("NOTIFY_SOCKET=" + caminho);
    ASSERT_TRUE(s.start("maxconec = 1\nregtempo = 0\nsenhaadm = administracao-longa\n")) << s.error;
    EXPECT_EQ(avisoDe(aviso), "READY=1");
    Client a, b;
    ASSERT_TRUE(a.connect(s.port));
    EXPECT_EQ(a.readLine(), kGreeting1);
    ASSERT_TRUE(b.connect(s.port));
    EXPECT_EQ(b.readAll().rfind("-Erro: ", 0), 0u);

    // maxconec and senhaadm take effect at once; porta waits for a restart;
    // a key no longer in the file returns to its default (regtempo).
    const std::string outra = std::to_string(ServerProcess::freePort());
    ASSERT_TRUE(s.writeFile("quelta.cfg", "maxconec = 3\nporta = " + outra + "\nsenhaadm = outra-administracao\n"));
    ASSERT_EQ(kill(s.pid, SIGHUP), 0);
    EXPECT_EQ(avisoDe(aviso).rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u);
    EXPECT_EQ(avisoDe(aviso), "READY=1");
    Client c;
    ASSERT_TRUE(c.connect(s.port));
    EXPECT_EQ(c.readLine().rfind("+OK QUELTA", 0), 0u);
    ASSERT_TRUE(c.send("outra-administracao\r\n"));
    EXPECT_EQ(c.readLine(), "+OK Comandos de administra\xE7\xE3o desbloqueados\r\n");

    // A changed password ends the unlocks of the old one; the connection
    // stays and may unlock again with the new one. A password that begins
    // with a command word disables administration, and ends them too. A
    // session that unlocked and ended is no longer counted.
    Client saiu;
    ASSERT_TRUE(saiu.connect(s.port, "127.0.0.2"));
    ASSERT_TRUE(saiu.send("outra-administracao\r\nQUIT\r\n"));
    EXPECT_NE(saiu.readAll().find("desbloqueados\r\n"), std::string::npos);  // then closed
    const std::string resto = "maxconec = 3\nporta = " + std::to_string(s.port) + "\nsenhaadm = ";
    for (const char* senha : {"terceira-senha-adm", "NOOP e nada mais"}) {
        ASSERT_TRUE(s.writeFile("quelta.cfg", resto + senha + "\n"));
        ASSERT_EQ(kill(s.pid, SIGHUP), 0);
        EXPECT_EQ(avisoDe(aviso).rfind("RELOADING=1", 0), 0u);
        EXPECT_EQ(avisoDe(aviso), "READY=1");
        ASSERT_TRUE(c.send("STOP\r\n"));
        EXPECT_EQ(c.readLine(), "-Acesso negado\r\n") << senha;
        ASSERT_TRUE(c.send(std::string(senha) + "\r\n"));
        EXPECT_EQ(c.readLine(), senha[0] == 'N' ? "+OK\r\n" : "+OK Comandos de administra\xE7\xE3o desbloqueados\r\n");
    }

    // A wrong value keeps the one in force, not the default.
    ASSERT_TRUE(s.writeFile("quelta.cfg", "maxconec = abc\nporta = " + std::to_string(s.port) +
                                              "\nsenhaadm = outra-administracao\n"));
    ASSERT_EQ(kill(s.pid, SIGHUP), 0);
    EXPECT_EQ(avisoDe(aviso).rfind("RELOADING=1", 0), 0u);
    EXPECT_EQ(avisoDe(aviso), "READY=1");
    // Neither a directory, nor a FIFO without a writer (which held the
    // loop in open()), nor a device that never ends (which spun it)
    // is read: each changes nothing, and the server answers at once.
    ASSERT_EQ(unlink(s.path("quelta.cfg").c_str()), 0);
    ASSERT_EQ(mkdir(s.path("quelta.cfg").c_str(), 0700), 0);
    for (const char* tipo : {"directory", "fifo", "/dev/zero"}) {
        if (strcmp(tipo, "fifo") == 0) {
            ASSERT_EQ(rmdir(s.path("quelta.cfg").c_str()), 0);
            ASSERT_EQ(mkfifo(s.path("quelta.cfg").c_str(), 0600), 0);
        } else if (strcmp(tipo, "/dev/zero") == 0) {
            ASSERT_EQ(unlink(s.path("quelta.cfg").c_str()), 0);
            ASSERT_EQ(symlink("/dev/zero", s.path("quelta.cfg").c_str()), 0);
        }
        ASSERT_EQ(kill(s.pid, SIGHUP), 0);
        EXPECT_EQ(avisoDe(aviso).rfind("RELOADING=1", 0), 0u) << tipo;
        EXPECT_EQ(avisoDe(aviso), "READY=1") << tipo;
        ASSERT_TRUE(a.send("NOOP\r\n"));
        EXPECT_EQ(a.readLine(), "+OK\r\n") << tipo;
    }
    Client d;
    ASSERT_TRUE(d.connect(s.port));
    EXPECT_EQ(d.readLine().rfind("+OK QUELTA", 0), 0u);  // the third of 127.0.0.1: maxconec is still 3, not 2
    const std::string log = s.errors();
    for (const char* linha : {"quelta: porta changed: needs a restart\n",
                              "quelta: configuration reloaded; changed: senhaadm, maxconec, regtempo\n",
                              "quelta: configuration reloaded; changed: senhaadm\n"
                              "quelta: senhaadm changed: administration locked again in 1 session\n",
                              "quelta: warning: quelta.cfg:3: senhaadm: begins with the command word noop, so no line "
                              "can unlock it; administration disabled\n",
                              "quelta: warning: quelta.cfg:1: maxconec: abc is not a whole number; 3 stays\n",
                              "quelta: configuration not reloaded: quelta.cfg is not a regular file; "
                              "every value stays\n"})
        EXPECT_NE(log.find(linha), std::string::npos) << linha << log;
    EXPECT_EQ(log.find("porta changed"), log.rfind("porta changed")) << log;

    ASSERT_EQ(kill(s.pid, SIGTERM), 0);
    EXPECT_EQ(avisoDe(aviso), "STOPPING=1");
    EXPECT_EQ(s.waitExit(10000), 0) << s.error;
    close(aviso);
}
