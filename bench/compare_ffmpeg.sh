#!/usr/bin/env bash
# Times zuvo-mpa-encode against ffmpeg's native mp2 encoder (a black-box
# baseline) on the same synthesized WAV, in one run, and prints the ratio.
#
#   bench/compare_ffmpeg.sh [BUILD_DIR]        (default: build)
#
# Environment: SECONDS_OF_AUDIO (default 60), BITRATE (kbit/s, default 192),
# RUNS (default 5). Uses hyperfine when installed (unless NO_HYPERFINE=1),
# else a timing loop.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${1:-build}
TOOL="$BUILD_DIR/tools/zuvo-mpa-encode"
DURATION=${SECONDS_OF_AUDIO:-60}
BITRATE=${BITRATE:-192}
RUNS=${RUNS:-5}

die() { echo "compare_ffmpeg: $*" >&2; exit 1; }
[ -x "$TOOL" ] || die "$TOOL not found: build first (cmake --build $BUILD_DIR)"
command -v ffmpeg >/dev/null || die "ffmpeg not installed (apt-get install ffmpeg)"
ENCODERS=$(ffmpeg -hide_banner -encoders 2>/dev/null || true)
grep -qE '^ A[^ ]* mp2 ' <<<"$ENCODERS" || die "this ffmpeg has no native mp2 encoder"

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Stereo 44.1 kHz: a tone per channel over a little independent noise, so that
# every subband carries signal and both encoders have real work to do.
ffmpeg -nostdin -v error -f lavfi \
    -i "aevalsrc=0.3*sin(2*PI*440*t)+0.05*(random(0)-0.5)|0.3*sin(2*PI*660*t)+0.05*(random(1)-0.5):s=44100:d=$DURATION" \
    -c:a pcm_s16le "$WORK/in.wav"

ZUVO_CMD="$TOOL -q -m joint -b $BITRATE $WORK/in.wav $WORK/zuvo.mp2"
FFMPEG_CMD="ffmpeg -nostdin -v error -y -i $WORK/in.wav -c:a mp2 -b:a ${BITRATE}k $WORK/ffmpeg.mp2"

echo "input: ${DURATION} s stereo 44.1 kHz, ${BITRATE} kbit/s, $RUNS runs each"
if [ "${NO_HYPERFINE:-0}" != 1 ] && command -v hyperfine >/dev/null; then
    hyperfine --warmup 1 --runs "$RUNS" --export-csv "$WORK/times.csv" \
        -n zuvo-mpa-encode "$ZUVO_CMD" -n "ffmpeg -c:a mp2" "$FFMPEG_CMD"
    ZUVO_MEAN=$(awk -F, '$1 == "zuvo-mpa-encode" { print $2 }' "$WORK/times.csv")
    FFMPEG_MEAN=$(awk -F, '$1 == "ffmpeg -c:a mp2" { print $2 }' "$WORK/times.csv")
else
    mean_time() {  # mean wall time of "$@" over $RUNS runs, after one warm-up
        "$@" >/dev/null 2>&1
        local start end total=0
        for _ in $(seq "$RUNS"); do
            start=$(date +%s.%N)
            "$@" >/dev/null 2>&1
            end=$(date +%s.%N)
            total=$(awk -v t="$total" -v a="$start" -v b="$end" 'BEGIN { print t + b - a }')
        done
        awk -v t="$total" -v n="$RUNS" 'BEGIN { print t / n }'
    }
    # shellcheck disable=SC2086  # the commands are meant to split into words
    ZUVO_MEAN=$(mean_time $ZUVO_CMD)
    # shellcheck disable=SC2086
    FFMPEG_MEAN=$(mean_time $FFMPEG_CMD)
fi

awk -v z="$ZUVO_MEAN" -v f="$FFMPEG_MEAN" -v d="$DURATION" 'BEGIN {
    printf "zuvo-mpa-encode: %.3f s (%.1fx real time)\n", z, d / z
    printf "ffmpeg -c:a mp2: %.3f s (%.1fx real time)\n", f, d / f
    printf "ratio zuvo/ffmpeg: %.2f (above 1: zuvo-mpa-encode is slower)\n", z / f
}'
