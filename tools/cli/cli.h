// What the modes of quelta-cli share: the options and the way lines are
// shown to the user.
#pragma once

#include <string>

#include "tools/cli/conexao.h"
#include "tools/cli/sessao.h"

struct Opcoes {
    Destino destino;
    bool utf8 = true;         // the user's side; false: Latin-1, bytes as they are
    bool terminal = false;    // standard output is a terminal
};

// One line from the server on standard output, converted, with a line
// end; the caller flushes.
void printLine(const Opcoes& o, const std::string& linha);
// "quelta-cli: TEXT" on standard error.
void complain(const std::string& texto);

// The session on a terminal, after the greeting was read. Returns the
// exit status.
int runInteractive(const Opcoes& o, TSessao& s, const std::string& saudacao);
