#!/usr/bin/env bash
# A long random stress run through the project's host.
#
#   scripts/stress-long.sh SEED OPS [plain|address|thread]
#
# Builds test_stress (build-stress, or build-stress-asan / build-stress-tsan
# with the sanitizers) and runs the random script with that seed for OPS
# operations, e.g. scripts/stress-long.sh 7 1000000. Any seed reproduces its
# run exactly on the same build; a failure names the operation that broke a
# promise. The closing line gives the counts of the run.
set -euo pipefail
cd "$(dirname "$0")/.."
[[ $# -ge 2 ]] || { sed -n '2,10p' "$0"; exit 2; }
seed=$1
ops=$2
kind=${3:-plain}
case $kind in
  plain) dir=build-stress; args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  address) dir=build-stress-asan; args=(-DLUMENO_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1) ;;
  thread) dir=build-stress-tsan; args=(-DLUMENO_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1) ;;
  *) echo "unknown build kind $kind" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" "${args[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target test_stress
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
start=$(date +%s)
LUMENO_STRESS_SEED=$seed LUMENO_STRESS_OPS=$ops \
  "$dir/test_stress" --gtest_filter='StressTest.RandomScriptKeepsEveryPromise'
echo "seed $seed, $ops operations, $kind build: $(( $(date +%s) - start )) s"
