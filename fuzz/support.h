// Shared set-up of the fuzz targets: a registry in a temporary file, the
// reset between inputs, and the wrapped exitServer.
#pragma once

#include <csetjmp>

// Set by the wrapped exitServer before it jumps back to saida.
extern jmp_buf saida;
extern int statusSaida;
// When false, an exitServer with a status other than 0 (the registry
// finding index and file in disagreement) is a finding and aborts.
extern bool saidaInconsistenteEsperada;

// Once per process: folding table, a fresh temporary registry file, load.
void preparaUmaVez();
// Empties index and file and closes the file: the next input starts alike.
void zeraRegistro();
// Aborts unless every node has a distinct posicao below registros, the
// file holds registros whole records (exactly registros * 840 bytes when
// exato) and each node agrees with its record in the file.
void confereRegistro(bool exato);
