// kill -9 at random moments while users register, log on, log off and
// leave. Whatever was answered "+OK" before a kill must be there after the
// restart; only the command in flight may go either way.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "passagem.h"
#include "protocol/sessao.h"

namespace {

using sessao::Sessao;

const char* const kCfg = "regtempo = 0\ndiasreg = 90\nmaxtempo = 0\n";

struct Estado {
    bool existe = false;
    uint8_t estado = 0;  // 0 registered, 1 logged on, 2 logged off
    std::string nota;
    std::string nome;
    bool operator==(const Estado& o) const {
        return existe == o.existe && (!existe || (estado == o.estado && nome == o.nome && (estado != 1 || nota == o.nota)));
    }
};

std::string descreve(const Estado& e) {
    if (!e.existe)
        return "(absent)";
    return e.nome + " estado " + std::to_string(e.estado) + " nota '" + e.nota + "'";
}

class Queda : public Sessao {
protected:
    // What the server says of a user now, read with GET.
    Estado le(const std::string& email) {
        Estado e;
        std::string r = troca("GET " + email);
        if (r.rfind("+OK Informa\xE7\xF5" "es do usu\xE1rio:\r\n", 0) != 0)
            return e;  // "-Usuário não está registrado"
        e.existe = true;
        size_t p = r.find("\r\n") + 2;
        size_t q = r.find("\r\n", p);
        e.nome = r.substr(p, q - p);
        p = r.find("\r\n", q + 2) + 2;  // skip the address line
        std::string palavra = r.substr(p, r.find(' ', p) - p);
        if (palavra == "register")
            e.estado = 0;
        else if (palavra == "logoff")
            e.estado = 2;
        else {
            e.estado = 1;
            e.nota = palavra == "logon" ? "" : palavra;
        }
        return e;
    }

    bool reinicia() {
        srv.kill9();
        cli.close();
        if (!srv.start(kCfg)) {
            ADD_FAILURE() << "restart: " << srv.error << " output: " << srv.output();
            return false;
        }
        // The first ageing pass sweeps the whole index within a second of
        // the start; the server must live through it.
        if (!passagem::esperaPrimeiraPassagem(srv) || !srv.alive()) {
            ADD_FAILURE() << "server stopped after restart: " << srv.error << " output: " << srv.output();
            return false;
        }
        return conecta(cli);
    }
};

TEST_F(Queda, KillsDuringAStormLoseNothingAnswered) {
    const unsigned seed = 20261208;
    RecordProperty("seed", int(seed));
    std::mt19937 rng(seed);
    const int kUsuarios = 6, kComandos = 1000, kQuedas = 24;
    std::vector<std::string> emails;
    for (int i = 0; i < kUsuarios; i++)
        emails.push_back("u" + std::to_string(i) + "@queda.com");
    std::map<std::string, Estado> modelo;

    std::set<int> quedas;
    while (int(quedas.size()) < kQuedas)
        quedas.insert(int(rng() % kComandos));

    ASSERT_TRUE(inicia(kCfg));
    int nomes = 0, emVoo = 0, ok = 0;
    for (int i = 0; i < kComandos; i++) {
        const std::string& email = emails[rng() % kUsuarios];
        Estado antes = modelo[email], depois = antes;
        std::vector<std::string> linhas;
        std::string esperado;
        switch (rng() % 4) {
        case 0: {
            char nome[32];
            snprintf(nome, sizeof nome, "Nome %05d", ++nomes);
            // The dialogue's first two steps change nothing; run them apart.
            ASSERT_EQ(passo(cli, "REGISTER " + email + ":p"), "+OK Informe nome do usu\xE1rio\r\n") << i;
            ASSERT_EQ(passo(cli, nome), "+OK Entre as informa\xE7\xF5" "es, uma por linha, na \xFAltima s\xF3 um ponto\r\n");
            ASSERT_TRUE(cli.send("info\r\n"));
            linhas = {"."};
            esperado = "+OK Nome registrado\r\n";
            depois = Estado{true, 0, "", nome};
            break;
        }
        case 1: {
            std::string nota = "n" + std::to_string(rng() % 1000);
            linhas = {"LOGON " + email + ":p " + nota};
            esperado = antes.existe ? "+OK Entrada registrada\r\n" : sessao::kNaoRegistrado + email + "\r\n";
            if (antes.existe) {
                depois.estado = 1;
                depois.nota = nota;
            }
            break;
        }
        case 2:
            linhas = {"LOGOFF " + email + ":p"};
            esperado = antes.existe ? "+OK Sa\xED" "da registrada\r\n" : sessao::kNaoRegistrado + email + "\r\n";
            if (antes.existe)
                depois.estado = 2;
            break;
        default:
            linhas = {"REMOVE " + email + ":p"};
            esperado = antes.existe ? "+OK Usu\xE1rio removido\r\n" : sessao::kNaoRegistrado + email + "\r\n";
            depois = Estado{};
            break;
        }
        if (quedas.count(i) != 0) {
            // Kill with the command in flight, a random few hundred
            // microseconds after it left.
            ASSERT_TRUE(cli.send(linhas[0] + "\r\n"));
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1500));
            ASSERT_TRUE(reinicia()) << "kill " << i;
            Estado real = le(email);
            ASSERT_TRUE(real == antes || real == depois)
                << "command " << i << " " << linhas[0] << ": now " << descreve(real) << ", before "
                << descreve(antes) << ", after " << descreve(depois);
            modelo[email] = real;
            emVoo++;
            // Every other user holds what the last "+OK" left.
            int registrados = 0;
            for (const std::string& e : emails) {
                Estado agora = le(e);
                EXPECT_TRUE(agora == modelo[e]) << "after kill " << i << ", " << e << ": " << descreve(agora)
                                                << " expected " << descreve(modelo[e]);
                registrados += agora.existe;
            }
            EXPECT_EQ(sav().size(), size_t(registrados) * 840) << "after kill " << i;
            continue;
        }
        ASSERT_EQ(troca(cli, linhas), esperado) << "command " << i;
        modelo[email] = depois;
        ok++;
    }
    EXPECT_EQ(emVoo, kQuedas);
    RecordProperty("answered", ok);
}

TEST_F(Queda, CompactionCutShortIsFinishedAtLoad) {
    // A removal moved the last record (bia) into the removed user's slot
    // and was killed before the file was cut: bia stands twice.
    uint32_t agora = sessao::minutoAgora();
    std::string ana = sessao::registroDe("ana@x.com", "Ana Maria", "10.0.0.1", agora, "a", 1);
    std::string bia = sessao::registroDe("bia@x.com", "Beatriz S", "10.0.0.2", agora, "b", 2);
    std::string caio = sessao::registroDe("caio@x.com", "Caio Souza", "10.0.0.3", agora, "c", 0);
    ASSERT_TRUE(inicia(kCfg, ana + bia + caio + bia));
    ASSERT_TRUE(passagem::esperaPrimeiraPassagem(srv));
    ASSERT_TRUE(srv.alive()) << srv.output();
    EXPECT_EQ(sav(), ana + bia + caio);
    EXPECT_EQ(troca("--debug").rfind("+OK:  Usu\xE1rios: 1  M\xE1quinas: 1  Registros: 3  ", 0), 0u);
    // Equal keys with different bytes are not a cut-short compaction: both load.
    ServerProcess outro;
    std::string bia2 = sessao::registroDe("bia@x.com", "Outra Bia", "10.0.0.9", agora, "b", 2);
    ASSERT_TRUE(outro.start(kCfg, "quelta", ana + bia + caio + bia2));
    Client c;
    ASSERT_TRUE(c.connect(outro.port));
    c.readLine();
    ASSERT_TRUE(c.send("--debug\r\n"));
    EXPECT_EQ(c.readLine().rfind("+OK:  Usu\xE1rios: 1  M\xE1quinas: 1  Registros: 4  ", 0), 0u);
}

}  // namespace
