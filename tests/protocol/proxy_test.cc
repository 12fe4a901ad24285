// Connections from a listed proxy begin with a PROXY protocol header, and
// the client it names is the client for everything: the recorded address,
// the per-address limit. Through the real server.
#include <gtest/gtest.h>

#include <string>

#include "sessao.h"

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
    const std::string log = srv.errors();
    EXPECT_NE(log.find("quelta: connection from proxy 127.0.0.1 closed: malformed PROXY header\n"), std::string::npos)
        << log;
}

}  // namespace
