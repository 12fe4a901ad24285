#!/usr/bin/env bash
# System calls per request in the pipelined scenarios: S7 (one connection
# keeping 1,000 IP requests in flight), S6 (50 connections keeping 32
# each), S9 (S7 on the TLS port) and S10 (S6's connections sending LOGON
# and LOGOFF in turn, the file synced at most once a second), over 100,000
# users. perf counts the
# server's raw_syscalls:sys_enter while the load runs; the figure does not
# depend on what a call costs on the machine. QUELTA=/path/to/quelta measures another build.
#
#   bench/syscalls.sh
#   SECONDS_EACH=10 QUELTA=/tmp/old/quelta bench/syscalls.sh
#
# Everything it starts is its own child and is ended by PID; everything it
# writes lies in one temporary directory under /tmp, removed at the end.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/lib.sh"
secs=${SECONDS_EACH:-5}

bench_build quelta bench_loadgen bench_mkregistry
command -v perf >/dev/null || { echo "perf is needed (Debian: linux-perf)"; exit 1; }

bench_workdir syscalls

"$build/bench/bench_mkregistry" --users 100000 --out quelta.sav --ip-requests ip.txt \
  --key-commands keys.resp --key-requests exists.txt --requests 100000 \
  --password bench --write-requests write.txt >/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost \
  -keyout "$work/k.pem" -out "$work/c.pem" 2>/dev/null
port=$(lg --free-port)
tport=$(lg --free-port)
cat >quelta.cfg <<CFG
ender = 127.0.0.1
porta = $port
maxconec = 1000000
diasreg = 0
maxtempo = 0
regtempo = 0
sincronia = segundo
portatls = $tport
certificado = $work/c.pem
chave = $work/k.pem
CFG
(exec taskset -c 0 "$quelta") >stdout 2>stderr &
qpid=$!
children+=("$qpid")
lg --port "$port" --wait-ready --greeting --request NOOP --expect "+OK" --timeout 60 --label ready >/dev/null

measure() {  # measure LABEL PORT REQUEST-FILE LOADGEN-ARGS...: requests, system calls, calls per request
  local label=$1 p=$2 file=$3
  shift 3
  perf stat -x, -e raw_syscalls:sys_enter -p "$qpid" -o perf.out -- sleep "$secs" &
  local ppid=$!
  local line
  line=$(lg --port "$p" --greeting --seconds "$secs" --warmup 0 --requests "$file" --server-pid "$qpid" \
    --label "$label" "$@" | grep RESULT)
  wait "$ppid"
  local calls requests
  calls=$(grep raw_syscalls perf.out | cut -d, -f1)
  requests=$(field "$line" requests)
  # Refused or failed requests would count as requests done: stop instead.
  if [ "$(field "$line" errors)" != 0 ] || [ "${requests:-0}" -le 0 ]; then
    echo "   $label: no replies, or replies that are not successes: $line"
    exit 1
  fi
  echo "   $label: $requests requests, $calls system calls, $(awk "BEGIN { printf \"%.4f\", $calls / $requests }") per request (rps $(field "$line" rps), server_cpu $(field "$line" server_cpu))"
}

echo "== $quelta"
measure S7 "$port" ip.txt --conns 1 --pipeline 1000
measure S6 "$port" ip.txt --conns 50 --src-spread 50 --pipeline 32
measure S9 "$tport" ip.txt --tls --conns 1 --pipeline 1000
measure S10 "$port" write.txt --conns 50 --src-spread 50 --pipeline 32
