#!/bin/bash
# Checks that the plug-in reaches no instruction of a wider level outside
# the code of that level's files (x86/*_avx2.cpp, *_avx512.cpp), which run
# only after the processor said it has the level:
#  1. a level object defines no inline or template function of external
#     linkage (weak symbols): the linker could take its wide copy for the
#     plain code's;
#  2. every function of the library that uses VEX or EVEX instructions is
#     one that a level object defines.
# Usage: check-levels.sh LIBRARY OBJECT_DIRECTORY
set -euo pipefail
library=$1
objects=$2
mapfile -t levels < <(find "$objects" -path '*/x86/*' \( -name '*_avx2.cpp.o' -o -name '*_avx512.cpp.o' \))
if [ ${#levels[@]} -eq 0 ]; then
  echo "no level objects under $objects" >&2
  exit 1
fi
status=0
allowed=$(mktemp)
trap 'rm -f "$allowed"' EXIT
for object in "${levels[@]}"; do
  weak=$(nm -C --defined-only "$object" | awk '$2 ~ /^[WwVvu]$/' || true)
  if [ -n "$weak" ]; then
    echo "$object defines inline functions of external linkage:" >&2
    echo "$weak" >&2
    status=1
  fi
  nm -C --defined-only "$object" | awk '$2 ~ /^[Tt]$/ { $1 = ""; $2 = ""; sub(/^ +/, ""); print }' \
    >>"$allowed"
done
wide=$(objdump -d --no-show-raw-insn -C "$library" | awk '
  /^[0-9a-f]+ <.*>:$/ { name = $0; sub(/^[0-9a-f]+ </, "", name); sub(/>:$/, "", name); next }
  /\t(v[a-z0-9]+|k[a-z]+[bwdq])[ \t]/ { if (!(name in seen)) { seen[name] = 1; print name } }')
while IFS= read -r name; do
  [ -z "$name" ] && continue
  if ! grep -qxF -- "$name" "$allowed"; then
    echo "wide instructions outside the level files: $name" >&2
    status=1
  fi
done <<<"$wide"
exit $status
