// The built client against the real server on its plain and TLS ports:
// exit status and output of each mode, and the bytes on both sides of the
// conversion (UTF-8 for the user, Latin-1 on the wire and in the file).
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "programa.h"
#include "support/harness.h"

namespace {

RunResult cli(const std::vector<std::string>& args, const std::string& input, int port) {
    std::vector<std::string> argv{QUELTA_CLI_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    // The C locale's text counts as UTF-8, the client's default; the port
    // comes from the environment unless an argument names one.
    return runProgram(argv, input, {"LC_ALL=C", "QUELTA_PORT=" + std::to_string(port)}, -1, 20000);
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        if (system("openssl version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "openssl is not installed";
        ASSERT_TRUE(srv.makeDir());
        ASSERT_TRUE(makeTlsPair(srv.path("k.pem"), srv.path("c.pem")));
        tls = ServerProcess::freePort();
        ASSERT_TRUE(srv.start("regtempo = 0\nmaxconec = 20\nportatls = " + std::to_string(tls) +
                              "\ncertificado = " + srv.path("c.pem") + "\nchave = " + srv.path("k.pem") + "\n"))
            << srv.error;
    }
    // A GET over a raw socket: the server's own bytes.
    std::string get(const std::string& email) {
        Client c;
        if (!c.connect(srv.port))
            return "no connection";
        c.readLine();
        c.send("GET " + email + "\r\n");
        return c.readUntil("\r\n.\r\n");
    }
    ServerProcess srv;
    int tls = 0;
};

TEST_F(Cli, EachModeGivesItsStatusAndConvertsBothWays) {
    const std::string porta = std::to_string(srv.port), portaTls = std::to_string(tls);
    const std::string ninguem = std::to_string(ServerProcess::freePort());
    // "Ana Conceição" and "ÿ Ärger" as the user types them (UTF-8).
    const std::string nomeUtf8 = "Ana Concei\xC3\xA7\xC3\xA3o", infoUtf8 = "\xC3\xBF \xC3\x84rger";
    const std::string lista = "+OK Lista de usu\xC3\xA1rios encontrados se segue\nana@exemplo.pt " + nomeUtf8 +
                              " 127.0.0.1\n.\n";
    struct Caso {
        const char* what;
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;
        std::string err;  // what standard error must hold ("" for nothing)
    } casos[] = {
        {"one command", {"NOOP"}, "", 0, "+OK\n", ""},
        {"a - reply", {"--port", porta, "GET", "ninguem@exemplo.pt"}, "", 1,
         "-Usu\xC3\xA1rio n\xC3\xA3o est\xC3\xA1 registrado: ninguem@exemplo.pt\n", ""},
        {"no server", {"--port", ninguem, "NOOP"}, "", 2, "",
         "quelta-cli: cannot connect to 127.0.0.1:" + ninguem + ": Connection refused\n"},
        // A whole registration dialogue; only the replies are printed.
        {"standard input", {}, "REGISTER ana@exemplo.pt:segredo\n" + nomeUtf8 + "\r\n" + infoUtf8 + "\n.\n", 0,
         "+OK Informe nome do usu\xC3\xA1rio\n"
         "+OK Entre as informa\xC3\xA7\xC3\xB5" "es, uma por linha, na \xC3\xBAltima s\xC3\xB3 um ponto\n"
         "+OK Nome registrado\n",
         ""},
        {"a listing", {"FIND", "EXEMPLO"}, "", 0, lista, ""},
        // "€" is U+20AC; the line is refused before the connection.
        {"outside Latin-1", {"FIND", "Jo\xE2\x82\xACo"}, "", 1, "",
         "quelta-cli: column 8: U+20AC is not in Latin-1, the server's character set; nothing was sent\n"},
        {"invalid UTF-8", {"FIND", "Jo\xC3("}, "", 1, "", "quelta-cli: column 8: not valid UTF-8; nothing was sent\n"},
        // Nothing of the batch goes, not even the lines before the bad one.
        {"outside Latin-1 in a batch", {}, "REGISTER bia@exemplo.pt\nBia \xE2\x82\xAC\n.\n", 1, "",
         "quelta-cli: standard input, line 2: column 5: U+20AC is not in Latin-1, the server's character set; "
         "nothing was sent\n"},
        {"TLS verified", {"--tls", "--port", portaTls, "--cacert", srv.path("c.pem"), "--sni", "localhost", "NOOP"},
         "", 0, "+OK\n", ""},
        {"TLS self-signed", {"--tls", "--port", portaTls, "NOOP"}, "", 2, "",
         "quelta-cli: TLS certificate of 127.0.0.1:" + portaTls + " not accepted: self"},
        {"TLS another name", {"--tls", "--port", portaTls, "--cacert", srv.path("c.pem"), "--sni", "outro", "NOOP"},
         "", 2, "", "quelta-cli: TLS certificate of 127.0.0.1:" + portaTls + " not accepted: hostname mismatch\n"},
        {"TLS insecure", {"--tls", "--port", portaTls, "--insecure", "FIND", "exemplo"}, "", 0, lista, ""},
    };
    for (const Caso& c : casos) {
        RunResult r = cli(c.args, c.input, srv.port);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.what;
        if (c.err.empty()) {
            EXPECT_EQ(r.err, "") << c.what;
        }
    }
    // Stored as Latin-1: "Conceição" and "ÿ Ärger" one byte a letter.
    const std::string ana = get("ana@exemplo.pt");
    EXPECT_NE(ana.find("\r\nAna Concei\xE7\xE3o\r\n"), std::string::npos) << ana;
    EXPECT_NE(ana.find("\r\n\xFF \xC4rger\r\n.\r\n"), std::string::npos) << ana;
    EXPECT_EQ(get("bia@exemplo.pt").substr(0, 5), "-Usu\xE1");
}

// Reads the terminal until `fim` shows up, for at most 5 s.
std::string readUntil(int fd, const std::string& fim) {
    std::string visto;
    const auto prazo = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (visto.find(fim) == std::string::npos && std::chrono::steady_clock::now() < prazo) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        visto.append(buf, size_t(n));
    }
    return visto;
}

TEST_F(Cli, TerminalSessionRepliesAndLeavesOnCtrlD) {
    const std::string home = srv.path("casa");
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    int fd = -1;
    pid_t pid = forkpty(&fd, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("HOME", home.c_str(), 1);
        setenv("TERM", "xterm", 1);
        setenv("LC_ALL", "C", 1);
        execl(QUELTA_CLI_BINARY, "quelta-cli", "--port", std::to_string(srv.port).c_str(), (char*)nullptr);
        _exit(127);
    }
    const std::string prompt = "quelta 127.0.0.1:" + std::to_string(srv.port) + "> ";
    std::string visto = readUntil(fd, prompt);
    EXPECT_NE(visto.find("+OK QUELTA Vers\xC3\xA3o 2.03. Agora 1 usu\xC3\xA1rio.\r\n"), std::string::npos) << visto;
    ASSERT_EQ(write(fd, "NOW\r", 4), 4);
    visto = readUntil(fd, "+OK Data: ");
    EXPECT_NE(visto.find("+OK Data: "), std::string::npos) << visto;
    // A line with a password is sent but not kept in the history file.
    const std::string registro = "REGISTER ana@exemplo.pt:segredo\r";
    ASSERT_EQ(write(fd, registro.data(), registro.size()), ssize_t(registro.size()));
    const std::string resposta = "+OK Informe nome do usu\xC3\xA1rio\r\n" + prompt;
    visto = readUntil(fd, resposta);
    EXPECT_NE(visto.find(resposta), std::string::npos) << visto;
    ASSERT_EQ(write(fd, "\x04", 1), 1);
    int status = -1;
    for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; i++)
        usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(fd);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string historico = readWholeFile(home + "/.quelta_history");
    EXPECT_NE(historico.find("NOW"), std::string::npos) << historico;
    EXPECT_EQ(historico.find("segredo"), std::string::npos) << historico;
}

}  // namespace
