#!/usr/bin/env bash
# Mutation sample of the test suite: builds the tree once in build-mutants/
# (Release, so each mutant recompiles quickly), then for a seeded sample of
# single-site mutants in engine/, effects/, shell/ and colormath/ rebuilds,
# runs the suite and prints the kill rate and the surviving mutants.
#   bash scripts/mutants.sh [--count N] [--seed S] [--dirs "engine effects"] [--list]
# Figures and how to read them: docs/testing.md.
# Works on the checkout that holds the current folder, so a copy of this
# script can measure another worktree.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$(git rev-parse --show-toplevel)"
case " $* " in *" --help "*|*" -h "*) exec python3 "$here/mutants.py" --help ;; esac
build=build-mutants
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMENO_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
ctest --test-dir "$build" -j "$(nproc)" -E install_example >/dev/null ||
  { echo "the suite fails without any mutant: fix that first" >&2; exit 1; }
exec python3 "$here/mutants.py" --build "$build" "$@"
