// Failed password checks per client IPv4 address and per password: each
// account's password, and the administration password, counts apart, so
// one user's typos behind a shared address do not hold another's logon.
// Kept apart from the machine records, which end with an address's last
// connection: a guesser must not escape its delay by reconnecting. The
// table is bounded and forgets an entry 15 minutes after its last failure.
#pragma once

#include <cstddef>
#include <cstdint>

// Entries remembered at most: an address takes one for itself and one for
// each password it failed. When the table is full, a new entry takes the
// place of the one whose last failure is oldest, among the entries of
// addresses at kPenalidadeLimiteEndereco only when nothing else is left:
// no flood of new addresses ends a guesser's delay.
constexpr int32_t kPenalidadeEntradas = 131072;
// Seconds without a failure after which an entry is forgotten.
constexpr int64_t kPenalidadeMemoria = 15 * 60;
// Failures of an address (any passwords) from which every password check
// of that address waits, not only those of the passwords that failed:
// spraying one guess at each of many accounts stays slow.
constexpr int32_t kPenalidadeLimiteEndereco = 10;

// Which password a check compared: an account, named by its address token,
// or the administration password. Never 0, the address's own entry.
constexpr uint64_t kContaAdministracao = 1;
// The account of an address token of n bytes: folded and cut to the 79
// characters the index keeps, so every spelling that finds a user names
// the same account. Needs buildFoldTable.
uint64_t penalidadeConta(const char* token, size_t n);

// Times are seconds of the pass clock (clockSeconds); the wheel's timers
// fire at its second boundaries.

// Records a failure of conta's password from ip at agora. The delay is
// config.penalidade seconds for the password's first failure from ip and
// doubles with each further one up to eight times that (2, 4, 8, 16 at the
// default); once ip has kPenalidadeLimiteEndereco failures, it is eight
// times at once, for every password of ip. Returns the seconds from agora
// until the penalty ends, a second more than the delay since the failure
// fell somewhere within second agora: a timer armed for them fires no
// sooner than the delay. When config.penalidade is 0 or less the failure
// is counted all the same, and 0 returned: nothing waits.
int32_t penalidadeFalha(uint32_t ip, uint64_t conta, int64_t agora);
// Failures of ip remembered now (any passwords; 255 stands for more).
int32_t penalidadeFalhasDoEndereco(uint32_t ip);
// Seconds from agora until a check of conta's password from ip may run; 0
// when neither that password nor (past its limit) the address is in a
// penalty.
int32_t penalidadeRestante(uint32_t ip, uint64_t conta, int64_t agora);
// A check of conta's password from ip passed: that password's delay ends
// and its next failure is a first. The address's failures still count.
void penalidadeSucesso(uint32_t ip, uint64_t conta);
// Entries remembered now.
int32_t penalidadeEntradas();
// Forgets everything (tests and fuzzers start afresh with it).
void penalidadeZera();
