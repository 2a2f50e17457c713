#!/bin/bash
# SPDX-License-Identifier: MIT
# Runs the fuzz harnesses of a fuzz build, in one of two ways:
#
#   fuzz/run.sh --repeatable [harness...]           (CI: the same result every time)
#   fuzz/run.sh <cpu-seconds> [harness...]          (a campaign: new inputs every time)
#
# (default: every harness). --repeatable runs each harness from a fixed seed
# (-seed=) for a fixed number of inputs (-runs=, per harness below, about half
# a minute of one quiet core each) on a fresh copy of fuzz/corpus/<harness>,
# so that a run passes or fails by the code alone. A campaign runs each
# harness from a random seed until it has used the given seconds of CPU (user
# and system time, read from /proc), then interrupts it with SIGINT, on which
# libFuzzer prints its final stats; its working corpus in
# <build>/fuzz-work/<harness>/corpus, seeded from fuzz/corpus/<harness>, is
# kept between campaigns. TAVREL_FUZZ_WALL_LIMIT=<seconds> also stops each
# harness of a campaign after that much wall time, for a busy machine.
#
# The build is $TAVREL_FUZZ_DIR (default: build-fuzz below the source tree),
# configured with
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTAVREL_BUILD_FUZZERS=ON
# and built beforehand: this script builds nothing. Each harness runs under
# nice -n 19, in <build>/fuzz-work (<build>/fuzz-repeatable for --repeatable),
# so the source tree stays untouched; crash inputs land in its
# <harness>/artifacts. The inputs that once crashed a harness,
# fuzz/regressions/<harness>, are replayed first.
#
# Prints per harness the executions, exec/s, coverage and corpus size, and
# exits non-zero when a harness crashed or did not run.
set -euo pipefail
fuzz_dir=$(cd "$(dirname "$0")" && pwd)
build=${TAVREL_FUZZ_DIR:-$fuzz_dir/../build-fuzz}
wall_limit=${TAVREL_FUZZ_WALL_LIMIT:-0}
all_harnesses=(fuzz_parseresponse fuzz_fromxml fuzz_serverrequest fuzz_fastcodec)
# Inputs per harness for --repeatable: the harnesses differ in speed by a
# factor of ten (the server's harness runs a whole connection per input).
declare -A repeatable_runs=(
    [fuzz_parseresponse]=300000
    [fuzz_fromxml]=300000
    [fuzz_serverrequest]=60000
    [fuzz_fastcodec]=80000
)
repeatable_seed=1

usage() {
    echo "usage: $0 --repeatable [harness...] | $0 <cpu-seconds> [harness...]" >&2
    echo "  (harnesses: ${all_harnesses[*]})" >&2
    exit 2
}
[ $# -ge 1 ] || usage
repeatable=0
cpu_limit=0
if [ "$1" = --repeatable ]; then
    repeatable=1
    build_work=$build/fuzz-repeatable
elif [[ $1 =~ ^[0-9]+$ ]]; then
    cpu_limit=$1
    build_work=$build/fuzz-work
else
    usage
fi
shift
for harness in "$@"; do
    [ -n "${repeatable_runs[$harness]:-}" ] || usage
done
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=("${all_harnesses[@]}")
ticks_per_second=$(getconf CLK_TCK)

# CPU seconds used so far by a process, its threads included.
cpu_seconds() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || { echo 0; return; }
    # Fields after the command name, which sits in parentheses and may hold spaces.
    read -r -a fields <<<"${stat##*) }"
    echo $(((fields[11] + fields[12]) / ticks_per_second))
}

run_harness() {
    local harness=$1
    local binary=$build/fuzz/$harness
    local work=$build_work/$harness
    [ -x "$binary" ] || { echo "$harness: not built in $build" >&2; return 1; }
    rm -rf "$work/artifacts"
    # A repeatable run starts from the checked-in corpus alone.
    [ $repeatable = 0 ] || rm -rf "$work/corpus"
    mkdir -p "$work/corpus" "$work/artifacts"
    local seed
    for seed in "$fuzz_dir/corpus/$harness"/*; do
        [ -e "$work/corpus/${seed##*/}" ] || cp "$seed" "$work/corpus/"
    done
    if [ -d "$fuzz_dir/regressions/$harness" ]; then
        nice -n 19 "$binary" "$fuzz_dir/regressions/$harness"/* >"$work/regressions.log" 2>&1 || {
            echo "$harness: an input of fuzz/regressions/$harness crashes it again:"
            grep -E -m 5 'Running|ERROR|broken invariant|SUMMARY' "$work/regressions.log" | sed 's/^/  /'
            return 1
        }
    fi
    local dictionary=$fuzz_dir/xml.dict
    if [ "$harness" = fuzz_serverrequest ]; then
        cat "$fuzz_dir/http.dict" "$fuzz_dir/xml.dict" >"$work/dictionary"
        dictionary=$work/dictionary
    fi

    local options=(-dict="$dictionary" -print_final_stats=1 -timeout=25
        -artifact_prefix="$work/artifacts/")
    if [ $repeatable = 1 ]; then
        # Without address randomisation the values libFuzzer sees compared
        # (pointers among them) and so its mutations are the same every run;
        # QT_HASH_SEED fixes the order of Qt's hashes, and -reload=0 keeps
        # libFuzzer from rereading the corpus on a timer.
        options+=(-seed=$repeatable_seed -runs="${repeatable_runs[$harness]}" -reload=0)
        QT_HASH_SEED=0 setarch "$(uname -m)" -R nice -n 19 "$binary" "${options[@]}" "$work/corpus" \
            >"$work/log" 2>&1 &
    else
        nice -n 19 "$binary" "${options[@]}" "$work/corpus" >"$work/log" 2>&1 &
    fi
    local pid=$! started=$SECONDS used=0
    while kill -0 $pid 2>/dev/null; do
        used=$(cpu_seconds $pid)
        if [ $repeatable = 0 ] && { [ "$used" -ge "$cpu_limit" ] \
            || { [ "$wall_limit" -gt 0 ] && [ $((SECONDS - started)) -ge "$wall_limit" ]; }; }; then
            kill -INT $pid 2>/dev/null || true
            break
        fi
        sleep 1
    done
    local status=0
    wait $pid || status=$?

    local executions speed coverage features corpus
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -1)
    local last
    last=$(grep -E '^#[0-9]+.* cov: ' "$work/log" | tail -1 || true)
    coverage=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    features=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corpus=$(find "$work/corpus" -type f | wc -l)
    printf '%s: %s executions, %s exec/s, cov: %s ft: %s, corpus %s inputs, %s s CPU, %s s wall\n' \
        "$harness" "${executions:-?}" "${speed:-?}" "${coverage:-?}" "${features:-?}" \
        "$corpus" "$used" "$((SECONDS - started))"

    local crashes
    crashes=$(find "$work/artifacts" -type f ! -name 'slow-unit-*' | sort)
    if [ -n "$crashes" ]; then
        echo "$harness: CRASHED; input and log:"
        echo "$crashes" | sed 's/^/  /'
        echo "  $work/log"
        grep -E -m 5 'ERROR|broken invariant|SUMMARY' "$work/log" | sed 's/^/  /' || true
        return 1
    fi
    # libFuzzer ends with 0, or with 72 (its exit code when interrupted) on Ctrl-C.
    if [ $status -ne 0 ] && [ $status -ne 72 ] && [ $status -ne 130 ]; then
        echo "$harness: ended with status $status, see $work/log"
        return 1
    fi
}

failed=0
for harness in "${harnesses[@]}"; do
    run_harness "$harness" || failed=1
done
exit $failed
