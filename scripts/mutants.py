#!/usr/bin/env python3
"""Measures how many small faults the test suite finds.

Draws a seeded random sample of single-site mutants from the plug-in's
sources (a comparison flipped, a constant off by one, a shift or an
arithmetic operator changed, && for ||), and for each one rebuilds, runs the
test suite and records whether a test failed (killed) or not (survived).
Mutants that do not compile are stillborn: they are replaced by the next
site of the sample and not counted. The kill rate is killed / (killed +
survived). The source tree is restored after every mutant, also on Ctrl-C.

Run through scripts/mutants.sh, which builds the tree first.
"""
import argparse
import os
import random
import re
import signal
import subprocess
import sys
import time

# Each operator: a pattern and what it becomes. Binary operators are matched
# with the spaces clang-format puts around them, which keeps template angle
# brackets and pointer arrows out of the sample.
def spaced(op):
    return re.compile(r"(?<=\s)" + re.escape(op) + r"(?=\s)")


SWAPS = {
    "cmp": "<= <, >= >, < <=, > >=, == !=, != ==",
    "logic": "&& ||, || &&",
    "shift": ">> <<, << >>",
    "arith": "+ -, - +, * /",
}
OPERATORS = [(kind, spaced(a), b) for kind, pairs in SWAPS.items()
             for a, b in (pair.split() for pair in pairs.split(", "))]
OPERATORS.append(("const", re.compile(r"(?<![\w.])\d+(?![\w.'])"), None))

SKIP_LINE = re.compile(r"^\s*(#|static_assert|//|\*|/\*)")


def code_part(line):
    """The line with string and character literals blanked and any // comment cut."""
    out, quote, i = [], None, 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(" " if c != quote else c)
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)


def sites(root, dirs):
    found = []
    for d in dirs:
        for base, _, files in os.walk(os.path.join(root, d)):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.relpath(os.path.join(base, name), root)
                in_block = False
                with open(os.path.join(root, path)) as f:
                    for number, line in enumerate(f, 1):
                        if in_block:
                            if "*/" in line:
                                in_block = False
                            continue
                        if "/*" in line and "*/" not in line:
                            in_block = True
                            continue
                        if SKIP_LINE.match(line):
                            continue
                        code = code_part(line.rstrip("\n"))
                        for kind, pattern, repl in OPERATORS:
                            for m in pattern.finditer(code):
                                new = repl if repl is not None else str(int(m.group()) + 1)
                                found.append((path, number, m.start(), m.end(), kind, new))
    found.sort()
    return found


def apply(root, site):
    path, number, start, end, _, new = site
    full = os.path.join(root, path)
    with open(full) as f:
        lines = f.readlines()
    original = lines[number - 1]
    lines[number - 1] = original[:start] + new + original[end:]
    with open(full, "w") as f:
        f.writelines(lines)
    return full, original, lines[number - 1]


def restore(full, number, original):
    with open(full) as f:
        lines = f.readlines()
    lines[number - 1] = original
    with open(full, "w") as f:
        f.writelines(lines)


def run(cmd, timeout):
    try:
        return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--root", default=".")
    ap.add_argument("--build", default="build-mutants")
    ap.add_argument("--seed", type=int, default=20261206)
    ap.add_argument("--count", type=int, default=40)
    ap.add_argument("--dirs", default="engine effects shell colormath")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--exclude-tests", default="install_example",
                    help="ctest -E pattern of tests not run for each mutant")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--sites", default="",
                    help="comma-separated PATH:LINE:COLUMN of sites to run instead of a sample")
    ap.add_argument("--timeout", type=int, default=600, help="seconds for one suite run")
    args = ap.parse_args()

    root = os.path.abspath(args.root)
    all_sites = sites(root, args.dirs.split())
    order = list(range(len(all_sites)))
    random.Random(args.seed).shuffle(order)
    if args.sites:
        wanted = args.sites.split(",")
        order = [i for i in range(len(all_sites))
                 if f"{all_sites[i][0]}:{all_sites[i][1]}:{all_sites[i][2] + 1}" in wanted]
        args.count = len(order)
    print(f"{len(all_sites)} mutation sites in {args.dirs}; seed {args.seed}", flush=True)
    if args.list:
        for i in order[: args.count]:
            p, n, s, e, kind, new = all_sites[i]
            print(f"{p}:{n}:{s + 1} {kind} -> {new}")
        return 0

    build = ["cmake", "--build", args.build, "-j", str(args.jobs)]
    test = ["ctest", "--test-dir", args.build, "-j", str(args.jobs), "--stop-on-failure",
            "-E", args.exclude_tests, "--timeout", str(args.timeout)]
    killed = survived = stillborn = 0
    survivors = []
    current = None

    def on_signal(signum, _frame):
        if current:
            restore(*current)
        sys.exit(128 + signum)

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    for i in order:
        if killed + survived >= args.count:
            break
        site = all_sites[i]
        full, original, mutated = apply(root, site)
        current = (full, site[1], original)
        started = time.time()
        try:
            if run(build, 1800) != 0:
                stillborn += 1
                verdict = "stillborn"
            elif run(test, args.timeout * 4) != 0:
                killed += 1
                verdict = "killed"
            else:
                survived += 1
                verdict = "SURVIVED"
                survivors.append(f"{site[0]}:{site[1]}: {mutated.strip()}")
        finally:
            restore(*current)
            current = None
        print(f"{verdict:9} {site[0]}:{site[1]}:{site[2] + 1} {site[4]} -> {site[5]}"
              f"  ({time.time() - started:.0f} s)", flush=True)
    run(build, 1800)  # leave the build matching the restored sources
    total = killed + survived
    rate = 100.0 * killed / total if total else 0.0
    print(f"\nkilled {killed} of {total} mutants ({rate:.1f} %), {stillborn} stillborn")
    for s in survivors:
        print(f"  survived: {s}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
