#!/bin/sh
# SPDX-License-Identifier: MIT
# Lists the symbols a built library exports, demangled and sorted: its own
# classes' members, and the typeinfo, vtables and thunks the C++ ABI needs for
# them. Any other defined dynamic symbol (a standard-library or Qt template
# instance, say) fails the check: the library must not export it.
#   exported-symbols.sh LIBRARY                  prints the list
#   exported-symbols.sh LIBRARY EXPECTED_LIST    fails when the two differ
set -eu
own='^((typeinfo|typeinfo name|vtable|VTT) for |(non-)?virtual thunk to )?(Quor|Tavrel)[A-Za-z0-9_]*(::|$| |\()'
defined() {
    nm -D --defined-only "$1" | awk '{ print $3 }' | c++filt | sort -u
}
list() {
    defined "$1" | grep -E "$own" || true
}
if [ $# -eq 1 ]; then
    list "$1"
    exit 0
fi
foreign=$(defined "$1" | grep -v -E "$own" || true)
if [ -n "$foreign" ]; then
    echo "$1 exports symbols that are not its own:" >&2
    echo "$foreign" >&2
    echo "Keep them local (cmake/tavrel.map) or hidden." >&2
    exit 1
fi
if ! list "$1" | diff -u "$2" -; then
    echo "The exported symbols changed. If the ABI change is intended, update $2" >&2
    echo "with: $0 $1 > $2" >&2
    exit 1
fi
echo "exported symbols match $2, and no other symbol is exported"
