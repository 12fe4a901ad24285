// End-to-end sessions with the real server: a fresh server per test, one
// greeted client, and exchanges that capture a reply whole by following
// the command with an unknown marker line and reading up to its echo.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "engine/clock.h"
#include "support/harness.h"
#include "text/sha0.h"
#include "util/calendario.h"

namespace sessao {

// Most tests register several users from one address and must not see
// entries expire under them.
constexpr const char* kCfgBase = "regtempo = 0\ndiasreg = 0\n";
// The same with the administration password of the tests that unlock.
// Every marker line is then a failed unlock, so failures cost no delay.
constexpr const char* kCfgAdm = "regtempo = 0\ndiasreg = 0\nsenhaadm = vrelk\npenalidade = 0\n";

inline const std::string kSaudacao1 = "+OK QUELTA Vers\xE3o 2.03. Agora 1 usu\xE1rio.\r\n";

// The local wall-clock minute as the server counts it.
inline uint32_t minutoAgora() {
    time_t t = time(nullptr);
    struct tm lt;
    localtime_r(&t, &lt);
    return uint32_t(dateToMinutes(lt.tm_mday, lt.tm_mon + 1, lt.tm_year + 1900)) + uint32_t(lt.tm_hour * 60 + lt.tm_min);
}

inline std::string digestDe(const char* senha) {
    uint8_t d[20];
    digestText(senha, d);
    return std::string(reinterpret_cast<char*>(d), 20);
}

inline std::string registroDe(const std::string& email, const std::string& nome, const char* ip, uint32_t data,
                              const char* senha, uint8_t estado = 0, const std::string& info = "",
                              const std::string& logon = "") {
    std::string d = digestDe(senha);
    return makeRecord(email, nome, ipOf(ip), data, reinterpret_cast<const uint8_t*>(d.data()), estado, info, logon);
}

// "+OK Data: 7/3/2013 9:5:3\r\n"-like tail: numbers separated as given.
inline bool formaNumerica(const std::string& s, const std::string& separadores) {
    size_t p = 0;
    for (size_t k = 0; k <= separadores.size(); k++) {
        size_t ini = p;
        while (p < s.size() && s[p] >= '0' && s[p] <= '9')
            p++;
        if (p == ini || (p - ini > 1 && s[ini] == '0'))
            return false;  // a number is required, with no leading zero
        if (k < separadores.size()) {
            if (p >= s.size() || s[p] != separadores[k])
                return false;
            p++;
        }
    }
    return p == s.size();
}

// What the server logged, without its start line (port and load time
// vary from run to run).
inline std::string semLinhaDeInicio(const std::string& log) {
    size_t p = log.find("quelta: listening on port ");
    if (p == std::string::npos)
        return log;
    size_t fim = log.find('\n', p);
    return log.substr(0, p) + (fim == std::string::npos ? "" : log.substr(fim + 1));
}

class Sessao : public ::testing::Test {
protected:
    // Starts the server and greets one client; false (with a test failure)
    // when either did not come up.
    bool inicia(const std::string& cfg = kCfgBase, const std::string& sav = "") {
        if (!srv.start(cfg, "quelta", sav)) {
            ADD_FAILURE() << "server: " << srv.error;
            return false;
        }
        return conecta(cli);
    }
    bool conecta(Client& c, const char* origem = nullptr, const std::string& saudacao = "") {
        if (!c.connect(srv.port, origem)) {
            ADD_FAILURE() << "connect failed";
            return false;
        }
        std::string s = c.readLine();
        if (saudacao.empty() ? s.rfind("+OK QUELTA Vers\xE3o 2.03. Agora ", 0) != 0 : s != saudacao) {
            ADD_FAILURE() << "greeting: " << s;
            return false;
        }
        return true;
    }
    // Everything the lines (each given without its CR LF) produce.
    std::string troca(Client& c, const std::vector<std::string>& linhas) {
        std::string envio;
        for (const std::string& l : linhas)
            envio += l + "\r\n";
        envio += "#marca\r\n";
        EXPECT_TRUE(c.send(envio));
        const std::string eco = "-Comando desconhecido: #marca\r\n";
        std::string r = c.readUntil(eco, 5000);
        if (r.size() < eco.size() || r.compare(r.size() - eco.size(), eco.size(), eco) != 0) {
            ADD_FAILURE() << "no marker echo after: " << r;
            return r;
        }
        return r.substr(0, r.size() - eco.size());
    }
    std::string troca(const std::string& linha) { return troca(cli, {linha}); }

    // One dialogue step (name or information line), whose reply is one line.
    std::string passo(Client& c, const std::string& linha) {
        EXPECT_TRUE(c.send(linha + "\r\n"));
        return c.readLine();
    }

    // Runs the whole dialogue and expects each step to be accepted.
    void registra(Client& c, const std::string& arg, const std::string& nome,
                  const std::vector<std::string>& info = {}) {
        ASSERT_EQ(passo(c, "REGISTER " + arg), "+OK Informe nome do usu\xE1rio\r\n");
        ASSERT_EQ(passo(c, nome), "+OK Entre as informa\xE7\xF5" "es, uma por linha, na \xFAltima s\xF3 um ponto\r\n");
        for (const std::string& l : info)
            ASSERT_TRUE(c.send(l + "\r\n"));
        ASSERT_EQ(passo(c, "."), "+OK Nome registrado\r\n");
    }
    void registra(const std::string& arg, const std::string& nome, const std::vector<std::string>& info = {}) {
        registra(cli, arg, nome, info);
    }

    std::string sav() { return srv.readFile("quelta.sav"); }

    ServerProcess srv;
    Client cli;
};

inline const std::string kDesbloqueado = "+OK Comandos de administra\xE7\xE3o desbloqueados\r\n";
inline const std::string kNaoRegistrado = "-Usu\xE1rio n\xE3o est\xE1 registrado: ";

}  // namespace sessao
