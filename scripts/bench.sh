#!/usr/bin/env bash
# Builds and runs the benchmark suite (bench/) and writes its ratio table,
# with a description of the machine, into docs/performance.md between the
# "bench:begin" and "bench:end" markers; the text around them is kept. It
# also draws the table as charts next to that file (gnuplot): each effect's
# time against the memory limit, per format and thread count
# (docs/performance-chart.png), and against OpenCV's nearest operation where
# the table has those numbers (docs/performance-opencv.png).
#
#   scripts/bench.sh                 the target table: 4096x4096 on 2 threads
#   scripts/bench.sh --quick         sizes up to 1024 (the suite's default run)
#   scripts/bench.sh --filter REGEX  any selection, e.g. '/8192/t8' or '^invert/'
#   scripts/bench.sh --no-doc ...    print the table only, leave the document alone
#   scripts/bench.sh --chart [FILE]  no run: draw the charts from a ratio table in
#                                    FILE (default: the one in docs/performance.md)
#   --chart-to DIR                   write the charts to DIR instead of docs/
#
# Other arguments go to the benchmark program (e.g. --benchmark_min_time=1).
# BUILD_DIR (default build-bench) is the build folder. Numbers taken while
# other work runs on the machine are noisy: run it on an idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."

filter='/4096/t2/'
write_doc=1
chart_only=0
chart_source=docs/performance.md
chart_dir=docs
extra=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --quick) filter='/(64|256|1024)/t'; shift ;;
    --filter) filter="$2"; shift 2 ;;
    --no-doc) write_doc=0; shift ;;
    --chart)
      chart_only=1
      if [[ $# -gt 1 && "$2" != --* ]]; then chart_source="$2"; shift; fi
      shift ;;
    --chart-to) chart_dir="$2"; shift 2 ;;
    *) extra+=("$1"); shift ;;
  esac
done

# Draws the ratio table in $1 (a markdown file holding the bench's table) as
# PNG charts into $2. gnuplot-nox is installed when missing (and allowed).
draw_charts() {
  if ! command -v gnuplot >/dev/null; then
    local sudo=""
    [[ $(id -u) -ne 0 ]] && sudo=sudo
    { $sudo apt-get update -qq && $sudo apt-get install -y -qq gnuplot-nox; } >/dev/null 2>&1 || true
  fi
  if ! command -v gnuplot >/dev/null; then
    echo "bench.sh: no gnuplot (apt-get install gnuplot-nox): no charts drawn" >&2
    return 0
  fi
  local work
  work=$(mktemp -d)
  local status=0
  python3 - "$1" "$2" "$work" <<'PY' || status=$?
import os, re, subprocess, sys
source, out_dir, work = sys.argv[1:4]

# The rows of the last table whose first column is "benchmark".
rows, header = [], None
for line in open(source):
    line = line.strip()
    if not line.startswith("|"):
        header = None
        continue
    cells = [c.strip() for c in line.strip("|").split("|")]
    if cells[0] == "benchmark":
        header, rows = cells, []
    elif header and not cells[0].startswith("-"):
        rows.append(dict(zip(header, cells)))

def ratio(text):
    try:
        return float((text or "").rstrip("x"))
    except ValueError:
        return None

# Plain runs: in place against memcpy into touched memory; the blend effect,
# which has no in-place form, with Apply against memcpy into a fresh bitmap.
runs = []  # (effect, format, threads, size, row)
for row in rows:
    parts = row["benchmark"].split("/")
    if len(parts) != 6 or parts[2] != "plain":
        continue
    effect, fmt, _, form, size, threads = parts
    blend = effect.startswith("blend.")
    if form == ("apply" if blend else "inplace"):
        runs.append((effect, fmt, int(threads[1:]), int(size), row))
if not runs:
    sys.exit("bench.sh: no plain effect rows in the table of %s" % source)
size = max(r[3] for r in runs)
runs = [r for r in runs if r[3] == size]
effects = list(dict.fromkeys(r[0] for r in runs))
series = sorted({(r[1], r[2]) for r in runs},
                key=lambda s: (int(re.sub(r"\D", "", s[0]) or 0), s[0], s[1]))

def chart(name, column_of, title, ylabel, line_label):
    values = {}
    for effect, fmt, threads, _, row in runs:
        v = ratio(row.get(column_of(effect)))
        if v is not None:
            values[(effect, fmt, threads)] = v
    shown = [e for e in effects if any((e, f, t) in values for f, t in series)]
    if not shown:
        return
    data = os.path.join(work, name + ".dat")
    with open(data, "w") as out:
        out.write("effect " + " ".join('"%s, %d thread%s"' % (f, t, "" if t == 1 else "s")
                                       for f, t in series) + "\n")
        for e in shown:
            out.write('"%s" %s\n' % (e, " ".join(
                "%.3f" % values[(e, f, t)] if (e, f, t) in values else "-" for f, t in series)))
    png = os.path.join(out_dir, name + ".png")
    script = """
set terminal pngcairo size %d,600 font "DejaVu Sans,10" noenhanced
set rmargin 10
set output "%s"
set title "%s"
set ylabel "%s"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set datafile missing "-"
set logscale y 2
set yrange [0.25:*]
set grid ytics
set xtics rotate by -45 scale 0
set key top left
plot for [i=2:%d] "%s" using i:xtic(1) title columnheader(i), \
     1 with lines lw 2 dt 2 lc rgb "#c00000" title "%s"
""" % (max(640, 160 + 12 * len(shown) * (len(series) + 1)), png, title, ylabel,
       len(series) + 1, data, line_label)
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    print(png)

area = "%dx%d" % (size, size)
chart("performance-chart",
      lambda e: "x memcpy fresh" if e.startswith("blend.") else "x memcpy touched",
      "Plain runs on %s RGBA: time against memcpy of the same pixels on as many threads\\n"
      "(the blend effect: Apply against memcpy into a new bitmap)" % area,
      "time / memcpy time (log scale)", "memcpy: the memory limit")
chart("performance-opencv", lambda e: "x OpenCV",
      "Plain runs on %s RGBA: time against OpenCV's nearest operation" % area,
      "time / OpenCV time (log scale)", "as fast as OpenCV")
PY
  rm -rf "$work"
  return $status
}

if [[ $chart_only -eq 1 ]]; then
  draw_charts "$chart_source" "$chart_dir"
  exit
fi

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
  draw_charts "$table" "$chart_dir"
fi
