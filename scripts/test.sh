#!/usr/bin/env bash
# The whole test suite, as CI runs it: install what is needed, then build and test twice, once
# normally and once with AddressSanitizer + UndefinedBehaviorSanitizer, and run the fuzz targets
# briefly where clang is present.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
# The library-wide leak list, for the programs that run TLS or WebRTC pipelines. Every other test
# program sets its own LSAN_OPTIONS in CTest (tests/CMakeLists.txt): whole allocation stacks and
# suppressions that name third-party functions, so a reference Zarvo forgets is reported.
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
# --leak-audit: the strict check for every program, TLS and WebRTC included. Several times slower
# there, so not CI's default.
if [ "${1:-}" = "--leak-audit" ]; then
  ASAN_OPTIONS="$ASAN_OPTIONS:fast_unwind_on_malloc=0"
  LSAN_OPTIONS="suppressions=$PWD/scripts/lsan-strict.supp:print_suppressions=0"
fi
export UBSAN_OPTIONS="suppressions=$PWD/scripts/ubsan.supp:print_stacktrace=1:halt_on_error=1"
# GLib's slice allocator and GIO modules confuse leak reports; plain malloc keeps them honest.
export G_SLICE=always-malloc G_DEBUG=gc-friendly

run() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600
}

# The fuzz configuration, only where clang is present (install-deps puts it there): the fuzz
# targets and the libraries they need, nothing else. It builds in the background while the
# optimised suite runs, whose real-time tests leave the cores idle much of the time.
fuzz_pid=
if command -v clang++ >/dev/null; then
  (cmake -S . -B build-fuzz -G Ninja -DZARVO_FUZZ=ON -DCMAKE_C_COMPILER=clang \
     -DCMAKE_CXX_COMPILER=clang++ -DZARVO_BUILD_BENCHMARKS=OFF &&
   nice -n 10 cmake --build build-fuzz -j "$jobs" --target zarvo_fuzz_targets) \
    >build-fuzz.log 2>&1 &
  fuzz_pid=$!
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 600
# Every fuzz target over its corpus (fuzz/corpus/) plus a short fixed number of new inputs; a
# crash, leak or time-out fails the run.
if [ -n "$fuzz_pid" ]; then
  wait "$fuzz_pid" || { cat build-fuzz.log; exit 1; }
  ctest --test-dir build-fuzz -L fuzz -j "$jobs" --output-on-failure
fi
# Benchmarks measure the optimised build only; leaving them out keeps CI's second build short.
run build-asan -DCMAKE_BUILD_TYPE=Debug -DZARVO_SANITIZE=ON -DZARVO_BUILD_BENCHMARKS=OFF
echo "test.sh: all builds passed"
