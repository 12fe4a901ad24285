// The process's counters (operations/contadores.h).
#include "operations/contadores.h"

Contadores contadores;
int32_t usuarios = 0;
int32_t maquinas = 0;
