# Sourced by the benchmark scripts, after they have set top (the source
# tree): the Release build, a temporary directory of the run's own, and the
# clean-up that ends the run's children by PID and removes that directory.

build=${BENCH_BUILD:-/tmp/build-bench}
client_cpu=${client_cpu:-1}

# bench_build TARGET...: builds the targets in Release in $build; sets
# quelta (QUELTA=/path/to/quelta for another build) and loadgen.
bench_build() {
  echo "== building (Release) in $build"
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUELTA_TESTS=OFF >/dev/null
  cmake --build "$build" -j 2 --target "$@" >/dev/null
  quelta=${QUELTA:-$build/quelta}
  loadgen=$build/bench/bench_loadgen
}

# bench_workdir NAME: makes /tmp/quelta-NAME.XXXXXX and goes into it, so
# nothing the run does leaves a file behind in the caller's directory.
# Whatever the run starts goes into children; at exit those still running
# are ended and the directory is removed (also on Ctrl-C).
bench_workdir() {
  work=$(mktemp -d "/tmp/quelta-$1.XXXXXX")
  cd "$work"
  children=()
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}

bench_cleanup() {
  local pid
  for pid in "${children[@]}"; do  # only our own, still running, children
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}

lg() { taskset -c "$client_cpu" "$loadgen" "$@"; }
# field LINE NAME: the value of NAME=... in a load generator's result line.
field() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" <<<"$1"; }
