#!/usr/bin/env bash
# Sets everything up, builds, and runs every test: the plain build, then the
# whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer and
# under ThreadSanitizer (separate build folders), then fuzzes every fuzz
# target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
run() {  # folder, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMENO_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}
run build
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  run build-asan -DLUMENO_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
    -DLUMENO_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run build-tsan -DLUMENO_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
    -DLUMENO_BENCH=OFF
# Bounded fuzzing of every target (clang, AddressSanitizer + UBSan); longer
# campaigns: scripts/fuzz.sh --seconds N all (docs/reliability.md).
bash scripts/fuzz.sh --seconds "${LUMENO_FUZZ_SECONDS:-20}" all
echo "all test runs passed"
