// Connections from a listed proxy begin with a PROXY protocol header, and
// the client it names is the client for everything: the recorded address,
// the per-address limit. Through the real server.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "admission/proxy.h"
#include "protocol/sessao.h"

using namespace sessao;

namespace {

std::string v2(const std::string& origem, uint8_t comando = 0x21, uint8_t familia = 0x11) {
    std::string h("\x0D\x0A\x0D\x0A\x00\x0D\x0A\x51\x55\x49\x54\x0A", 12);
    h += char(comando);
    h += char(familia);
    h += std::string("\x00\x0C", 2);
    uint32_t ip = ipOf(origem.c_str());
    h.append(reinterpret_cast<const char*>(&ip), 4);
    h += std::string("\x7F\x00\x00\x01\x13\x88\x07\xA4", 8);
    return h;
}

// Byte-level cases of the parser: what a header may claim. A source no
// client can have, a port that is no port or a TCP6 line whose addresses
// are no IPv6 addresses is malformed, like any other broken header.
TEST(CabecaProxy, ClaimsThatCannotBeAClientAreMalformed) {
    const struct {
        std::string cabeca;
        CabecaProxy esperado;
    } casos[] = {
        {"PROXY TCP4 192.0.2.7 127.0.0.1 5000 1956\r\n", CabecaProxy::kCliente},
        {"PROXY TCP4 192.0.2.7 127.0.0.1 0 65535\r\n", CabecaProxy::kCliente},
        {"PROXY TCP4 0.0.0.0 127.0.0.1 5000 1956\r\n", CabecaProxy::kMalformada},
        {"PROXY TCP4 255.255.255.255 127.0.0.1 5000 1956\r\n", CabecaProxy::kMalformada},
        {"PROXY TCP4 224.0.0.1 127.0.0.1 5000 1956\r\n", CabecaProxy::kMalformada},
        {"PROXY TCP4 192.0.2.7 127.0.0.1 abc 1956\r\n", CabecaProxy::kMalformada},
        {"PROXY TCP4 192.0.2.7 127.0.0.1 5000 99999999\r\n", CabecaProxy::kMalformada},
        {"PROXY TCP4 192.0.2.7 127.0.0.1 65536 1956\r\n", CabecaProxy::kMalformada},
        {"PROXY TCP6 2001:db8::1 ::1 5000 1956\r\n", CabecaProxy::kProprio},
        {"PROXY TCP6 ::ffff:192.0.2.7 1:2:3:4:5:6:7:8 5000 1956\r\n", CabecaProxy::kProprio},
        {"PROXY TCP6 garbage ::1 5000 1956\r\n", CabecaProxy::kMalformada},
        {"PROXY TCP6 2001:db8::1::2 ::1 5000 1956\r\n", CabecaProxy::kMalformada},
        {"PROXY TCP6 1:2:3:4:5:6:7:8:9 ::1 5000 1956\r\n", CabecaProxy::kMalformada},
        {"PROXY TCP6 2001:db8::1 ::1 x 1956\r\n", CabecaProxy::kMalformada},
        {"PROXY UNKNOWN\r\n", CabecaProxy::kProprio},
        {v2("0.0.0.0"), CabecaProxy::kMalformada},
        {v2("255.255.255.255"), CabecaProxy::kMalformada},
        {v2("239.1.2.3"), CabecaProxy::kMalformada},
        {v2("198.51.100.9"), CabecaProxy::kCliente},
    };
    for (const auto& k : casos) {
        uint32_t ip = 0;
        int32_t usados = 0;
        EXPECT_EQ(analisaCabecaProxy(reinterpret_cast<const uint8_t*>(k.cabeca.data()), int32_t(k.cabeca.size()), &ip,
                                     &usados),
                  k.esperado)
            << k.cabeca;
    }
}

TEST_F(Sessao, ProxyHeaderNamesTheClient) {
    ASSERT_TRUE(srv.start(std::string(kCfgBase) + "maxconec = 1\nproxies = 10.9.0.0/16, 127.0.0.1\n")) << srv.error;
    const std::string registro = "REGISTER a@exemplo.com\r\nFulano\r\n.\r\nIP a@exemplo.com\r\n";
    struct Caso {
        const char* nome;
        std::string cabeca;
        std::string ip;  // what IP then answers; empty: closed without a word
    } casos[] = {
        {"v1", "PROXY TCP4 192.0.2.7 127.0.0.1 5000 1956\r\n", "192.0.2.7"},
        {"v2", v2("198.51.100.9"), "198.51.100.9"},
        {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", "127.0.0.1"},
        {"v1 TCP6", "PROXY TCP6 2001:db8::1 ::1 5000 1956\r\n", "127.0.0.1"},
        {"v2 LOCAL", v2("203.0.113.1", 0x20), "127.0.0.1"},
        {"malformed", "HELO\r\n", ""},
        {"v1 bad address", "PROXY TCP4 300.0.0.1 127.0.0.1 5000 1956\r\n", ""},
    };
    for (const Caso& k : casos) {
        Client c;
        ASSERT_TRUE(c.connect(srv.port)) << k.nome;
        ASSERT_TRUE(c.send(k.cabeca + registro)) << k.nome;
        std::string r = k.ip.empty() ? c.readAll(3000) : c.readUntil("+OK Nome registrado\r\n+OK " + k.ip + "\r\n");
        if (k.ip.empty()) {
            EXPECT_EQ(r, "") << k.nome;
            EXPECT_TRUE(c.peerClosed) << k.nome;
            continue;
        }
        EXPECT_NE(r.find("+OK Nome registrado\r\n+OK " + k.ip + "\r\n"), std::string::npos) << k.nome << ": " << r;
    }
    // The limit counts the named clients: a second connection of
    // 192.0.2.7 is refused, one of 192.0.2.8 is not.
    Client a, b, d;
    ASSERT_TRUE(a.connect(srv.port));
    ASSERT_TRUE(a.send("PROXY TCP4 192.0.2.7 127.0.0.1 5000 1956\r\n"));
    EXPECT_EQ(a.readLine().rfind("+OK QUELTA", 0), 0u);
    ASSERT_TRUE(b.connect(srv.port));
    ASSERT_TRUE(b.send("PROXY TCP4 192.0.2.7 127.0.0.1 5001 1956\r\n"));
    EXPECT_EQ(b.readAll().rfind("-Erro: ", 0), 0u);
    ASSERT_TRUE(d.connect(srv.port));
    ASSERT_TRUE(d.send("PROXY TCP4 192.0.2.8 127.0.0.1 5002 1956\r\n"));
    EXPECT_EQ(d.readLine().rfind("+OK QUELTA", 0), 0u);
    // From an address not listed, a header is a line like any other.
    Client e;
    ASSERT_TRUE(e.connect(srv.port, "127.0.0.2"));
    e.readLine();
    ASSERT_TRUE(e.send("PROXY TCP4 192.0.2.9 127.0.0.1 5000 1956\r\n"));
    EXPECT_EQ(e.readLine(), "-Comando desconhecido: PROXY TCP4 192.0.2.9 127.0.0.1 5000 1956\r\n");
    // A failed password is the named client's: logged under its address,
    // and delaying that address's checks, not those of the proxy's other
    // clients.
    Client dono, errado, certo;
    ASSERT_TRUE(dono.connect(srv.port));
    ASSERT_TRUE(dono.send("PROXY TCP4 192.0.2.20 127.0.0.1 5003 1956\r\nREGISTER c@exemplo.com:pw\r\nCiclano\r\n.\r\n"));
    EXPECT_NE(dono.readUntil("+OK Nome registrado\r\n").find("+OK Nome registrado\r\n"), std::string::npos);
    ASSERT_TRUE(errado.connect(srv.port));
    ASSERT_TRUE(errado.send("PROXY TCP4 192.0.2.21 127.0.0.1 5004 1956\r\nLOGON c@exemplo.com:errada\r\n"));
    errado.readLine();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(certo.connect(srv.port));
    ASSERT_TRUE(certo.send("PROXY TCP4 192.0.2.22 127.0.0.1 5005 1956\r\nLOGON c@exemplo.com:pw\r\n"));
    certo.readLine();
    EXPECT_EQ(certo.readLine().rfind("+OK", 0), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(errado.readLine(5000), "-Senha inv\xE1lida\r\n");
    const std::string log = srv.errors();
    EXPECT_NE(log.find("quelta: connection from proxy 127.0.0.1 closed: malformed PROXY header\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("quelta: authentication failure for c@exemplo.com from 192.0.2.21\n"), std::string::npos)
        << log;
}

}  // namespace

namespace {

// A program of the test's own in the background, ended by its PID.
struct Programa {
    pid_t pid = -1;
    bool inicia(const std::vector<std::string>& argv) {
        std::vector<char*> a;
        for (const std::string& s : argv)
            a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        return posix_spawnp(&pid, a[0], nullptr, nullptr, a.data(), environ) == 0;
    }
    // Whether porta accepts a connection within 5 s: the program is up.
    static bool ouve(int porta) {
        for (int i = 0; i < 50; i++) {
            Client c;
            if (c.connect(porta))
                return true;
            usleep(100 * 1000);
        }
        return false;
    }
    ~Programa() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

// A shipped example file under contrib/ with the test's own ports and
// paths put in place of the example's; "" when one of them is not there,
// so a changed example cannot go untested.
std::string exemplo(const std::string& arquivo, const std::vector<std::pair<std::string, std::string>>& trocas) {
    std::string texto = readWholeFile(std::string(QUELTA_SOURCE_DIR) + "/contrib/" + arquivo);
    for (const auto& t : trocas) {
        size_t em = texto.find(t.first);
        if (em == std::string::npos)
            return "";
        texto.replace(em, t.first.size(), t.second);
    }
    return texto;
}

}  // namespace

// nginx terminates TLS and hands the client's address on; it reaches the
// server from another address, so only the header can tell the client's.
TEST(ProxyNginx, TlsClientsAddressReachesIp) {
    const char* modulo = "/usr/lib/nginx/modules/ngx_stream_module.so";
    if (system("nginx -v >/dev/null 2>&1") != 0 || access(modulo, R_OK) != 0)
        GTEST_SKIP() << "nginx with its stream module is not installed (Debian: nginx libnginx-mod-stream)";
    if (system("openssl version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "openssl is not installed";
    ServerProcess srv;
    ASSERT_TRUE(srv.start(std::string(kCfgBase) + "proxies = 127.0.0.3\n")) << srv.error;
    const std::string d = srv.dir;
    ASSERT_TRUE(makeTlsPair(d + "/k.pem", d + "/c.pem"));
    const int porta = ServerProcess::freePort();
    // The shipped stream block, included at the top level as Debian's
    // nginx.conf includes modules-enabled/; nginx reaches the server from
    // an address of its own so that only the header names the client.
    const std::string bloco = exemplo("nginx/quelta-stream.conf",
                                      {{"listen 1957 ssl;", "listen 127.0.0.1:" + std::to_string(porta) + " ssl;"},
                                       {"/etc/ssl/certs/quelta.pem", d + "/c.pem"},
                                       {"/etc/ssl/private/quelta.key", d + "/k.pem"},
                                       {"proxy_pass 127.0.0.1:1956;", "proxy_pass 127.0.0.1:" + std::to_string(srv.port) +
                                                                          "; proxy_bind 127.0.0.3;"}});
    ASSERT_NE(bloco, "");
    ASSERT_TRUE(srv.writeFile("quelta-stream.conf", bloco));
    ASSERT_TRUE(srv.writeFile("nginx.conf", std::string("load_module ") + modulo + ";\ndaemon off;\nmaster_process off;\npid " +
                                                d + "/nginx.pid;\nerror_log " + d + "/nginx.err;\n"
                                                "include " + d + "/quelta-stream.conf;\n"
                                                "events { worker_connections 64; }\nhttp { }\n"));
    Programa nginx;
    ASSERT_TRUE(nginx.inicia({"nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/nginx.err"}));
    ASSERT_TRUE(Programa::ouve(porta)) << srv.readFile("nginx.err");
    const std::string r =
        commandOutput("sh -c \"printf 'REGISTER a@exemplo.com\\r\\nFulano\\r\\n.\\r\\nIP a@exemplo.com\\r\\nQUIT\\r\\n' | "
              "openssl s_client -quiet -connect 127.0.0.1:" + std::to_string(porta) + " 2>/dev/null\"");
    EXPECT_NE(r.find("+OK Nome registrado\r\n+OK 127.0.0.1\r\n"), std::string::npos) << r << srv.errors();
}

// haproxy passes TCP through, TLS included, and puts its header first: v2
// before the TLS port's handshake, v1 before the plain port's greeting.
TEST(ProxyHaproxy, ClientsAddressReachesIpThroughEitherPort) {
    if (system("haproxy -v >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "haproxy is not installed (Debian: haproxy)";
    if (system("openssl version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "openssl is not installed";
    ServerProcess srv;
    ASSERT_TRUE(srv.makeDir());
    const std::string d = srv.dir;
    ASSERT_TRUE(makeTlsPair(d + "/k.pem", d + "/c.pem"));
    const int tls = ServerProcess::freePort(), frente = ServerProcess::freePort();
    ASSERT_TRUE(srv.start(std::string(kCfgBase) + "proxies = 127.0.0.4\nportatls = " + std::to_string(tls) +
                          "\ncertificado = " + d + "/c.pem\nchave = " + d + "/k.pem\n"))
        << srv.error;
    // Its own time-outs outlast the server's maxtempo (120 s), so an idle
    // client hears the server's goodbye instead of haproxy's cut.
    const std::string exemploHaproxy = readWholeFile(std::string(QUELTA_SOURCE_DIR) + "/contrib/haproxy/quelta.cfg");
    for (const char* chave : {"\n    timeout client ", "\n    timeout server "}) {
        size_t em = exemploHaproxy.find(chave);
        ASSERT_NE(em, std::string::npos) << chave;
        EXPECT_GT(atoi(exemploHaproxy.c_str() + em + strlen(chave)), 120) << chave;
    }
    for (const char* versao : {"send-proxy-v2", "send-proxy"}) {
        const bool porTls = std::string(versao) == "send-proxy-v2";
        // The shipped section after the stock defaults, which cut idle
        // clients at 50 s and speak HTTP: the section must undo both.
        const std::string secao =
            exemplo("haproxy/quelta.cfg", {{"bind :1957", "bind 127.0.0.1:" + std::to_string(frente)},
                                           {"192.0.2.10:1957 send-proxy-v2", "127.0.0.1:" +
                                                std::to_string(porTls ? tls : srv.port) + " " + versao +
                                                " source 127.0.0.4"}});
        ASSERT_NE(secao, "");
        ASSERT_TRUE(srv.writeFile("haproxy.cfg", "defaults\n  mode http\n  timeout connect 5s\n  timeout client 50s\n"
                                                 "  timeout server 50s\n" + secao));
        Programa haproxy;
        ASSERT_TRUE(haproxy.inicia({"haproxy", "-db", "-q", "-f", d + "/haproxy.cfg"}));
        ASSERT_TRUE(Programa::ouve(frente)) << versao;
        const std::string conta = porTls ? "a@exemplo.com" : "b@exemplo.com";
        const std::string linhas = "REGISTER " + conta + "\r\nFulano\r\n.\r\nIP " + conta + "\r\nQUIT\r\n";
        std::string r;
        if (porTls) {
            std::string escapadas;  // printf's own escapes for CR LF
            for (char ch : linhas)
                escapadas += ch == '\r' ? "\\r" : ch == '\n' ? "\\n" : std::string(1, ch);
            r = commandOutput("sh -c \"printf '" + escapadas + "' | openssl s_client -quiet -connect 127.0.0.1:" +
                              std::to_string(frente) + " 2>/dev/null\"");
        } else {
            Client c;
            ASSERT_TRUE(c.connect(frente));
            ASSERT_TRUE(c.send(linhas));
            r = c.readAll(5000);
        }
        EXPECT_NE(r.find("+OK Nome registrado\r\n+OK 127.0.0.1\r\n"), std::string::npos)
            << versao << ": " << r << srv.errors();
    }
}
