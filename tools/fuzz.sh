#!/bin/sh
# Builds and runs the libFuzzer targets of fuzz/ in a clang build folder of
# their own.
#
#   tools/fuzz.sh build <build-dir>                      configure and build
#   tools/fuzz.sh run <build-dir> <seconds> [target...]  build, then run each
#                                                        target that long
#
# Each run starts from the seeds in fuzz/corpus/<target>/ and the inputs
# found by earlier runs (<build-dir>/corpus/<target>/); an input that
# crashes is kept as <build-dir>/crash/<target>-… and the run fails. Exits
# 77 (skipped) when clang or libFuzzer is not installed.
set -eu

SRC=$(cd "$(dirname "$0")/.." && pwd)
# The targets as fuzz/CMakeLists.txt lists them.
TARGETS=$(sed -n 's/^set(fuzz_targets \(.*\))$/\1/p' "$SRC/fuzz/CMakeLists.txt")

usage() {
    echo "usage: $0 build <build-dir> | run <build-dir> <seconds> [target...]" >&2
    exit 2
}

[ $# -ge 2 ] || usage
MODE=$1
DIR=$2
shift 2

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzzing skipped: clang++ is not installed"
    exit 77
fi
# libFuzzer's runtime ships apart from the compiler on Debian.
if ! clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a | grep -q /; then
    echo "fuzzing skipped: libFuzzer is not installed"
    exit 77
fi

build() {
    if [ ! -f "$DIR/CMakeCache.txt" ]; then
        CC=clang CXX=clang++ cmake -S "$SRC" -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DBREV_FUZZ=ON >"$DIR.configure.log" 2>&1 || { cat "$DIR.configure.log"; exit 1; }
    fi
    # Concurrent builds of the same folder would trip over each other.
    cmake --build "$DIR" --target fuzz_all -j "${FUZZ_JOBS:-2}" >"$DIR.build.log" 2>&1 \
        || { tail -n 40 "$DIR.build.log"; exit 1; }
}

run_one() {
    target=$1
    seconds=$2
    corpus="$DIR/corpus/$target"
    mkdir -p "$corpus" "$DIR/crash" "$DIR/log"
    log="$DIR/log/$target.log"
    status=0
    # -rss_limit_mb and -timeout: a blow-up or a hang of one input is a finding too.
    "$DIR/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
        -max_len=16384 -artifact_prefix="$DIR/crash/$target-" "$corpus" "$SRC/fuzz/corpus/$target" \
        >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$log"
        echo "$target: FAILED after ${runs:-?} executions (input kept in $DIR/crash/)"
        return 1
    fi
    echo "$target: ${runs:-?} executions in $seconds s, no finding"
}

case "$MODE" in
build)
    build
    ;;
run)
    [ $# -ge 1 ] || usage
    seconds=$1
    shift
    [ $# -gt 0 ] || set -- $TARGETS
    build
    failed=0
    for t in "$@"; do
        run_one "$t" "$seconds" || failed=1
    done
    exit $failed
    ;;
*)
    usage
    ;;
esac
