#!/usr/bin/env bash
# Runs every benchmark scenario against our server and, in the same run,
# against redis-server, with the server under test on CPU 0 and the load
# generator on CPU 1. Prints each figure as it is measured, then a table of
# medians over the rounds with the ratios and the goals.
#
#   bench/run.sh                 # 3 rounds, 5 s per measurement
#   ROUNDS=1 RUN_SECONDS=3 bench/run.sh
#   SCENARIOS="S2 S4" bench/run.sh   # only some of S1..S10
#
# S8 and S9 are S1 and S7 over TLS: both servers open a TLS port as well,
# with one self-signed certificate made for the run.
#
# S10 is writes: LOGON and LOGOFF in turn against SET with redis's
# append-only file on, in three pairs of durability run side by side
# (sincronia sempre / segundo / nunca against appendfsync always /
# everysec / no), each pair its own two servers on a copy of the data.
#
# Everything it starts is its own child and is ended by PID; everything it
# writes lies in one temporary directory under /tmp, removed at the end.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-3}
secs=${RUN_SECONDS:-5}
warm=${WARMUP_SECONDS:-1}
conns=50
spread=50          # active and idle connections come from 127.0.0.2..127.0.0.51
idle=10000
users=100000
bigusers=1000000
server_cpu=0
client_cpu=1
scenarios=" ${SCENARIOS:-S1 S2 S3 S4 S5 S6 S7 S8 S9 S10} "
wpass=bench$RANDOM  # every user's password, which LOGON and LOGOFF give
. "$top/bench/lib.sh"  # after client_cpu, which its lg uses
want() { [[ "$scenarios" == *" $1 "* ]]; }

# ---------------------------------------------------------------- set-up
bench_build quelta bench_loadgen bench_mkregistry  # QUELTA=/path/to/quelta: another build side by side
mkregistry=$build/bench/bench_mkregistry

if ! command -v redis-server >/dev/null || ! command -v redis-cli >/dev/null; then
  echo "== installing redis-server"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y -q redis-server >/dev/null ||
    { $sudo apt-get update -q >/dev/null && $sudo apt-get install -y -q redis-server >/dev/null; }
fi

bench_workdir bench

calc() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }
median() { tr ' ' '\n' <<<"$*" | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) printf "%.10g\n", v[(NR + 1) / 2]; else printf "%.10g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }

stop() {  # stop PID: end one child we started, reap it and forget it
  local rest=() pid
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  for pid in "${children[@]}"; do [ "$pid" = "$1" ] || rest+=("$pid"); done
  children=("${rest[@]}")
}

# start_quelta DIR PORT [TLS-PORT]: starts the server in DIR, with a TLS
# port too when one is given, and the lines of qextra in its configuration;
# sets qpid. The caller takes the start time
# itself when it wants to time the start-up.
start_quelta() {
  cat >"$1/quelta.cfg" <<CFG
senhaadm = bench$RANDOM$RANDOM
ender = 127.0.0.1
porta = $2
maxconec = 1000000
diasreg = 0
maxtempo = 0
regtempo = 0
$qextra
CFG
  if [ -n "${3:-}" ]; then
    cat >>"$1/quelta.cfg" <<CFG
portatls = $3
certificado = $work/c.pem
chave = $work/k.pem
CFG
  fi
  (cd "$1" && exec taskset -c "$server_cpu" "$quelta") >"$1/stdout" 2>&1 &
  qpid=$!
  children+=("$qpid")
}

# start_redis DIR PORT [TLS-PORT]: starts redis-server with the
# append-only options of raof (persistence off unless they say otherwise),
# loading DIR/dump.rdb if it exists, with a TLS port too when one is given;
# sets rpid.
start_redis() {
  local tls=()
  [ -n "${3:-}" ] && tls=(--tls-port "$3" --tls-cert-file "$work/c.pem" --tls-key-file "$work/k.pem" --tls-auth-clients no)
  taskset -c "$server_cpu" redis-server --bind 127.0.0.1 --port "$2" "${tls[@]}" --save "" "${raof[@]}" \
    --dir "$1" --dbfilename dump.rdb --maxclients $((idle + 1000)) --protected-mode no \
    --daemonize no --logfile "$1/redis.log" >/dev/null 2>&1 &
  rpid=$!
  children+=("$rpid")
}
qextra=""
raof=(--appendonly no)

ready_quelta() { lg --port "$1" --wait-ready --greeting --request NOOP --expect "+OK" --timeout 60 --label ready >/dev/null; }
ready_redis() { lg --port "$1" --wait-ready --request PING --expect "+PONG" --timeout 60 --label ready >/dev/null; }
# The start-up wait is plain only; once the plain port answers, one request
# over TLS proves the TLS port (a failure stops the script).
ready_quelta_tls() { lg --port "$1" --tls --greeting --conns 1 --count 1 --request NOOP --label ready-tls >/dev/null; }
ready_redis_tls() { lg --port "$1" --tls --mode resp --conns 1 --count 1 --request PING --label ready-tls >/dev/null; }

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
echo "== preparing data in $work (load average $load_start)"
mkdir -p "$work/q" "$work/r" "$work/q4" "$work/r4" "$work/qe" "$work/re"
"$mkregistry" --users "$users" --out "$work/q/quelta.sav" --ip-requests "$work/ip.txt" \
  --key-commands "$work/keys.resp" --key-requests "$work/exists.txt" --requests 100000 \
  --password "$wpass" --write-requests "$work/write.txt" --set-requests "$work/set.txt"
# S10's servers start from copies of the data as it was made.
want S10 && for mode in sempre segundo nunca; do mkdir -p "$work/q10$mode" "$work/r10$mode"; cp "$work/q/quelta.sav" "$work/q10$mode/"; done
qtport="" rtport=""
if want S8 || want S9; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost \
    -keyout "$work/k.pem" -out "$work/c.pem" 2>/dev/null
  qtport=$(lg --free-port)
  rtport=$(lg --free-port)
fi
qport=$(lg --free-port)
start_quelta "$work/q" "$qport" "$qtport"
ready_quelta "$qport"
[ -n "$qtport" ] && ready_quelta_tls "$qtport"
rport=$(lg --free-port)
start_redis "$work/r" "$rport" "$rtport"
ready_redis "$rport"
[ -n "$rtport" ] && ready_redis_tls "$rtport"
redis-cli -p "$rport" --pipe <"$work/keys.resp" >/dev/null
echo "   quelta pid $qpid port $qport ($users users); redis pid $rpid port $rport ($(redis-cli -p "$rport" DBSIZE) keys)"
[ -n "$qtport" ] && echo "   TLS ports: quelta $qtport, redis $rtport (one self-signed P-256 certificate)"

declare -A vals  # "metric system" -> values of all rounds

record() {  # record SCENARIO SYSTEM RESULT-LINE
  local line=$3 k
  if [ -z "$line" ]; then
    echo "   $1 $2: no result"
    return
  fi
  for k in rps p50_us p99_us client_cpu server_cpu items_per_s mean_us errors closed; do
    vals["$1 $2 $k"]+=" $(field "$line" "$k")"
  done
  # Work per CPU-second of the server: unlike the rate, it does not depend
  # on how much of its CPU the server got from a busy machine.
  local work pc
  work=$([ "$1" = S5 ] && field "$line" items_per_s || field "$line" rps)
  pc=$(awk -v w="$work" -v c="$(field "$line" server_cpu)" 'BEGIN { printf "%.0f", (c > 0 ? w / c : 0) }')
  vals["$1 $2 per_cpu"]+=" $pc"
  printf '   %-3s %-6s rps=%-8s p50=%sus p99=%sus client_cpu=%s server_cpu=%s per_cpu=%s errors=%s closed=%s%s\n' \
    "$1" "$2" "$(field "$line" rps)" "$(field "$line" p50_us)" "$(field "$line" p99_us)" \
    "$(field "$line" client_cpu)" "$(field "$line" server_cpu)" "$pc" "$(field "$line" errors)" \
    "$(field "$line" closed)" \
    "$([ "$1" = S5 ] && echo " listing_ms=$(calc "$(field "$line" mean_us)/1000" 1) lines/s=$(field "$line" items_per_s)")"
}

run_pair() {  # run_pair [--tls] SCENARIO ROUND quelta-args -- redis-args
  local qp=$qport rp=$rport tls=()
  if [ "$1" = --tls ]; then  # both systems on their TLS ports
    qp=$qtport rp=$rtport tls=(--tls)
    shift
  fi
  local sc=$1 round=$2 qargs=() rargs=() out
  shift 2
  while [ "$1" != "--" ]; do qargs+=("$1"); shift; done
  shift
  rargs=("$@")
  # Alternate which system goes first, so a drift in the machine's load
  # does not always favour the same one.
  for sys in $([ $((round % 2)) -eq 1 ] && echo "quelta redis" || echo "redis quelta"); do
    if [ "$sys" = quelta ]; then
      out=$(lg --port "$qp" "${tls[@]}" --greeting --server-pid "$qpid" --label "$sc-quelta" "${qargs[@]}" || true)
    else
      out=$(lg --port "$rp" "${tls[@]}" --mode resp --server-pid "$rpid" --label "$sc-redis" "${rargs[@]}" || true)
    fi
    record "$sc" "$sys" "$(grep '^RESULT' <<<"$out" || true)"
  done
}

for round in $(seq 1 "$rounds"); do
  echo "== round $round of $rounds"
  common=(--conns "$conns" --src-spread "$spread" --seconds "$secs" --warmup "$warm")
  # S3 right after S1: its ratio to S1 compares runs taken close together.
  want S1 && run_pair S1 "$round" "${common[@]}" --request NOOP -- "${common[@]}" --request PING
  want S3 && run_pair S3 "$round" "${common[@]}" --idle "$idle" --request NOOP -- "${common[@]}" --idle "$idle" --request PING
  want S2 && run_pair S2 "$round" "${common[@]}" --requests "$work/ip.txt" -- "${common[@]}" --requests "$work/exists.txt"
  want S5 && run_pair S5 "$round" --conns 1 --count 20 --warmup 0.5 --mode multi --request FIND -- \
    --conns 1 --count 20 --warmup 0.5 --request "KEYS *"
  # Pipelined clients: 32 requests in flight on each of 50 connections,
  # then one scripted stream keeping 1,000 in flight (some 30 KB ahead).
  want S6 && run_pair S6 "$round" "${common[@]}" --pipeline 32 --requests "$work/ip.txt" -- \
    "${common[@]}" --pipeline 32 --requests "$work/exists.txt"
  if want S7; then
    one=(--conns 1 --seconds "$secs" --warmup "$warm" --pipeline 1000)
    run_pair S7 "$round" "${one[@]}" --requests "$work/ip.txt" -- "${one[@]}" --requests "$work/exists.txt"
    # One write of 100,000 requests, timed until the last reply.
    burst=(--conns 1 --count 100000 --warmup 0 --pipeline 100000)
    run_pair S7w "$round" "${burst[@]}" --requests "$work/ip.txt" -- "${burst[@]}" --requests "$work/exists.txt"
  fi
  # S1 and S7 again over TLS, each system on its TLS port.
  want S8 && run_pair --tls S8 "$round" "${common[@]}" --request NOOP -- "${common[@]}" --request PING
  if want S9; then
    one=(--conns 1 --seconds "$secs" --warmup "$warm" --pipeline 1000)
    run_pair --tls S9 "$round" "${one[@]}" --requests "$work/ip.txt" -- "${one[@]}" --requests "$work/exists.txt"
  fi
done
stop "$qpid"
stop "$rpid"

# ---------------------------------------------------------------- S10
# Writes with the file's durability chosen alike on both sides: three pairs
# of servers, all started before the first round, each pair run in turn in
# every round.
if want S10; then
echo "== S10: LOGON/LOGOFF vs SET, 32 in flight on each of $conns connections, $users users," \
  "files on $(df -T "$work" | awk 'NR == 2 { print $2 }')"
declare -A q10port r10port q10pid r10pid
declare -A fsync10=([sempre]=always [segundo]=everysec [nunca]=no)
for mode in sempre segundo nunca; do
  qextra="sincronia = $mode"
  q10port[$mode]=$(lg --free-port)
  start_quelta "$work/q10$mode" "${q10port[$mode]}"
  q10pid[$mode]=$qpid
  ready_quelta "${q10port[$mode]}"
  raof=(--appendonly yes --appendfsync "${fsync10[$mode]}")
  r10port[$mode]=$(lg --free-port)
  start_redis "$work/r10$mode" "${r10port[$mode]}"
  r10pid[$mode]=$rpid
  ready_redis "${r10port[$mode]}"
  redis-cli -p "${r10port[$mode]}" --pipe <"$work/keys.resp" >/dev/null
  echo "   sincronia = $mode: quelta pid $qpid port ${q10port[$mode]};" \
    "appendfsync ${fsync10[$mode]}: redis pid $rpid port ${r10port[$mode]} ($(redis-cli -p "${r10port[$mode]}" DBSIZE) keys)"
done
qextra=""
raof=(--appendonly no)
for round in $(seq 1 "$rounds"); do
  echo "== S10 round $round of $rounds"
  common=(--conns "$conns" --src-spread "$spread" --seconds "$secs" --warmup "$warm" --pipeline 32)
  for mode in sempre segundo nunca; do
    qport=${q10port[$mode]} qpid=${q10pid[$mode]} rport=${r10port[$mode]} rpid=${r10pid[$mode]}
    sc=S10-$mode
    run_pair "$sc" "$round" "${common[@]}" --requests "$work/write.txt" -- "${common[@]}" --requests "$work/set.txt"
    # Every reply must be a success, and there must be replies: a refused
    # password answers "-..." (after the penalty's delay, so possibly
    # nothing within the window) and the figure would mean nothing.
    for sys in quelta redis; do
      e=(${vals["$sc $sys errors"]:-}) r=(${vals["$sc $sys rps"]:-})
      if [ ${#e[@]} -ne "$round" ] || [ "${e[-1]}" != 0 ] || ! awk -v r="${r[-1]}" 'BEGIN { exit !(r > 0) }'; then
        echo "   $sc $sys: no replies, or replies that are not successes (errors: ${e[*]:-none}; rps: ${r[*]:-none}); stopping"
        exit 1
      fi
    done
  done
done
for mode in sempre segundo nunca; do
  stop "${q10pid[$mode]}"
  stop "${r10pid[$mode]}"
done
fi

# ---------------------------------------------------------------- S4
if want S4; then
echo "== S4: start-up with $bigusers users"
s4=$("$mkregistry" --users "$bigusers" --out "$work/q4/quelta.sav" --key-commands "$work/keys4.resp")
last_email=$(field "$s4" last_email)
last_ip=$(field "$s4" last_ip)
echo "   registry $(($(stat -c %s "$work/q4/quelta.sav") / 1000000)) MB, last user $last_email ($last_ip)"

port4=$(lg --free-port)
start_redis "$work/r4" "$port4"
ready_redis "$port4"
redis-cli -p "$port4" --pipe <"$work/keys4.resp" >/dev/null
redis-cli -p "$port4" SAVE >/dev/null
echo "   redis RDB of $(redis-cli -p "$port4" DBSIZE) keys: $(($(stat -c %s "$work/r4/dump.rdb") / 1000000)) MB"
stop "$rpid"
rm -f "$work/keys4.resp"

# Empty servers, for the memory above an empty process.
: >"$work/qe/quelta.sav"
port4=$(lg --free-port)
start_quelta "$work/qe" "$port4"
ready_quelta "$port4"
q_empty_kb=$(rss_kb "$qpid")
stop "$qpid"
start_redis "$work/re" "$port4"
ready_redis "$port4"
r_empty_kb=$(rss_kb "$rpid")
stop "$rpid"

for round in $(seq 1 "$rounds"); do
  for sys in $([ $((round % 2)) -eq 1 ] && echo "quelta redis" || echo "redis quelta"); do
    port4=$(lg --free-port)
    # The file read once just before: each start finds it in the page
    # cache, whatever the other system's start or the run before evicted.
    cat "$([ "$sys" = quelta ] && echo "$work/q4/quelta.sav" || echo "$work/r4/dump.rdb")" >/dev/null
    t0=$(date +%s%N)
    if [ "$sys" = quelta ]; then
      start_quelta "$work/q4" "$port4"
      out=$(lg --port "$port4" --wait-ready --greeting --request "IP $last_email" --expect "+OK $last_ip" \
        --t0-ns "$t0" --timeout 120 --label S4-quelta || true)
      pid=$qpid
      empty=$q_empty_kb
    else
      start_redis "$work/r4" "$port4"
      out=$(lg --port "$port4" --wait-ready --request "EXISTS $last_email" --expect ":1" \
        --t0-ns "$t0" --timeout 120 --label S4-redis || true)
      pid=$rpid
      empty=$r_empty_kb
    fi
    kb=$(rss_kb "$pid")
    stop "$pid"
    ms=$(field "$out" ready_ms)
    per=$(calc "($kb - $empty) * 1024 / $bigusers" 1)
    vals["S4 $sys ms"]+=" $ms"
    vals["S4 $sys bytes"]+=" $per"
    echo "   S4  $sys round $round: ready after ${ms:-?} ms; VmRSS $kb kB (empty $empty kB): $per bytes per user"
  done
done
fi

# ---------------------------------------------------------------- table
m() { median ${vals["$1"]:-}; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 == 0) print "nan"; else printf "%.2f", a / b }'; }
# Median of the ratios of each round's pair: runs of the same round were
# taken minutes apart at most, so machine drift cancels better than in a
# ratio of medians.
pratio() {
  local a=(${vals["$1"]:-}) b=(${vals["$2"]:-}) r=() i
  for i in "${!a[@]}"; do
    [ -n "${b[$i]:-}" ] && r+=("$(ratio "${a[$i]}" "${b[$i]}")")
  done
  printf '%.2f' "$(median "${r[@]}")" 2>/dev/null || echo nan
}
# The lowest and highest of the rounds' own ratios, as [min..max].
pspread() {
  local a=(${vals["$1"]:-}) b=(${vals["$2"]:-}) r=() i
  for i in "${!a[@]}"; do
    [ -n "${b[$i]:-}" ] && r+=("$(ratio "${a[$i]}" "${b[$i]}")")
  done
  [ ${#r[@]} -gt 0 ] || { echo "[]"; return; }
  tr ' ' '\n' <<<"${r[*]}" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "[%s..%s]", lo, hi }'
}
verdict() { awk -v v="$1" -v g="$2" -v op="$3" 'BEGIN { if (v == "nan") print "?"; else if ((op == ">=" && v + 0 >= g) || (op == "<=" && v + 0 <= g)) print "met"; else print "NOT met" }'; }

q1=$(m "S1 quelta rps") r1=$(m "S1 redis rps")
q2=$(m "S2 quelta rps") r2=$(m "S2 redis rps")
q3=$(m "S3 quelta rps") r3=$(m "S3 redis rps")
q4=$(m "S4 quelta ms") r4=$(m "S4 redis ms")
q4b=$(m "S4 quelta bytes") r4b=$(m "S4 redis bytes")
q5=$(calc "$(m "S5 quelta mean_us")/1000" 1) r5=$(calc "$(m "S5 redis mean_us")/1000" 1)
q5l=$(m "S5 quelta items_per_s") r5l=$(m "S5 redis items_per_s")
s1r=$(pratio "S1 quelta rps" "S1 redis rps") s2r=$(pratio "S2 quelta rps" "S2 redis rps")
s3r=$(pratio "S3 quelta rps" "S3 redis rps")
s3q=$(pratio "S3 quelta rps" "S1 quelta rps") s3d=$(pratio "S3 redis rps" "S1 redis rps")
s4r=$(pratio "S4 quelta ms" "S4 redis ms") s5r=$(pratio "S5 quelta mean_us" "S5 redis mean_us")
q6=$(m "S6 quelta rps") r6=$(m "S6 redis rps") s6r=$(pratio "S6 quelta rps" "S6 redis rps")
q7=$(m "S7 quelta rps") r7=$(m "S7 redis rps") s7r=$(pratio "S7 quelta rps" "S7 redis rps")
q7w=$(calc "100000/$(m "S7w quelta rps")*1000" 1) r7w=$(calc "100000/$(m "S7w redis rps")*1000" 1)
q8=$(m "S8 quelta rps") r8=$(m "S8 redis rps") s8r=$(pratio "S8 quelta rps" "S8 redis rps")
q9=$(m "S9 quelta rps") r9=$(m "S9 redis rps") s9r=$(pratio "S9 quelta rps" "S9 redis rps")

echo
echo "== results, $(date -u '+%Y-%m-%d %H:%M UTC'), medians of $rounds rounds ($secs s windows, $conns connections);"
echo "   ratios are medians of the rounds' own ratios; load average $load_start at the start," \
  "$(cut -d' ' -f1-3 /proc/loadavg) at the end (other work on the machine lowers server_cpu)"
echo
echo "| scenario | quelta | redis | ratio | goal | |"
echo "|---|---|---|---|---|---|"
echo "| S1 NOOP vs PING, round trips/s | $q1 (client_cpu $(m "S1 quelta client_cpu"), server_cpu $(m "S1 quelta server_cpu")) | $r1 (client_cpu $(m "S1 redis client_cpu"), server_cpu $(m "S1 redis server_cpu")) | $s1r | >= 1.0 | $(verdict "$s1r" 1.0 '>=') |"
echo "| S2 IP vs EXISTS, $users users, requests/s | $q2 (client_cpu $(m "S2 quelta client_cpu"), server_cpu $(m "S2 quelta server_cpu")) | $r2 (client_cpu $(m "S2 redis client_cpu"), server_cpu $(m "S2 redis server_cpu")) | $s2r | >= 1.0 | $(verdict "$s2r" 1.0 '>=') |"
echo "| S3 S1 with $idle idle connections, round trips/s | $q3 | $r3 | $s3r | | |"
echo "| S3 / S1 of the same system | $s3q | $s3d | | >= 0.95 (quelta) | $(verdict "$s3q" 0.95 '>=') |"
echo "| S4 start-up with $bigusers users, ms | $q4 | $r4 | $s4r $(pspread "S4 quelta ms" "S4 redis ms") | <= 0.6 | $(verdict "$s4r" 0.6 '<=') |"
echo "| S4 resident memory per user above empty, bytes | $q4b | $r4b | | <= 200 (quelta) | $(verdict "$q4b" 200 '<=') |"
echo "| S5 FIND vs KEYS * of $users, ms per listing | $q5 | $r5 | $s5r $(pspread "S5 quelta mean_us" "S5 redis mean_us") | <= 0.4 | $(verdict "$s5r" 0.4 '<=') |"
echo "| S5 lines per second | $q5l | $r5l | | | |"
echo "| S6 IP vs EXISTS, 32 in flight on each of $conns connections, requests/s | $q6 (server_cpu $(m "S6 quelta server_cpu")) | $r6 (server_cpu $(m "S6 redis server_cpu")) | $s6r | >= 3.0 | $(verdict "$s6r" 3.0 '>=') |"
echo "| S7 IP vs EXISTS, 1,000 in flight on one connection, requests/s | $q7 (server_cpu $(m "S7 quelta server_cpu")) | $r7 (server_cpu $(m "S7 redis server_cpu")) | $s7r | >= 3.0 | $(verdict "$s7r" 3.0 '>=') |"
echo "| S7 one write of 100,000 requests until the last reply, ms | $q7w | $r7w | $(pratio "S7w redis rps" "S7w quelta rps") | | |"
echo "| S8 S1 over TLS, NOOP vs PING, round trips/s | $q8 (client_cpu $(m "S8 quelta client_cpu"), server_cpu $(m "S8 quelta server_cpu")) | $r8 (client_cpu $(m "S8 redis client_cpu"), server_cpu $(m "S8 redis server_cpu")) | $s8r | >= 1.0 | $(verdict "$s8r" 1.0 '>=') |"
echo "| S9 S7 over TLS, IP vs EXISTS, 1,000 in flight on one connection, requests/s | $q9 (server_cpu $(m "S9 quelta server_cpu")) | $r9 (server_cpu $(m "S9 redis server_cpu")) | $s9r | >= 1.0 | $(verdict "$s9r" 1.0 '>=') |"
for mode in sempre segundo nunca; do
  want S10 || break
  sc=S10-$mode
  r10=$(pratio "$sc quelta rps" "$sc redis rps")
  goal=">= 1.0" v=$(verdict "$r10" 1.0 '>=')
  [ "$mode" = nunca ] && goal="" v=""
  echo "| S10 LOGON/LOGOFF vs SET, sincronia $mode vs appendfsync ${fsync10[$mode]}, 32 in flight on each of $conns connections, writes/s | $(m "$sc quelta rps") (server_cpu $(m "$sc quelta server_cpu")) | $(m "$sc redis rps") (server_cpu $(m "$sc redis server_cpu")) | $r10 $(pspread "$sc quelta rps" "$sc redis rps") | $goal | $v |"
done
echo
echo "Per CPU-second of the server (independent of its share of a busy CPU):" \
  "S1 quelta $(m "S1 quelta per_cpu"), redis $(m "S1 redis per_cpu") ($(pratio "S1 quelta per_cpu" "S1 redis per_cpu"));" \
  "S2 quelta $(m "S2 quelta per_cpu"), redis $(m "S2 redis per_cpu") ($(pratio "S2 quelta per_cpu" "S2 redis per_cpu"));" \
  "S3 quelta $(m "S3 quelta per_cpu"), redis $(m "S3 redis per_cpu") ($(pratio "S3 quelta per_cpu" "S3 redis per_cpu"));" \
  "S3/S1 quelta $(pratio "S3 quelta per_cpu" "S1 quelta per_cpu"), redis $(pratio "S3 redis per_cpu" "S1 redis per_cpu");" \
  "S5 lines: quelta $(m "S5 quelta per_cpu"), redis $(m "S5 redis per_cpu") ($(pratio "S5 quelta per_cpu" "S5 redis per_cpu"));" \
  "S8 quelta $(m "S8 quelta per_cpu"), redis $(m "S8 redis per_cpu") ($(pratio "S8 quelta per_cpu" "S8 redis per_cpu"));" \
  "S9 quelta $(m "S9 quelta per_cpu"), redis $(m "S9 redis per_cpu") ($(pratio "S9 quelta per_cpu" "S9 redis per_cpu"));" \
  "S10 (sempre/segundo/nunca) quelta $(m "S10-sempre quelta per_cpu")/$(m "S10-segundo quelta per_cpu")/$(m "S10-nunca quelta per_cpu")," \
  "redis $(m "S10-sempre redis per_cpu")/$(m "S10-segundo redis per_cpu")/$(m "S10-nunca redis per_cpu")"
echo "p50/p99 latency (us): S1 quelta $(m "S1 quelta p50_us")/$(m "S1 quelta p99_us"), redis $(m "S1 redis p50_us")/$(m "S1 redis p99_us");" \
  "S2 quelta $(m "S2 quelta p50_us")/$(m "S2 quelta p99_us"), redis $(m "S2 redis p50_us")/$(m "S2 redis p99_us");" \
  "S3 quelta $(m "S3 quelta p50_us")/$(m "S3 quelta p99_us"), redis $(m "S3 redis p50_us")/$(m "S3 redis p99_us");" \
  "S8 quelta $(m "S8 quelta p50_us")/$(m "S8 quelta p99_us"), redis $(m "S8 redis p50_us")/$(m "S8 redis p99_us")"
echo "errors over all rounds: quelta$(for s in S1 S2 S3 S5 S6 S7 S7w S8 S9 S10-sempre S10-segundo S10-nunca; do echo -n " $s:${vals["$s quelta errors"]:-}"; done);" \
  "redis$(for s in S1 S2 S3 S5 S6 S7 S7w S8 S9 S10-sempre S10-segundo S10-nunca; do echo -n " $s:${vals["$s redis errors"]:-}"; done)"
