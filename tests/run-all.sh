#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds and tests everything a release needs, from a clean tree:
#   1. the Qt 5 build (warnings as errors, benchmarks built but not run), its
#      whole test suite and the API documentation,
#   2. the Qt 6 build and the same suite,
#   3. both builds installed, and a consumer built against each install with
#      CMake's find_package and with pkg-config, then run, and so is the
#      installed tavrel-call,
#   4. the build configured with each optional peer hidden (xmlrpc-c, Google
#      Benchmark, KDBusAddons, doxygen, Python) and what it affects built,
#   5. the client, server and instance tests of the Qt 5 build under
#      valgrind's memcheck: no memory error, no definite leak,
#   6. the Qt 5 build with address, leak and undefined-behaviour sanitizers
#      and the whole suite under them,
#   7. the libFuzzer harnesses built with clang and run repeatably (fuzz/run.sh
#      --repeatable: a fixed seed and number of inputs, under a minute of CPU
#      each), the inputs that once crashed them replayed first,
#   8. the Debian packages built, checked with lintian and installed, and a
#      consumer built against them.
# Build trees go to build-ci/ below the source tree.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=${TAVREL_CI_DIR:-$source_dir/build-ci}
jobs=$(nproc)
rm -rf "$work"
mkdir -p "$work"

step() { printf '\n=== %s\n' "$*"; }

for qt in 5 6; do
    build=$work/qt$qt
    qt6=$([ $qt = 6 ] && echo ON || echo OFF)
    step "Qt $qt: build"
    # The benchmarks are built, not run: their figures need a quiet machine (bench/README.md).
    cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_QT6=$qt6 -DTAVREL_WERROR=ON \
        -DTAVREL_BUILD_BENCHMARKS=ON
    cmake --build "$build" -j"$jobs"
    step "Qt $qt: tests"
    ctest --test-dir "$build" --output-on-failure
    if [ $qt = 5 ]; then
        step "API documentation (doxygen; any warning fails)"
        cmake --build "$build" --target docs
    fi

    step "Qt $qt: install and build consumers against it"
    prefix=$work/install-qt$qt
    cmake --install "$build" --prefix "$prefix"
    package=$([ $qt = 6 ] && echo tavrel-qt6 || echo tavrel)
    cmake -S "$source_dir/tests/consumer" -B "$work/consumer-cmake-qt$qt" -DTAVREL_QT6=$qt6 \
        -DCMAKE_PREFIX_PATH="$prefix"
    cmake --build "$work/consumer-cmake-qt$qt"
    LD_LIBRARY_PATH=$prefix/lib "$work/consumer-cmake-qt$qt/consumer"
    PKG_CONFIG_PATH=$prefix/lib/pkgconfig \
        "$source_dir/tests/consumer/build-with-pkg-config.sh" "$package" "$work/consumer-pkgconfig-qt$qt"
    LD_LIBRARY_PATH=$prefix/lib "$work/consumer-pkgconfig-qt$qt/consumer"
    echo "consumers built with CMake and pkg-config against Qt $qt ran"
    tool=$([ $qt = 6 ] && echo tavrel-call-qt6 || echo tavrel-call)
    LD_LIBRARY_PATH=$prefix/lib "$prefix/bin/$tool" --help >/dev/null
    echo "the installed $tool ran"
done

step "Optional peers hidden one at a time: the build still configures and builds, and says what it left out"
# What each peer affects is built again in one tree; the rest is built once.
peers=$work/peers
while read -r hidden package targets; do
    echo "--- without $hidden"
    cmake -S "$source_dir" -B "$peers" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_WERROR=ON \
        -DTAVREL_BUILD_BENCHMARKS=ON -DCMAKE_DISABLE_FIND_PACKAGE_XmlrpcC=OFF \
        -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=OFF -DCMAKE_DISABLE_FIND_PACKAGE_KF5DBusAddons=OFF \
        -DCMAKE_DISABLE_FIND_PACKAGE_Doxygen=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Python3=OFF \
        -DCMAKE_DISABLE_FIND_PACKAGE_$hidden=ON >"$peers.log"
    said=$(grep -c "(apt-get install .*$package.*)" "$peers.log" || true)
    [ "$said" = 1 ] || { echo "configuring without $hidden said so $said times:"; cat "$peers.log"; exit 1; }
    grep "(apt-get install .*$package.*)" "$peers.log"
    # shellcheck disable=SC2086
    [ "$targets" = - ] || cmake --build "$peers" -j"$jobs" --target $targets
done <<'PEERS'
XmlrpcC libxmlrpc-core-c3-dev keepalive_bench throughput_bench codec_bench
benchmark libbenchmark-dev keepalive_bench throughput_bench handoff_bench
KF5DBusAddons libkf5dbusaddons-dev -
Doxygen doxygen -
Python3 python3 tst_codecinterop
PEERS

step "Qt 5 under valgrind (memcheck): client, server and instance tests"
# TAVREL_UNDER_VALGRIND leaves out the 200 MiB response, which would take most
# of an hour there; the sanitizer build below runs it.
for test in tst_quorxmlrpcclient tst_quorxmlrpcserver tst_tavrel tst_tavrelserver tst_hostilepeers; do
    echo "--- $test"
    (cd "$work/qt5/tests" && TAVREL_UNDER_VALGRIND=1 valgrind --tool=memcheck --leak-check=full \
        --errors-for-leak-kinds=definite --error-exitcode=1 --num-callers=30 \
        --suppressions="$source_dir/tests/valgrind.supp" "./$test")
done

step "Qt 5 with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer: build and tests"
sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
cmake -S "$source_dir" -B "$work/sanitizers" -DCMAKE_BUILD_TYPE=Debug -DTAVREL_WERROR=ON \
    -DCMAKE_CXX_FLAGS="$sanitizers -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitizers" -DCMAKE_SHARED_LINKER_FLAGS="$sanitizers"
cmake --build "$work/sanitizers" -j"$jobs"
ctest --test-dir "$work/sanitizers" --output-on-failure

step "Fuzzers (clang, libFuzzer with address and undefined-behaviour sanitizers): build and run"
# The configuration fuzz/run.sh documents, with warnings as errors.
CC=clang CXX=clang++ cmake -S "$source_dir" -B "$work/fuzz" -DTAVREL_BUILD_FUZZERS=ON -DTAVREL_WERROR=ON
cmake --build "$work/fuzz" -j"$jobs"
TAVREL_FUZZ_DIR="$work/fuzz" "$source_dir/fuzz/run.sh" --repeatable

step "Debian packages: build, lintian, install, consumer"
"$source_dir/debian/build-and-check.sh" "$work/debian"
