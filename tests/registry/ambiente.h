// Shared set-up of the registry tests: a fresh temporary directory holding
// the registry file, an empty index, and builders for 840-byte records.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "engine/clock.h"
#include "engine/platform.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "support/harness.h"
#include "text/fold.h"

namespace teste {

// How a child process that was meant to end the process ended: its exit
// status (-1 when it was killed, or came back from f: status 42 then) and
// what it wrote on standard output.
struct Saida {
    int status;
    std::string saida;
};

// Runs f in a forked child whose standard output is a pipe; waits at most
// 10 s for it to end.
template <class F>
Saida emFilho(F f) {
    Saida r{-1, ""};
    int tubo[2];
    if (pipe(tubo) != 0)
        return r;
    fflush(stdout);
    pid_t filho = fork();
    if (filho == 0) {
        dup2(tubo[1], 1);
        close(tubo[0]);
        f();
        _exit(42);  // f came back: the process was meant to end inside it
    }
    close(tubo[1]);
    int status = 0;
    pid_t fim = 0;
    for (int i = 0; i < 1000 && fim == 0 && filho > 0; i++) {
        fim = waitpid(filho, &status, WNOHANG);
        if (fim == 0)
            usleep(10000);
    }
    if (filho > 0 && fim == 0) {
        kill(filho, SIGKILL);
        waitpid(filho, &status, 0);
    }
    char b[512];
    ssize_t n;
    while ((n = read(tubo[0], b, sizeof b)) > 0)
        r.saida.append(b, size_t(n));
    close(tubo[0]);
    if (fim > 0 && WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    return r;
}

using Registro = std::vector<uint8_t>;

inline Registro fazRegistro(const char* email, const char* nome = "Nome", uint32_t data = 0, uint8_t estado = 0,
                            uint32_t ip = 0x0100007F) {
    TFicha f;
    copyBounded(f.email, email, sizeof f.email);
    copyBounded(f.nome, nome, sizeof f.nome);
    f.ip = ip;
    f.data = data;
    f.estado = estado;
    // Some bytes in the tail, so a moved record is told apart from a zeroed one.
    std::string info = std::string("info de ") + email;
    copyBounded(f.info, info.c_str(), 101);
    Registro r(registro_campo::kRecord, 0);
    f.cCodifica(r.data());
    return r;
}

inline void libertaIndice() { indice.reset(); }

// Red-black rules and parent links below no; returns the black height.
inline int alturaNegra(const TUsuario* no, const TUsuario* pai, int& nos) {
    if (no == nullptr)
        return 1;
    nos++;
    EXPECT_EQ(no->pai, pai) << no->email();
    EXPECT_EQ(no->cor & ~1, 0) << no->email();
    bool preto = (no->cor & 1) != 0;
    if (!preto) {
        EXPECT_TRUE(no->esq == nullptr || (no->esq->cor & 1)) << "red under red at " << no->email();
        EXPECT_TRUE(no->dir == nullptr || (no->dir->cor & 1)) << "red under red at " << no->email();
    }
    int e = alturaNegra(no->esq, no, nos);
    int d = alturaNegra(no->dir, no, nos);
    EXPECT_EQ(e, d) << "black height differs below " << no->email();
    return e + (preto ? 1 : 0);
}

// Checks the whole tree; returns its number of nodes.
inline int confereRubroNegra() {
    EXPECT_TRUE(indice.raiz == nullptr || (indice.raiz->cor & 1)) << "red root";
    int nos = 0;
    alturaNegra(indice.raiz, nullptr, nos);
    return nos;
}

class Ambiente : public ::testing::Test {
protected:
    void SetUp() override {
        buildFoldTable();
        char modelo[] = "/tmp/quelta-registry-XXXXXX";
        ASSERT_NE(mkdtemp(modelo), nullptr);
        dir = modelo;
        caminho = dir + "/quelta.sav";
        ASSERT_LT(caminho.size(), sizeof(registryFileName));
        snprintf(registryFileName, sizeof(registryFileName), "%s", caminho.c_str());
        libertaIndice();
        fechaRegistro();
        registro.primeiraPassagem = true;
        registro.truncaPendente = false;
        registro.gravouDesdePassagem = false;
        registro.discordam = false;
        registro.aoDiscordar = nullptr;
        config.diasreg = 90;
        config.ativomin = 480;
        minuteClock = 220000000;
        platformFailWriteAt(0);
    }
    void TearDown() override {
        platformFailWriteAt(0);
        fechaRegistro();
        libertaIndice();
        unlink(caminho.c_str());
        unlink((caminho + ".lote").c_str());
        rmdir(dir.c_str());
    }

    // Drops the file as a killed process would leave it: nothing synced,
    // the journal as it is.
    static void fechaRegistro() {
        registro.cSoltaMapa();
        if (registro.fd != -1)
            close(registro.fd);
        registro.fd = -1;
        if (registro.fdJornal != -1)
            close(registro.fdJornal);
        registro.fdJornal = -1;
        registro.tamJornal = 0;
    }

    void escreveArquivo(const std::vector<Registro>& regs, const std::string& resto = "") {
        std::string bytes;
        for (const Registro& r : regs)
            bytes.append(reinterpret_cast<const char*>(r.data()), r.size());
        bytes += resto;
        escreveBytes(bytes);
    }
    void escreveBytes(const std::string& bytes) {
        int fd = open(caminho.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        close(fd);
    }
    std::string leArquivo() const { return readWholeFile(caminho); }
    Registro slotDoArquivo(int slot) const {
        std::string bytes = leArquivo();
        size_t at = size_t(slot) * registro_campo::kRecord;
        if (at + registro_campo::kRecord > bytes.size())
            return {};
        return Registro(bytes.begin() + long(at), bytes.begin() + long(at + registro_campo::kRecord));
    }
    void carrega(const std::vector<Registro>& regs) {
        escreveArquivo(regs);
        ASSERT_TRUE(registro.cCarrega());
    }

    // File and index agree: length registros * 840, every node's slot holds
    // its e-mail, and every slot belongs to exactly one node.
    void confereConsistencia() {
        std::string bytes = leArquivo();
        ASSERT_EQ(bytes.size(), size_t(indice.registros) * registro_campo::kRecord);
        std::vector<int> donos(size_t(indice.registros), 0);
        int n = 0;
        for (TUsuario* no = cPrimeiro(); no != nullptr; no = cProximo(no), n++) {
            uint32_t slot = no->cPosicao();
            ASSERT_LT(slot, uint32_t(indice.registros)) << no->email();
            donos[slot]++;
            const char* email = bytes.data() + size_t(slot) * registro_campo::kRecord;
            EXPECT_EQ(strncmp(email, no->email(), 79), 0) << "slot " << slot;
        }
        EXPECT_EQ(n, indice.registros);
        for (int d : donos)
            EXPECT_EQ(d, 1);
    }

    std::string dir;
    std::string caminho;
};

}  // namespace teste
