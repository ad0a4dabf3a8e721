#!/usr/bin/env bash
# Builds the libFuzzer targets (ASan + UBSan) and fuzzes the exported
# functions, then the C interface, each for a bounded time.
#   fuzz/run_fuzz.sh [SECONDS]        default 60 for the exported functions;
#                                     the C interface gets half of it
# Environment: ZUVO_FUZZ_BUILD_DIR (default build-fuzz), ZUVO_FUZZ_JOBS (default 2).
# Exits non-zero on any finding; the failing input is left in
# $ZUVO_FUZZ_BUILD_DIR/artifacts/ and can be replayed with
#   $ZUVO_FUZZ_BUILD_DIR/fuzz/fuzz_api <file>     (or fuzz_c_api)
# Needs clang++ and libclang-rt-14-dev; installs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SECONDS_TO_RUN=${1:-60}
BUILD=${ZUVO_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
JOBS=${ZUVO_FUZZ_JOBS:-2}

command -v clang++ >/dev/null || { echo "run_fuzz: clang++ is not installed" >&2; exit 2; }

cmake --preset fuzz -B "$BUILD" >/dev/null  # clang, the fuzzer only (CMakePresets.json)
cmake --build "$BUILD" --target fuzz_api fuzz_c_api -j"$JOBS"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
mkdir -p "$BUILD/artifacts"

fuzz() {  # fuzz TARGET SECONDS SEED_CORPUS...: new inputs go to a scratch corpus
    local target=$1 seconds=$2; shift 2
    local work="$BUILD/corpus-$target" log="$BUILD/$target.log" status
    mkdir -p "$work"
    echo "== fuzzing $target for ${seconds} s (log: $log)"
    set +e
    # close_fd_mask=1: the library's stdout diagnostics ("audio data
    # unavailable") would flood the log; libFuzzer and the sanitizers report
    # on stderr.
    "$BUILD/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -timeout=30 -rss_limit_mb=4096 \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$target-" \
        "$work" "$@" >"$log" 2>&1
    status=$?
    set -e
    grep -v '^absthr' "$log" | grep -E '^(#[0-9]+ +DONE|stat::|Done )|ERROR|invariant|SUMMARY' || true
    if [ $status -ne 0 ]; then
        echo "run_fuzz: $target FAILED (exit $status); last lines of the log:" >&2
        grep -v '^absthr' "$log" | tail -40 >&2
        exit 1
    fi
}

fuzz fuzz_api "$SECONDS_TO_RUN" "$ROOT/fuzz/corpus"
fuzz fuzz_c_api $(( (SECONDS_TO_RUN + 1) / 2 ))
echo "run_fuzz: no findings"
