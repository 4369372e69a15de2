#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, then builds and runs a small
# outside program against it with find_package(korvanrt) and with pkg-config.
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer" >/dev/null
out=$(LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer/consumer")
echo "$out"
[ "$out" = "$(printf 'fp32 3.0\nModel argument error: Incompatible input shape')" ]

PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs korvanrt >/dev/null
g++ -o "$work/pc_consumer" "$source_dir/main.cpp" \
    $(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs korvanrt) \
    -Wl,-rpath-link,"$work/prefix/lib"
LD_LIBRARY_PATH="$work/prefix/lib" "$work/pc_consumer" >/dev/null
echo "install check passed"
