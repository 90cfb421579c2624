#!/usr/bin/env bash
# Builds and runs the benchmark suite (bench/) and writes its ratio table,
# with a description of the machine, into docs/performance.md between the
# "bench:begin" and "bench:end" markers; the text around them is kept.
#
#   scripts/bench.sh                 the target table: 4096x4096 on 2 threads
#   scripts/bench.sh --quick         sizes up to 1024 (the suite's default run)
#   scripts/bench.sh --filter REGEX  any selection, e.g. '/8192/t8' or '^invert/'
#   scripts/bench.sh --no-doc ...    print the table only, leave the document alone
#
# Other arguments go to the benchmark program (e.g. --benchmark_min_time=1).
# BUILD_DIR (default build-bench) is the build folder. Numbers taken while
# other work runs on the machine are noisy: run it on an idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."

filter='/4096/t2/'
write_doc=1
extra=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --quick) filter='/(64|256|1024)/t'; shift ;;
    --filter) filter="$2"; shift 2 ;;
    --no-doc) write_doc=0; shift ;;
    *) extra+=("$1"); shift ;;
  esac
done

build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target lumenoraw lumeno_bench

table=$(mktemp)
trap 'rm -f "$table"' EXIT
"$build/lumeno_bench" --benchmark_filter="$filter" --benchmark_min_time=0.2 \
  --lumeno_markdown="$table" "${extra[@]}"

if [[ $write_doc -eq 1 ]]; then
  doc=docs/performance.md
  python3 - "$doc" "$table" "$filter" <<'PY'
import sys
doc, table, selection = sys.argv[1], sys.argv[2], sys.argv[3]
text = open(doc).read()
begin, end = "<!-- bench:begin -->", "<!-- bench:end -->"
head, rest = text.split(begin, 1)
_, tail = rest.split(end, 1)
body = open(table).read().strip()
command = "scripts/bench.sh --filter '%s'" % selection
text = "%s%s\n`%s`\n\n%s\n%s%s" % (head, begin, command, body, end, tail)
open(doc, "w").write(text)
PY
  echo "wrote the table into $doc"
fi
