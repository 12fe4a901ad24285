// One conversation over a TConexao: bytes queued for the server leave as
// the socket takes them while replies are read, and the replies come out
// as lines. Owns neither the connection nor any descriptor it polls.
#pragma once

#include <string>

#include "tools/cli/conexao.h"

class TSessao {
public:
    explicit TSessao(TConexao& c) : conexao(c) {}

    // Queues bytes for the server (already on the wire's terms).
    void cEnfileira(const std::string& bytes) { saida += bytes; }
    // Ends the sending side once everything queued has left.
    void cFechaEnvioDepois() { fecharEnvio = true; }

    enum Passo { kAlgo, kNada, kFim, kFalha };
    // Waits at most ms (-1: no limit) for the server, and for input on
    // outroFd when that is >= 0: then *outro is -1 when it hung up or
    // failed (what it still holds is not wanted), 1 when it has input,
    // else 0. kAlgo:
    // bytes arrived or outroFd is ready; kNada: the time ran
    // out; kFim: the server ended the conversation (every byte it sent is
    // in hand); kFalha: the connection failed, erro() says how.
    Passo cEspera(int ms, int outroFd = -1, int* outro = nullptr);

    // The next whole line received, without its LF and a CR before it;
    // crlf says whether it ended in CR LF. False when no whole line is in
    // hand yet.
    bool cLinha(std::string& linha, bool* crlf = nullptr);
    // What is left after the last whole line (a line the server ended
    // without a line end); empties it.
    std::string cResto();

    bool enviado() const { return saida.empty(); }
    const std::string& erro() const { return conexao.erro(); }

private:
    bool cEscreve();
    TConexao& conexao;
    std::string saida, entrada;
    size_t lido = 0;  // entrada[0, lido) has been handed out as lines
    bool fecharEnvio = false, envioFechado = false, terminou = false;
};
