// The command groups behind cComando. Each runs on one parsed line of one
// client; the user's record, where a command names one, has already been
// read into registro's buffer and its node found. None of them destroys
// the client, and none allocates except REGISTER's new index node.
#pragma once

#include <cstdint>

class TCliente;
struct TUsuario;

// Registration dialogue, logon and logoff (registro_cmd.cc).
void comandoRegister(TCliente& c, const char* email, const char* senha);
void dialogoNome(TCliente& c);        // dialogue 1: linha is the name
void dialogoConclusao(TCliente& c);   // dialogue 2: linha is the information block
void comandoLogon(TCliente& c, TUsuario* u, const char* resto);
void comandoLogoff(TCliente& c, TUsuario* u);

// Queries and administration (consulta.cc).
void comandoIp(TCliente& c, TUsuario* u);
void comandoGet(TCliente& c);
void comandoFind(TCliente& c, const char* padrao);
void comandoRemove(TCliente& c, TUsuario* u);
void comandoDate(TCliente& c, TUsuario* u, const char* resto);
void comandoIp2(TCliente& c, TUsuario* u, const char* resto);

// Sends a fixed reply; a reply that finds no room is lost on purpose.
void responde(TCliente& c, const char* texto);
