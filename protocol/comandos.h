// The command groups behind cComando. Each handler runs on one parsed line
// of one client; where its row says the command names a user, the user's
// node has been found and its record read into registro's buffer, and the
// row's password and administration checks have passed. Only QUIT's
// handler destroys the client; none allocates except REGISTER's new node.
#pragma once

#include <cstddef>
#include <cstdint>

class TCliente;
struct TUsuario;

// One command line as the handlers see it. For commands that take an
// argument the line is split in place; the others leave every field empty.
struct Pedido {
    char* email;     // address token (for FIND, the pattern)
    char* senha;     // password token, empty when there was no ':'
    char* resto;     // what follows the first argument, inner spaces kept
    TUsuario* usuario;  // the named user's node, when the row names one
};

using Executa = void (*)(TCliente& c, const Pedido& p);

// The command table as the metrics name it: rows 0..kComandosNaTabela - 1,
// each row's word (lower case); the counters keep one slot more, for the
// lines that are none (interpretador.cc).
extern const int32_t kComandosNaTabela;
const char* palavraDoComando(int32_t linha);

// Registration dialogue, logon and logoff (registro_cmd.cc).
void comandoRegister(TCliente& c, const Pedido& p);
void dialogoNome(TCliente& c);        // awaiting the name: linha is the name
void dialogoConclusao(TCliente& c);   // information complete: linha is the block
void comandoLogon(TCliente& c, const Pedido& p);
void comandoLogoff(TCliente& c, const Pedido& p);

// Queries and administration (consulta.cc).
void comandoIp(TCliente& c, const Pedido& p);
void comandoGet(TCliente& c, const Pedido& p);
void comandoFind(TCliente& c, const Pedido& p);
void comandoRemove(TCliente& c, const Pedido& p);
void comandoDate(TCliente& c, const Pedido& p);
void comandoIp2(TCliente& c, const Pedido& p);

// The commands that need no user (simples.cc).
void comandoNow(TCliente& c, const Pedido& p);
void comandoNoop(TCliente& c, const Pedido& p);
void comandoQuit(TCliente& c, const Pedido& p);  // destroys the client
void comandoHelp(TCliente& c, const Pedido& p);
void comandoStop(TCliente& c, const Pedido& p);  // ends the process
void comandoDebug(TCliente& c, const Pedido& p);
// The help text's length: its reply is the longest of all.
extern const int16_t kRespostaAjuda;

// Where a command line's address token lies: after the command word and
// its blanks, up to a ':', a blank or the end. Returns its offset in
// linha and puts its length in *n; linha is not changed.
size_t tokenDoEndereco(const char* linha, size_t* n);

// Sends a fixed reply. A line is interpreted only when the output ring has
// room for its longest reply (its row's size), so every reply finds room.
void responde(TCliente& c, const char* texto);

// GET's reply buffer, in bytes: the longest GET reply, and the room its
// row asks of the output ring.
constexpr int16_t kRespostaGet = 880;
