#!/usr/bin/env bash
# What failed passwords cost a guesser, and what they cost everybody else.
# One server (CPU 0); an attacker at 127.0.0.1 whose two connections keep
# 64 wrong LOGON lines each in flight for ATTACK_SECONDS (default 60), and
# meanwhile a client at 127.0.0.2 that times NOOP round trips, one at a
# time (generators on CPU 1). The same client is timed first without the
# attack. Then the same guesser logging on to an entry of its own between
# guesses, and one guessing the administration password with lines that are
# no command, for ADM_SECONDS (default 200, time for 14 failures at the
# default delays): its answered guesses, and when the lines the fail2ban
# filter matches came (the shipped jail bans at the 5th within 10 min).
# Run it with PENALIDADE=0 for the server without delays, or with
# QUELTA=/path/to/quelta for another build of the server.
#
#   bench/penalidade.sh
#   PENALIDADE=0 bench/penalidade.sh
#
# Everything it starts is its own child and is ended by PID; everything it
# writes lies in one temporary directory under /tmp, removed at the end.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/lib.sh"
attack=${ATTACK_SECONDS:-60}
quiet=${QUIET_SECONDS:-20}
penalidade=${PENALIDADE:-2}
adm=${ADM_SECONDS:-200}

bench_build quelta bench_loadgen
bench_workdir penalidade

port=$(lg --free-port)
cat >quelta.cfg <<CFG
ender = 127.0.0.1
porta = $port
maxtempo = 0
regtempo = 0
diasreg = 0
penalidade = $penalidade
senhaadm = bench-adm-segredo
CFG
# Without delays the guesses come at hundreds of thousands a second, and so
# would their log lines: those go nowhere then.
errors=stderr
[ "$penalidade" -eq 0 ] && errors=/dev/null

say() {  # say CONNECTION-BYTES: one short session, QUIT last; its replies in said.out
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  printf '%b' "$1QUIT\r\n" >&3
  timeout 10 cat <&3 >said.out || true
  exec 3<&-
}

# A fresh server, registry and penalty table, with the user whose password
# is guessed.
start_server() {
  if [ -n "${qpid:-}" ]; then kill "$qpid"; wait "$qpid" 2>/dev/null || true; fi
  rm -f quelta.sav "$errors"
  (exec taskset -c 0 "$quelta") >stdout 2>"$errors" &
  qpid=$!
  children+=("$qpid")
  lg --port "$port" --wait-ready --greeting --request NOOP --expect "+OK" --timeout 60 --label ready >/dev/null
  say 'REGISTER alvo@exemplo.com:segredo\r\nAlvo da Silva\r\n.\r\n'
  grep -q "Nome registrado" said.out || { echo "registration failed: $(cat said.out)"; exit 1; }
}
start_server

victim() {  # victim SECONDS LABEL: NOOP round trips from 127.0.0.2
  lg --port "$port" --greeting --conns 1 --src-spread 1 --request NOOP --seconds "$1" --label "$2"
}

echo "== penalidade = $penalidade"
alone=$(victim "$quiet" alone)
echo "   127.0.0.2 alone:          rps=$(field "$alone" rps) p50=$(field "$alone" p50_us)us p99=$(field "$alone" p99_us)us"

lg --port "$port" --greeting --conns 2 --pipeline 64 --request "LOGON alvo@exemplo.com:errada" \
  --seconds "$attack" --server-pid "$qpid" --label attack >attack.out &
apid=$!
children+=("$apid")
sleep 2
during=$(victim $((attack - 5)) during)
wait "$apid" || true
result=$(grep RESULT attack.out || true)
guesses=$(field "$result" requests)
echo "   127.0.0.2 during attack:  rps=$(field "$during" rps) p50=$(field "$during" p50_us)us p99=$(field "$during" p99_us)us"
echo "   127.0.0.1 guesses answered in ${attack} s: ${guesses:-none} (server_cpu=$(field "$result" server_cpu))"
[ -f stderr ] && echo "   failures logged: $(grep -c 'authentication failure' stderr || true)"

# The same guesser with an entry of its own, logging on to it after every
# guess: a success must not end the penalty the guesses earned.
start_server
say 'REGISTER proprio@exemplo.com:minha\r\nPropria Entrada\r\n.\r\n'
grep -q "Nome registrado" said.out || { echo "registration failed: $(cat said.out)"; exit 1; }
printf 'LOGON alvo@exemplo.com:errada\nLOGON proprio@exemplo.com:minha\n' >requests
lg --port "$port" --greeting --conns 2 --pipeline 64 --requests requests \
  --seconds "$attack" --server-pid "$qpid" --label own >own.out || true
echo "   with an own entry logged on to after each guess:"
echo "   127.0.0.1 replies in ${attack} s: $(field "$(grep RESULT own.out || true)" requests)"
[ -f stderr ] && echo "   guesses answered (failures logged): $(grep -c 'authentication failure' stderr || true)"

# Guesses at the administration password: every line that is no command.
# The log is looked at once a second, for when each line came.
start_server
t0=$(date +%s)
lg --port "$port" --greeting --conns 2 --pipeline 64 --request "palpite-adm" \
  --seconds "$adm" --server-pid "$qpid" --label adm >adm.out &
apid=$!
children+=("$apid")
seen=0
stamps=""
while kill -0 "$apid" 2>/dev/null; do
  sleep 1
  [ -f stderr ] || continue
  n=$(grep -c 'administration unlock failure' stderr || true)
  while [ "$seen" -lt "$n" ]; do seen=$((seen + 1)); stamps+="$(($(date +%s) - t0)) "; done
done
wait "$apid" || true
echo "   administration guesses from 127.0.0.1 answered in ${adm} s: $(field "$(grep RESULT adm.out || true)" requests)"
[ -f stderr ] && echo "   lines for the filter: $seen, at seconds: ${stamps:-none}"
exit 0
