// Replies that report on the batch of presence changes (the registry's
// batch): each goes into its client's output at once, as the success it
// will be, and the batch reaches the file before anything queued leaves;
// a change that did not reach it has its reply replaced by the failure.
#pragma once

#include <cstdint>

class TCliente;

// Queues texto for the batch's change number mudanca (-1: refused, which
// replies the failure at once).
void respondeNoLote(TCliente& c, int32_t mudanca, const char* texto);
// Settles a client's replies while it is still whole: called as it ends.
void loteAntesDoFim(TCliente& c);
