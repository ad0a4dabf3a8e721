#!/usr/bin/env bash
# Times zuvo-mpa-encode against ffmpeg's native mp2 encoder (a black-box
# baseline) file to file on the same synthesized WAV, WAV reading included,
# in three configurations: joint stereo and stereo at 192 kbit/s, stereo at
# 384 kbit/s. Runs alternate between the two encoders (so that a change in
# machine load hits both) and each figure is the median of RUNS runs.
#
#   bench/compare_ffmpeg.sh [BUILD_DIR]        (default: build)
#
# Environment: SECONDS_OF_AUDIO (default 120), RUNS (default 7),
# CONFIGS (default "joint:192 stereo:192 stereo:384"), TUNINGS (default
# "reference best"; the tool's own default where it has no --tuning).
# Prints, per configuration and tuning, both medians and the ratio zuvo /
# ffmpeg with the goal (reference: at most 0.5 at 192 kbit/s, 0.6 at 384
# kbit/s; best: at most 0.75).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${1:-build}
TOOL="$BUILD_DIR/tools/zuvo-mpa-encode"
DURATION=${SECONDS_OF_AUDIO:-120}
RUNS=${RUNS:-7}
CONFIGS=${CONFIGS:-"joint:192 stereo:192 stereo:384"}
TUNINGS=${TUNINGS:-"reference best"}

die() { echo "compare_ffmpeg: $*" >&2; exit 1; }
[ -x "$TOOL" ] || die "$TOOL not found: build first (cmake --build $BUILD_DIR)"
command -v ffmpeg >/dev/null || die "ffmpeg not installed (apt-get install ffmpeg)"
ENCODERS=$(ffmpeg -hide_banner -encoders 2>/dev/null || true)
grep -qE '^ A[^ ]* mp2 ' <<<"$ENCODERS" || die "this ffmpeg has no native mp2 encoder"
[[ "$RUNS" =~ ^[1-9][0-9]*$ ]] || die "RUNS must be a positive integer"

if ! "$TOOL" --help 2>&1 | grep -q -- '--tuning'; then TUNINGS=default; fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Stereo 44.1 kHz: a tone per channel over a little independent noise, so that
# every subband carries signal and both encoders have real work to do.
ffmpeg -nostdin -v error -f lavfi \
    -i "aevalsrc=0.3*sin(2*PI*440*t)+0.05*(random(0)-0.5)|0.3*sin(2*PI*660*t)+0.05*(random(1)-0.5):s=44100:d=$DURATION" \
    -c:a pcm_s16le "$WORK/in.wav"

# Wall time of one run of "$@" in seconds; the command must succeed.
time_once() {
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || die "failed: $*"
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }'
}

median() {  # of the numbers in file $1
    sort -g "$1" | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

CPU=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || echo unknown)
echo "machine: $CPU, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
echo "input: ${DURATION} s stereo 44.1 kHz; median of $RUNS interleaved runs each (after one warm-up)"
printf "%-24s %12s %12s %8s %6s\n" configuration zuvo ffmpeg ratio goal
for config in $CONFIGS; do
  for tuning in $TUNINGS; do
    mode=${config%%:*}
    bitrate=${config##*:}
    tuning_option=()
    [ "$tuning" = default ] || tuning_option=(--tuning "$tuning")
    zuvo_cmd=("$TOOL" -q -m "$mode" -b "$bitrate" "${tuning_option[@]}" "$WORK/in.wav" "$WORK/zuvo.mp2")
    # ffmpeg's mp2 encoder has no mode option: it codes stereo input as stereo.
    ffmpeg_cmd=(ffmpeg -nostdin -v error -y -i "$WORK/in.wav" -c:a mp2 -b:a "${bitrate}k" "$WORK/ffmpeg.mp2")
    # The tool keeps an existing output file (its --force is newer than some
    # builds worth comparing), so each run starts without one.
    rm -f "$WORK/zuvo.mp2"
    "${zuvo_cmd[@]}" >/dev/null 2>&1 || die "zuvo-mpa-encode failed for $config"
    : >"$WORK/zuvo.times"
    : >"$WORK/ffmpeg.times"
    for _ in $(seq "$RUNS"); do
        rm -f "$WORK/zuvo.mp2"
        time_once "${zuvo_cmd[@]}" >>"$WORK/zuvo.times"
        time_once "${ffmpeg_cmd[@]}" >>"$WORK/ffmpeg.times"
    done
    z=$(median "$WORK/zuvo.times")
    f=$(median "$WORK/ffmpeg.times")
    goal=0.5
    [ "$bitrate" -ge 384 ] && goal=0.6
    [ "$tuning" = best ] && goal=0.75
    awk -v c="$mode $bitrate $tuning" -v z="$z" -v f="$f" -v g="$goal" -v d="$DURATION" 'BEGIN {
        r = z / f
        printf "%-24s %7.3f s %4.0fx %7.3f s %4.0fx %8.2f %6s %s\n", c, z, d / z, f, d / f, r, "<=" g, (r <= g ? "met" : "not met")
    }'
  done
done
echo "(ratio = zuvo median / ffmpeg median; below 1 zuvo-mpa-encode is faster)"
