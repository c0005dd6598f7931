#!/usr/bin/env bash
# Runs one fuzz target or all of them for longer, as many at a time as the machine has cores
# (ZARVO_FUZZ_JOBS overrides), and prints each one's executions, edges covered and findings.
# Usage: scripts/fuzz.sh [target[,target...]|all] [minutes]
# ZARVO_FUZZ_TIMEOUT (seconds, default 10) is how long one input may take: on a machine busy
# enough that a run at nice 19 gets little CPU, 10 s of wall time can pass inside a 1 s input.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
target="${1:-all}"
minutes="${2:-20}"
jobs="${ZARVO_FUZZ_JOBS:-$(nproc)}"
build="$here/build-fuzz"
cmake -S "$here" -B "$build" -G Ninja -DZARVO_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZARVO_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target zarvo_fuzz_targets
out="$build/fuzz-runs"
mkdir -p "$out"
if [ "$target" = all ]; then
  targets=$(cd "$build/fuzz" && ls *_fuzz | sed 's/_fuzz$//')
else
  targets="${target//,/ }"
fi
timeout="${ZARVO_FUZZ_TIMEOUT:-10}"
for t in $targets; do
  # Never more than $jobs at once.
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  rm -rf "$out/$t" && mkdir -p "$out/$t/corpus" "$out/$t/found"
  corpus=("$out/$t/corpus")
  [ -d "$here/fuzz/corpus/$t" ] && corpus+=("$here/fuzz/corpus/$t")
  dict=()
  [ -f "$build/fuzz/$t.dict" ] && dict=(-dict="$build/fuzz/$t.dict")
  echo "fuzz.sh: $t for $minutes min"
  nice -n 19 "$build/fuzz/${t}_fuzz" -max_total_time=$((minutes * 60)) -timeout="$timeout" -rss_limit_mb=2048 \
    -print_final_stats=1 -close_fd_mask=3 "${dict[@]}" -artifact_prefix="$out/$t/found/" \
    "${corpus[@]}" >"$out/$t.log" 2>&1 &
done
wait || true
printf '%-22s %14s %8s  %s\n' target executions edges findings
for t in $targets; do
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$out/$t.log" | awk '{print $2}' | tail -1)
  edges=$(grep -o 'cov: [0-9]*' "$out/$t.log" | awk '{print $2}' | tail -1)
  # A slow unit is an input that took over 10 s of wall time: kept for a look, not a failure.
  found=$(ls "$out/$t/found" | grep -vc '^slow-unit-' || true)
  slow=$(ls "$out/$t/found" | grep -c '^slow-unit-' || true)
  printf '%-22s %14s %8s  %s\n' "$t" "${execs:-?}" "${edges:-?}" \
    "$found (in $out/$t/found)$([ "$slow" -eq 0 ] || echo ", $slow slow units")"
done
