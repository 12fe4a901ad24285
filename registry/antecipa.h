// The one thing framing asks of the index: to fetch ahead the entries a
// batch of lookups is about to read. Only a hint; nothing changes.
#pragma once

#include <cstdint>

// Hints that the n keys (chaves[i], tamanhos[i] bytes, not terminated)
// are about to be looked up: their entries and nodes are fetched now, so
// that a batch of lookups waits for memory once rather than once each.
void cAntecipaBuscas(const char* const* chaves, const int32_t* tamanhos, int n);
