#!/usr/bin/env bash
# Reliability checks CI runs after the normal test run:
#   1. AddressSanitizer + UndefinedBehaviorSanitizer build, whole test suite;
#   2. ThreadSanitizer build, the threading tests;
#   3. libFuzzer over the exported functions and the C interface (ASan + UBSan), bounded time;
#   4. valgrind memcheck over every way a context's life can go.
# Stops at the first finding with a non-zero exit. Installs nothing: needs
# cmake, g++, GoogleTest, clang++ with libclang-rt-14-dev, valgrind (and, for
# the decoding checks of the suite, ffmpeg and mpg123).
#   scripts/ci_reliability.sh
# Environment: ZUVO_CI_BUILD_ROOT (default: the repository; build dirs are
# build-asan, build-tsan, build-fuzz, build-memcheck under it),
# ZUVO_FUZZ_SECONDS (default 60), ZUVO_CI_JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=${ZUVO_CI_BUILD_ROOT:-$ROOT}
JOBS=${ZUVO_CI_JOBS:-2}
FUZZ_SECONDS=${ZUVO_FUZZ_SECONDS:-60}

# Every sanitizer stops the process at its first report, and leaks count.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# Sanitizer builds: the presets "asan" and "tsan" (CMakePresets.json), -O1 and
# line tables only. The stack traces keep file and line, and the suite compiles
# in well under half the time of -O2 -g.

started=$(date +%s)
step() { echo; echo "=== [$(( $(date +%s) - started )) s] $*"; }

step "AddressSanitizer + UndefinedBehaviorSanitizer: build (test discovery runs the binaries too)"
cmake --preset asan -B "$OUT/build-asan" >/dev/null
cmake --build "$OUT/build-asan" -j"$JOBS"
step "AddressSanitizer + UndefinedBehaviorSanitizer: whole suite"
(cd "$OUT/build-asan" && ctest --output-on-failure -j"$JOBS" -LE soak)

step "ThreadSanitizer: build the threading tests"
cmake --preset tsan -B "$OUT/build-tsan" >/dev/null
THREAD_TESTS=(test_api_threads test_platform_posix)
cmake --build "$OUT/build-tsan" -j"$JOBS" --target "${THREAD_TESTS[@]}"
step "ThreadSanitizer: threading tests"
for t in "${THREAD_TESTS[@]}"; do "$OUT/build-tsan/tests/$t"; done

step "libFuzzer: ${FUZZ_SECONDS} s, then the C interface for half of that"
ZUVO_FUZZ_BUILD_DIR="$OUT/build-fuzz" ZUVO_FUZZ_JOBS="$JOBS" "$ROOT/fuzz/run_fuzz.sh" "$FUZZ_SECONDS"

step "valgrind memcheck"
# The normal build of the test run (./run.sh test builds ./build) serves when it is there.
MEMCHECK_DIR="$OUT/build-memcheck"
[ -f "$ROOT/build/CMakeCache.txt" ] && MEMCHECK_DIR="$ROOT/build"
ZUVO_MEMCHECK_BUILD_DIR="$MEMCHECK_DIR" ZUVO_MEMCHECK_JOBS="$JOBS" "$ROOT/scripts/memcheck.sh"

step "reliability checks passed"
