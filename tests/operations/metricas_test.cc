// The metrics endpoint of the real server: counters that move by exactly
// the traffic sent, the HTTP answers around them, and the exposition as
// promtool reads it.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "protocol/sessao.h"

using namespace sessao;

namespace {

// One HTTP request on a connection of its own; the whole answer.
std::string pede(int porta, const std::string& pedido) {
    Client h;
    if (!h.connect(porta))
        return "<no connection>";
    if (!h.send(pedido))
        return "<not sent>";
    return h.readAll(3000);
}

std::string corpo(const std::string& resposta) {
    size_t p = resposta.find("\r\n\r\n");
    return p == std::string::npos ? "" : resposta.substr(p + 4);
}

TEST_F(Sessao, MetricsCountExactlyTheTrafficSent) {
    const int porta = ServerProcess::freePort();
    ASSERT_TRUE(inicia(std::string(kCfgBase) + "maxconec = 1\npenalidade = 0\nmetricas = 127.0.0.1:" +
                       std::to_string(porta) + "\n"));
    registra("a@exemplo.com:pw", "Fulano");
    EXPECT_EQ(troca("NOOP"), "+OK\r\n");
    EXPECT_EQ(troca("LOGON a@exemplo.com:errada"), "-Senha inv\xE1lida\r\n");
    EXPECT_EQ(troca("IP a@exemplo.com"), "+OK 127.0.0.1\r\n");
    Client recusado;  // a second connection of 127.0.0.1
    ASSERT_TRUE(recusado.connect(srv.port));
    EXPECT_EQ(recusado.readAll().rfind("-Erro: ", 0), 0u);
    // Two silent connections of one address hold the metrics port; its
    // third is closed at once, and another address is still answered.
    Client mudos[3];
    for (Client& m : mudos)
        ASSERT_TRUE(m.connect(porta, "127.0.0.2"));
    EXPECT_EQ(mudos[2].readAll(1500), "");
    EXPECT_TRUE(mudos[2].peerClosed);
    EXPECT_FALSE(mudos[0].waitClosed(100));

    const std::string r = pede(porta, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_EQ(r.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4", 0), 0u) << r;
    const std::string m = corpo(r);
    EXPECT_NE(r.find("\r\nContent-Length: " + std::to_string(m.size()) + "\r\n"), std::string::npos) << r;
    // Each exchange of troca ends with an unknown marker line: four here.
    for (const char* linha :
         {"quelta_users 1\n", "quelta_connections 1\n", "quelta_connections_accepted_total{port=\"plain\"} 2\n",
          "quelta_connections_accepted_total{port=\"metrics\"} 4\n",
          "quelta_connections_refused_total{port=\"plain\",reason=\"machine_limit\"} 1\n",
          "quelta_connections_refused_total{port=\"plain\",reason=\"descriptors\"} 0\n",
          "quelta_connections_refused_total{port=\"metrics\",reason=\"machine_limit\"} 1\n",
          "quelta_commands_total{command=\"register\"} 1\n",
          "quelta_commands_total{command=\"noop\"} 1\n", "quelta_commands_total{command=\"logon\"} 1\n",
          "quelta_commands_total{command=\"ip\"} 1\n", "quelta_commands_total{command=\"get\"} 0\n",
          "quelta_commands_total{command=\"unknown\"} 3\n", "quelta_password_failures_total 1\n",
          "quelta_registry_errors_total 0\n", "quelta_aged_out_total 0\n"})
        EXPECT_NE(m.find(std::string("\n") + linha), std::string::npos) << linha << m;

    EXPECT_EQ(pede(porta, "GET /outra HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    // A request head beyond 8 KiB gets no answer at all.
    EXPECT_EQ(pede(porta, "GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'x') + "\r\n\r\n"), "");
    EXPECT_TRUE(srv.alive());

    if (system("promtool --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool is not installed (Debian: prometheus)";
    ASSERT_TRUE(srv.writeFile("metricas.txt", m));
    EXPECT_EQ(commandOutput("promtool check metrics < " + srv.path("metricas.txt") + " 2>&1; echo status=$?"),
              "status=0\n");
    // The shipped alerting rules name these metrics and load.
    EXPECT_EQ(commandOutput("promtool check rules " + std::string(QUELTA_SOURCE_DIR) +
                            "/contrib/prometheus/quelta-alerts.yml >/dev/null 2>&1; echo status=$?"),
              "status=0\n");
}

}  // namespace
