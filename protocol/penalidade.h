// Failed password checks per client IPv4 address, kept apart from the
// machine records, which end with an address's last connection: a guesser
// must not escape its delay by reconnecting. The table is bounded and
// forgets an address 15 minutes after its last failure.
#pragma once

#include <cstdint>

// Addresses remembered at most; when the table is full, a new address
// takes the place of the one whose last failure is oldest.
constexpr int32_t kPenalidadeEnderecos = 65536;
// Seconds without a failure after which an address is forgotten.
constexpr int64_t kPenalidadeMemoria = 15 * 60;

// Times are seconds of the pass clock (clockSeconds); the wheel's timers
// fire at its second boundaries.

// Records a failure from ip at agora. The delay is config.penalidade
// seconds for an address's first failure and doubles with each further
// one up to eight times that (2, 4, 8, 16 at the default). Returns the
// seconds from agora until the penalty ends, a second more than the delay
// since the failure fell somewhere within second agora: a timer armed for
// them fires no sooner than the delay. 0, recording nothing, when
// config.penalidade is 0 or less.
int32_t penalidadeFalha(uint32_t ip, int64_t agora);
// Seconds from agora until a check from ip may run; 0 when ip is in no
// penalty.
int32_t penalidadeRestante(uint32_t ip, int64_t agora);
// A check from ip passed: ip is forgotten, its next failure is a first.
void penalidadeSucesso(uint32_t ip);
// Addresses remembered now.
int32_t penalidadeEnderecos();
// Forgets every address (tests and fuzzers start afresh with it).
void penalidadeZera();
