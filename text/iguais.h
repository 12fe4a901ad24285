// Comparison of secrets whose time does not depend on their contents: an
// observer timing replies learns nothing of where two buffers first differ.
#pragma once

#include <cstddef>

// True when the n bytes at a and b are equal. Every byte of both is read,
// whatever the first difference; n = 0 is equal.
bool equalConstantTime(const void* a, const void* b, size_t n);
