// The server in this process, for tests that would otherwise wait on real
// time or need the real file system to fail: the registry file in a fresh
// temporary directory, loaded as at start-up; clients handed to admission
// over socketpairs, as the listener would hand them; passes run with
// runPass(0) on a clock the test moves (TRelogio); and the log, which the
// server writes on standard error, kept for the test through the platform's
// write entry. Faults come from platformFailCall. Every wait is bounded, in
// passes and in real time.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "admission/maquina.h"
#include "config/config.h"
#include "engine/loop.h"
#include "engine/platform.h"
#include "operations/penalidade.h"
#include "protocol/recepcao.h"
#include "registry/indice.h"
#include "protocol/envelhecimento.h"
#include "registry/registro.h"
#include "support/harness.h"
#include "support/relogio.h"
#include "text/fold.h"

namespace emprocesso {

class EmProcesso : public ::testing::Test {
protected:
    void SetUp() override {
        buildFoldTable();
        char modelo[] = "/tmp/quelta-emprocesso-XXXXXX";
        ASSERT_NE(mkdtemp(modelo), nullptr);
        dir = modelo;
        ASSERT_LT(path("quelta.sav").size(), sizeof registryFileName);
        snprintf(registryFileName, sizeof registryFileName, "%s", path("quelta.sav").c_str());
        diario().clear();
        escritaAntes() = platformCalls.write;
        platformCalls.write = escreveDiario;
    }

    void TearDown() override {
        for (PlatformFaultCall f : {PlatformFaultCall::kOpen, PlatformFaultCall::kRead, PlatformFaultCall::kWrite,
                                    PlatformFaultCall::kAccept, PlatformFaultCall::kSend, PlatformFaultCall::kRecv})
            platformFailCall(f, 0, 0);
        for (auto& p : recebido)
            close(p.first);
        recebido.clear();
        // Every client meets its peer's end; one held in a penalty's wait
        // reads nothing until the wait is over, so the clock moves too.
        for (int s = 0; s < 400 && (usuarios > 0 || maquinas > 0); s++) {
            relogio.cAvanca(1);
            passes(3);
        }
        EXPECT_EQ(usuarios, 0);
        EXPECT_EQ(maquinas, 0);
        registro.cFecha();
        indice.reset();
        penalidadeZera();
        config = Configuracao{};
        platformCalls.write = escritaAntes();
        // Whatever the test left in its directory (registry, journal,
        // configuration, certificates), then the directory.
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    unlink(path(e->d_name).c_str());
            closedir(d);
        }
        rmdir(dir.c_str());
    }

    // Loads the registry file (savBytes, or none) and then reads cfgText
    // as the configuration, as the server starts; arms the first ageing
    // pass a second on, and greets one client, cli. False, with a test
    // failure, when something did not come up.
    bool inicia(const std::string& cfgText, const std::string& savBytes = "") {
        if (!savBytes.empty() && !escreve("quelta.sav", savBytes))
            return false;
        registro.cFecha();  // writes a batch still waiting while its nodes live
        indice.reset();
        registro.primeiraPassagem = true;
        registro.truncaPendente = false;
        if (!registro.cCarrega()) {
            ADD_FAILURE() << "the registry did not load";
            return false;
        }
        config = Configuracao{};
        if (!escreve("quelta.cfg", cfgText))
            return false;
        int fd = platformOpenReadOnly(path("quelta.cfg").c_str());
        if (fd < 0) {
            ADD_FAILURE() << "configuration: " << platformErrorText();
            return false;
        }
        readConfiguration(fd);
        platformCloseFile(fd);
        penalidadeZera();
        envelhecimento.cArma(1);
        cli = conecta();
        return cli >= 0;
    }

    // A client from origem, greeted; returns the test's end of its socket,
    // or -1 with a test failure.
    int conecta(const char* origem = "127.0.0.1") {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0 || fcntl(sv[0], F_SETFL, O_NONBLOCK) != 0) {
            ADD_FAILURE() << "socketpair";
            return -1;
        }
        recebido[sv[1]] = "";
        servidor.cAceita(sv[0], PeerAddress{inet_addr(origem), 0x3412});
        std::string s = linha(sv[1]);
        if (s.rfind("+OK QUELTA Vers\xE3o 2.03. Agora ", 0) != 0) {
            ADD_FAILURE() << "greeting: " << s;
            return -1;
        }
        return sv[1];
    }

    // Closes the test's end of a client and forgets it; the server meets
    // the close in a later pass.
    void fecha(int peer) {
        close(peer);
        recebido.erase(peer);
    }

    // Runs n passes that wait for nothing.
    void passes(int n) {
        for (int i = 0; i < n; i++)
            runPass(0);
    }

    // Runs passes until feito holds: at most 200, and at most 5 s.
    bool bombeia(const std::function<bool()>& feito) {
        auto fim = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (int i = 0; i < 200 && std::chrono::steady_clock::now() < fim; i++) {
            if (feito())
                return true;
            runPass(0);
        }
        return feito();
    }

    bool envia(int peer, const std::string& bytes) {
        size_t feito = 0;
        while (feito < bytes.size()) {
            ssize_t n = send(peer, bytes.data() + feito, bytes.size() - feito, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            feito += size_t(n);
        }
        return true;
    }

    // What has come for peer so far and not yet been taken.
    std::string& chegado(int peer) {
        std::string& r = recebido[peer];
        char b[4096];
        ssize_t n;
        while ((n = recv(peer, b, sizeof b, MSG_DONTWAIT)) > 0)
            r.append(b, size_t(n));
        return r;
    }

    // Takes the bytes up to and including fim once they have come within
    // the passes bombeia runs; "" when they did not.
    std::string ate(int peer, const std::string& fim) {
        bombeia([&] { return chegado(peer).find(fim) != std::string::npos; });
        std::string& r = chegado(peer);
        size_t p = r.find(fim);
        if (p == std::string::npos)
            return "";
        std::string s = r.substr(0, p + fim.size());
        r.erase(0, p + fim.size());
        return s;
    }
    std::string linha(int peer) { return ate(peer, "\r\n"); }

    // Everything the lines produce, captured up to the echo of an unknown
    // marker line sent behind them.
    std::string troca(int peer, const std::vector<std::string>& linhas) {
        std::string envio;
        for (const std::string& l : linhas)
            envio += l + "\r\n";
        EXPECT_TRUE(envia(peer, envio + "#marca\r\n"));
        const std::string eco = "-Comando desconhecido: #marca\r\n";
        std::string r = ate(peer, eco);
        if (r.empty()) {
            ADD_FAILURE() << "no marker echo after: " << chegado(peer);
            return chegado(peer);
        }
        return r.substr(0, r.size() - eco.size());
    }
    std::string troca(const std::string& l) { return troca(cli, {l}); }
    // One dialogue step, whose reply is one line.
    std::string passo(int peer, const std::string& l) {
        EXPECT_TRUE(envia(peer, l + "\r\n"));
        return linha(peer);
    }

    // Seconds the clock moves, one at a time with a few passes after each,
    // until a whole line has come for peer; -1 when none came within limite.
    int segundosAteUmaLinha(int peer, int limite = 30) {
        for (int s = 0; s <= limite; s++) {
            if (s > 0)
                relogio.cAvanca(1);
            passes(5);
            if (chegado(peer).find("\r\n") != std::string::npos)
                return s;
        }
        return -1;
    }
    // Moves the clock on by segundos, a second at a time, with a few
    // passes after each: the timers of every second fire in their turn.
    void avanca(int segundos) {
        for (int s = 0; s < segundos; s++) {
            relogio.cAvanca(1);
            passes(3);
        }
    }

    void registra(int peer, const std::string& arg, const std::string& nome) {
        ASSERT_EQ(passo(peer, "REGISTER " + arg), "+OK Informe nome do usu\xE1rio\r\n");
        ASSERT_EQ(passo(peer, nome), "+OK Entre as informa\xE7\xF5" "es, uma por linha, na \xFAltima s\xF3 um ponto\r\n");
        ASSERT_EQ(passo(peer, "."), "+OK Nome registrado\r\n");
    }

    std::string path(const std::string& file) const { return dir + "/" + file; }
    std::string sav() const { return readWholeFile(path("quelta.sav")); }
    // What the server logged since the test began.
    static std::string erros() { return diario(); }

    std::string dir;
    TRelogio relogio;
    TRecepcao servidor;
    int cli = -1;

private:
    bool escreve(const std::string& file, const std::string& bytes) const {
        FILE* f = fopen(path(file).c_str(), "wb");
        bool ok = f != nullptr && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        if (f != nullptr)
            ok = fclose(f) == 0 && ok;
        if (!ok)
            ADD_FAILURE() << "cannot write " << file;
        return ok;
    }
    static std::string& diario() {
        static std::string d;
        return d;
    }
    using Escrita = long (*)(int, const void*, size_t);
    static Escrita& escritaAntes() {
        static Escrita e;
        return e;
    }
    static long escreveDiario(int fd, const void* bytes, size_t n) {
        if (fd != 2)
            return escritaAntes()(fd, bytes, n);
        diario().append(static_cast<const char*>(bytes), n);
        return long(n);
    }
    std::map<int, std::string> recebido;  // per peer: bytes come and not yet taken
};

}  // namespace emprocesso
