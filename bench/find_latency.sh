#!/usr/bin/env bash
# How long another client's NOOP waits while one client pipelines FINDs
# that match nobody, over a registry of 1,000,000 users (USERS=...). The
# server runs on CPU 0, both load generators on CPU 1.
#
#   bench/find_latency.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/lib.sh"
users=${USERS:-1000000}
secs=${RUN_SECONDS:-10}
bench_build quelta bench_loadgen bench_mkregistry
bench_workdir findlat
"$build/bench/bench_mkregistry" --users "$users" --out "$work/quelta.sav" >/dev/null
port=$("$loadgen" --free-port)
printf 'ender = 127.0.0.1\nporta = %s\nmaxconec = 100\nmaxtempo = 0\ndiasreg = 0\nregtempo = 0\n' "$port" >quelta.cfg
taskset -c 0 "$quelta" >/dev/null 2>&1 &
qpid=$!
children+=("$qpid")
taskset -c 1 "$loadgen" --port "$port" --wait-ready --greeting --request NOOP --expect "+OK" --timeout 120 --label ready >/dev/null

noop() { taskset -c 1 "$loadgen" --port "$port" --greeting --conns 1 --src-spread 1 --seconds "$secs" --request NOOP --label "$1"; }
echo "== NOOP alone"
noop alone | grep -o 'label=[^ ]*\|rps=[^ ]*\|p50_us=[^ ]*\|p99_us=[^ ]*\|max_us=[^ ]*' | tr '\n' ' '; echo
echo "== NOOP while another address pipelines FIND zzzzqqq (50 in flight)"
# Each FIND restarts the listing and answers its first line at once; the
# flooder counts those as replies and keeps 50 in flight.
taskset -c 1 "$loadgen" --port "$port" --greeting --conns 1 --src-spread 2 --pipeline 50 \
  --seconds $((secs + 4)) --request "FIND zzzzqqq" --server-pid "$qpid" --label flood >"$work/flood.txt" &
children+=("$!")
sleep 2
noop during | grep -o 'label=[^ ]*\|rps=[^ ]*\|p50_us=[^ ]*\|p99_us=[^ ]*\|max_us=[^ ]*' | tr '\n' ' '; echo
wait "${children[-1]}" || true
grep -o 'label=[^ ]*\|rps=[^ ]*\|server_cpu=[^ ]*' "$work/flood.txt" | tr '\n' ' '; echo
