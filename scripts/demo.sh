#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine, builds the plug-in and the
# lumeno tool, and runs the tool's demo: every effect applied to a generated
# picture, written with a labelled contact sheet and the galleries of blend
# modes and grayscale methods to the folder given (default ./lumeno-demo).
#
#   scripts/demo.sh --docs   builds, then renews the pictures the docs show
#                            (docs/images/contact-sheet.png, blend-gallery.png,
#                            grayscale-gallery.png); no packages installed
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
docs=0
if [ "${1:-}" = "--docs" ]; then
  docs=1
  shift
fi
out="${1:-$PWD/lumeno-demo}"
[ "$docs" = 1 ] || bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target lumeno lumenoraw
if [ "$docs" = 0 ]; then
  "$root/build/lumeno" demo "$out"
  exit 0
fi
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
# The captions need the font; a sheet without them is not for the docs.
"$root/build/lumeno" demo "$tmp" 2>"$tmp/messages" >/dev/null || { cat "$tmp/messages" >&2; exit 1; }
if grep -q "no captions" "$tmp/messages"; then
  cat "$tmp/messages" >&2
  exit 1
fi
mkdir -p "$root/docs/images"
for f in contact-sheet.png blend-gallery.png grayscale-gallery.png; do
  cp "$tmp/$f" "$root/docs/images/$f"
  echo "docs/images/$f"
done
