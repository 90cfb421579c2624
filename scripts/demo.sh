#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine, builds the plug-in and the
# lumeno tool, and runs the tool's demo: every effect applied to a generated
# picture, written with a contact sheet to the folder given (default
# ./lumeno-demo).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$PWD/lumeno-demo}"
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target lumeno lumenoraw
"$root/build/lumeno" demo "$out"
