#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the consumer with nothing but pkg-config and the compiler.
#   build-with-pkg-config.sh PACKAGE OUTPUT_DIR      (PACKAGE: tavrel or tavrel-qt6)
set -eu
package=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
qt=$(pkg-config --modversion "$package" >/dev/null && pkg-config --print-requires "$package" | head -n 1 | cut -c3)
moc=$(pkg-config --variable=libexecdir "Qt${qt}Core" 2>/dev/null)/moc
[ -x "$moc" ] || moc=$(pkg-config --variable=host_bins "Qt${qt}Core")/moc
mkdir -p "$out"
"$moc" "$here/main.cpp" -o "$out/main.moc"
# Qt is built to need position-independent code in its users.
c++ -std=c++17 -fPIC -I"$out" "$here/main.cpp" -o "$out/consumer" $(pkg-config --cflags --libs "$package")
