#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 (AddressSanitizer and
# UndefinedBehaviorSanitizer, float-cast-overflow included) in build-fuzz and
# runs them for a bounded time each.
#
#   scripts/fuzz.sh [--seconds N] [--jobs J] [--keep-going] [--replay|--merge] all|TARGET...
#
# TARGET is blend, effects or image_readers. Each run starts from
# the checked-in corpus tests/fuzz/corpus/<target>/ and a scratch corpus in
# build-fuzz/corpus/<target>/ (kept between runs, so longer campaigns are
# repeated calls or a larger --seconds). Inputs that fail are written to
# build-fuzz/findings/<target>/; copy each into tests/fuzz/corpus/<target>/
# once it is understood, so the normal suite replays it.
# --keep-going goes on after a failing input (libFuzzer's fork mode with J
# workers), so a known fault does not stop the search for others.
# --replay only runs every checked-in input once (no fuzzing).
# --merge shrinks the scratch corpus into the checked-in one (coverage-
# increasing inputs only), for refreshing the regression cases.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=60
jobs=1
mode=fuzz
keep=0
targets=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --keep-going) keep=1; shift ;;
    --replay) mode=replay; shift ;;
    --merge) mode=merge; shift ;;
    all) targets+=(blend effects image_readers); shift ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[[ ${#targets[@]} -gt 0 ]] || { echo "usage: $0 [--seconds N] [--replay|--merge] all|TARGET..." >&2; exit 2; }

flags="-fsanitize=fuzzer-no-link,address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DLUMENO_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for t in "${targets[@]}"; do
  exe=build-fuzz/fuzz_$t
  seeds=tests/fuzz/corpus/$t
  scratch=build-fuzz/corpus/$t
  findings=build-fuzz/findings/$t
  mkdir -p "$seeds" "$scratch" "$findings"
  case $mode in
    replay)
      echo "== $t: replaying $(ls "$seeds" | wc -l) inputs"
      "$exe" -runs=0 "$seeds" || status=1 ;;
    merge)
      "$exe" -merge=1 "$seeds" "$scratch" || status=1 ;;
    fuzz)
      echo "== $t: fuzzing for $seconds s"
      rc=0
      before=$(ls "$findings" | wc -l)
      if [[ $keep -eq 1 ]]; then
        parallel=(-fork="$jobs" -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1)
      elif [[ $jobs -gt 1 ]]; then
        parallel=(-jobs="$jobs" -workers="$jobs")
      else
        parallel=()
      fi
      # Worker logs (fuzz-N.log) go to build-fuzz/logs/<target>/.
      mkdir -p "build-fuzz/logs/$t"
      (cd "build-fuzz/logs/$t" && "$root/$exe" -max_total_time="$seconds" "${parallel[@]}" \
        -max_len=4096 -timeout=25 -rss_limit_mb=4096 -artifact_prefix="$root/$findings/" \
        -print_final_stats=1 "$root/$scratch" "$root/$seeds") >"build-fuzz/$t.log" 2>&1 || rc=$?
      grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|fuzz check failed)|runtime error' \
        "build-fuzz/$t.log" || true
      if [[ $rc -ne 0 || $(ls "$findings" | wc -l) -ne $before ]]; then status=1; echo "!! $t found a failing input: see $findings/ and build-fuzz/$t.log"; fi ;;
  esac
done
exit $status
