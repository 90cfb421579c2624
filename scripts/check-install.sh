#!/usr/bin/env bash
# Installs the built library into a temporary prefix, checks the pkg-config
# file, builds the example plug-in against the installed package alone, and
# runs the example test program with that freshly built plug-in.
set -euo pipefail
build=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
libdir=$(dirname "$(find "$tmp/prefix" -name liblumenoraw.so | head -n 1)")
test -f "$tmp/prefix/include/lumeno/lumenoraw.h"
PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs lumenoraw >/dev/null
cmake -S "$src/examples/map_plugin" -B "$tmp/example" -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/example" >/dev/null
LUMENO_EXAMPLE_PLUGIN="$tmp/example/libexample_map_plugin.so" "$build/test_example"
