#!/usr/bin/env bash
# Counts how many frames two builds of the library encode byte for byte
# alike: the current tree and a baseline revision, on the synthetic material
# of bench/frame_identity.cpp (5 materials x 8 configurations: all four modes,
# all three rates, 64 to 384 kbit/s; 10 minutes of audio at the default
# 16 s per clip).
#
#   bench/frame_identity.sh [BASE_REF] [BUILD_DIR]   (defaults: main, build)
#
# The baseline is exported with `git archive` into a temporary directory and
# only its shared library is built. Environment: SECONDS_PER_CLIP (default
# 16), MIN_IDENTICAL (percentage below which the script fails, default 99.5),
# SHOW (changed frames listed, default 40).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BASE=${1:-main}
BUILD_DIR=${2:-build}
SECONDS_PER_CLIP=${SECONDS_PER_CLIP:-16}
MIN_IDENTICAL=${MIN_IDENTICAL:-99.5}
SHOW=${SHOW:-40}
JOBS=${JOBS:-2}

die() { echo "frame_identity: $*" >&2; exit 1; }
git rev-parse --verify -q "$BASE^{commit}" >/dev/null || die "unknown revision $BASE"

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

echo "== baseline $BASE ($(git rev-parse --short "$BASE")): building its library"
mkdir -p "$WORK/base"
git archive "$BASE" | tar -x -C "$WORK/base"
cmake -S "$WORK/base" -B "$WORK/base-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DZUVO_BUILD_TESTS=OFF -DZUVO_BUILD_TOOLS=OFF -DZUVO_BUILD_BENCH=OFF >/dev/null
cmake --build "$WORK/base-build" -j"$JOBS" --target ZuvoMPAEncoder >/dev/null

echo "== current tree: building its library in $BUILD_DIR"
[ -f "$BUILD_DIR/CMakeCache.txt" ] || cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$JOBS" --target ZuvoMPAEncoder >/dev/null

g++ -std=c++17 -O2 -Wall -Wextra -I"$ROOT/include" "$ROOT/bench/frame_identity.cpp" \
    -L"$BUILD_DIR" -lZuvoMPAEncoder -o "$WORK/frame_identity"

echo "== encoding ${SECONDS_PER_CLIP} s per clip with each library"
LD_LIBRARY_PATH="$WORK/base-build" "$WORK/frame_identity" "$SECONDS_PER_CLIP" >"$WORK/base.txt" 2>/dev/null ||
    die "the baseline library failed to encode"
LD_LIBRARY_PATH="$(cd "$BUILD_DIR" && pwd)" "$WORK/frame_identity" "$SECONDS_PER_CLIP" >"$WORK/current.txt" 2>/dev/null ||
    die "the current library failed to encode"
[ "$(wc -l <"$WORK/base.txt")" -eq "$(wc -l <"$WORK/current.txt")" ] || die "the two runs made different frame counts"

paste -d' ' "$WORK/base.txt" "$WORK/current.txt" | awk -v min="$MIN_IDENTICAL" -v show="$SHOW" -v secs="$SECONDS_PER_CLIP" '
{
    stream = $1; total++; per_total[stream]++
    if ($3 == $7 && $4 == $8) { same++; per_same[stream]++ }
    else if (listed++ < show) changed = changed sprintf("  %s frame %d (%d -> %d bytes)\n", stream, $2, $3, $7)
}
END {
    for (s in per_total) { streams++
        split(s, parts, "/"); mat[parts[1]] += per_total[s]; mat_same[parts[1]] += per_same[s]
        cfg[parts[2]] += per_total[s]; cfg_same[parts[2]] += per_same[s]
    }
    printf "per material:\n"
    for (m in mat) printf "  %-12s %6d / %6d identical (%.2f %%)\n", m, mat_same[m], mat[m], 100 * mat_same[m] / mat[m]
    printf "per configuration (mode-index-rate):\n"
    for (c in cfg) printf "  %-14s %6d / %6d identical (%.2f %%)\n", c, cfg_same[c], cfg[c], 100 * cfg_same[c] / cfg[c]
    if (total - same > 0) printf "changed frames (first %d of %d):\n%s", show, total - same, changed
    pct = 100 * same / total
    printf "identical frames: %d of %d (%.3f %%), %d streams, %.1f minutes of audio\n", same, total, pct, streams, streams * secs / 60
    if (pct < min) { printf "FAIL: below %s %%\n", min; exit 1 }
}'
