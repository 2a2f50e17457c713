#!/bin/sh
# Lists the symbols a built library exports for its own classes, demangled and
# sorted. Weak copies of Qt's inline functions are left out: they are Qt's.
#   exported-symbols.sh LIBRARY                  prints the list
#   exported-symbols.sh LIBRARY EXPECTED_LIST    fails when the two differ
set -eu
list() {
    nm -D --defined-only "$1" | awk '{ print $3 }' | c++filt \
        | grep -E '(^|[ :(])(Quor|Tavrel)[A-Za-z]*(::|$| )' | sort -u
}
if [ $# -eq 1 ]; then
    list "$1"
    exit 0
fi
if ! list "$1" | diff -u "$2" -; then
    echo "The exported symbols changed. If the ABI change is intended, update $2" >&2
    echo "with: $0 $1 > $2" >&2
    exit 1
fi
echo "exported symbols match $2"
