#!/usr/bin/env bash
# ZuvoMPAEncoder — set up, build, encode, test.
#   ./run.sh encode [zuvo-mpa-encode arguments]   install what is missing, build, encode
#                                                 (no arguments: a synthesized demo clip)
#   ./run.sh test                                 install what is missing, build, run every test
#   ./run.sh bench                                build and run the benchmarks
#   ./run.sh windows [deps|build|test|dist|all]   the Windows DLLs (cross-built, tested under Wine)
set -euo pipefail
CALLER=$(pwd)  # `encode` resolves INPUT and OUTPUT against the caller's directory
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

PACKAGES=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libsndfile1-dev libsoxr-dev)
# dpkg-dev and file: the .deb test (cpack's DEB generator runs dpkg-shlibdeps).
# abigail-tools: the ABI check against the 1.0.0 baseline (tests/abi/).
TEST_PACKAGES=(ffmpeg mpg123 madplay valgrind clang libclang-rt-14-dev dpkg-dev file abigail-tools)
# The GStreamer element (gst/) and its tests. The base set, and the good and
# bad sets for their parsers and muxers only (mpegaudioparse, mpegtsmux: the
# transport-stream test). Those two sets also carry encoder elements (lame,
# twolame, ...): never use one. The ugly and libav sets stay off the machine.
GST_PACKAGES=(gstreamer1.0-tools libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base
              gstreamer1.0-plugins-good gstreamer1.0-plugins-bad)

install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

build() {  # build <dir> [cmake options...]: the "release" preset (CMakePresets.json)
    local dir=$1; shift
    cmake --preset release -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$JOBS"
}

quiet_build() {  # quiet_build <dir> <target>: as build, showing the log only when it fails
    local dir=$1 target=$2 log
    log=$(mktemp)
    if ! { cmake --preset release -B "$dir" &&
           cmake --build "$dir" -j"$JOBS" --target "$target"; } >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "== the build failed" >&2
        exit 1
    fi
    rm -f "$log"
}

case "${1:-}" in
    encode)
        shift
        install_missing "${PACKAGES[@]}"
        quiet_build build zuvo-mpa-encode
        cd "$CALLER"
        exec "$ROOT/build/tools/zuvo-mpa-encode" "$@"
        ;;
    test)
        # Everything CI runs: the suite, then sanitizers, fuzzing and memcheck,
        # then the Windows DLLs under Wine.
        started=$(date +%s)
        install_missing "${PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${GST_PACKAGES[@]}"
        build build
        (cd build && ctest --output-on-failure -j"$JOBS")
        echo "== suite passed after $(( $(date +%s) - started )) s"
        scripts/ci_reliability.sh
        echo "== reliability checks passed after $(( $(date +%s) - started )) s"
        scripts/windows.sh deps
        scripts/windows.sh test
        echo "== all tests passed after $(( $(date +%s) - started )) s"
        ;;
    windows)
        shift
        exec scripts/windows.sh "${@:-all}"
        ;;
    bench)
        install_missing "${PACKAGES[@]}"
        build build
        for b in build/bench/bench_*; do [ -x "$b" ] && "$b"; done
        ;;
    *)
        echo "usage: $0 encode [INPUT OUTPUT options] | test | bench | windows [verb]" >&2
        exit 1
        ;;
esac
