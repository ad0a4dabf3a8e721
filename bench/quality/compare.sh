#!/usr/bin/env bash
# Sound quality of zuvo-mpa-encode against ffmpeg's native mp2 encoder (a
# black-box baseline), clip by clip, on the test set of make_testset.sh.
#
#   bench/quality/compare.sh BUILD_DIR TESTSET_DIR
#
# Configurations: stereo clips at 128, 192 and 256 kbit/s in joint and
# stereo modes, mono clips at 64 and 96 kbit/s. Each clip is coded by
#   ref     zuvo-mpa-encode --tuning reference (no option when the tool has none)
#   best    zuvo-mpa-encode --tuning best      (n/a when the tool has no --tuning)
#   ffmpeg  ffmpeg -c:a mp2 at the same bitrate
# and decoded by ffmpeg to 16-bit WAV; zuvo-quality-meter --search --expect
# 481 compares the decoded audio with the clip (it finds each encoder's own
# delay, and takes the codec's 481 samples wherever periodic material
# correlates as well at another period).
# NMR in dB: lower is better. Prints a per-clip table, then per
# configuration the means, the mean differences best - ref and best - ffmpeg
# (negative: best is better) and the worst clip of each column.
#
# Environment:
#   QUICK=1    8 clips and 2 configurations (joint 192, mono 64): a smoke run
#   JOBS=N     clip/configuration pairs at a time (default 2)
#   METER=PATH the meter (default BUILD_DIR/bench/quality/zuvo-quality-meter)
#   RESULTS=F  also write the raw results (tab-separated, with bandwidth and
#              lag of each column) to F
set -euo pipefail

die() { echo "compare: $*" >&2; exit 1; }
[ $# -eq 2 ] || die "usage: compare.sh BUILD_DIR TESTSET_DIR"
BUILD=$(cd "$1" && pwd) || die "no build directory $1"
TESTSET=$(cd "$2" && pwd) || die "no test set directory $2"
TOOL="$BUILD/tools/zuvo-mpa-encode"
METER=${METER:-$BUILD/bench/quality/zuvo-quality-meter}
JOBS=${JOBS:-2}
MANIFEST="$TESTSET/manifest.txt"

[ -x "$TOOL" ] || die "$TOOL not found: build first (cmake --build $1)"
[ -x "$METER" ] || die "$METER not found: build it, or set METER"
[ -f "$MANIFEST" ] || die "$MANIFEST not found: run make_testset.sh first"
command -v ffmpeg >/dev/null || die "ffmpeg not installed"
ENCODERS=$(ffmpeg -hide_banner -encoders 2>/dev/null || true)
grep -qE '^ A[^ ]* mp2 ' <<<"$ENCODERS" || die "this ffmpeg has no native mp2 encoder"
[[ "$JOBS" =~ ^[1-9][0-9]*$ ]] || die "JOBS must be a positive integer"

HELP=$("$TOOL" --help 2>&1 || true)
if grep -q -- '--tuning' <<<"$HELP"; then HAS_TUNING=1; else HAS_TUNING=0; fi

STEREO_CONFIGS="joint:128 stereo:128 joint:192 stereo:192 joint:256 stereo:256"
MONO_CONFIGS="mono:64 mono:96"
# The smoke run's clips: real, rendered and synthesized, all three rates, both widths.
QUICK_CLIPS="callme-44s orchestra-48s harpsichord-32s castanets-48s antiphase-44s loudmaster-44s voices-44m pop-32m"
if [ "${QUICK:-0}" = 1 ]; then
    STEREO_CONFIGS="joint:192"
    MONO_CONFIGS="mono:64"
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/res"

# The clips, in manifest order: name and channel count.
clips=()
while IFS=$'\t' read -r name _rate chans _; do
    case "$name" in ''|'#'*) continue ;; esac
    if [ "${QUICK:-0}" = 1 ] && ! [[ " $QUICK_CLIPS " == *" $name "* ]]; then continue; fi
    [ -f "$TESTSET/$name.wav" ] || die "$TESTSET/$name.wav is in the manifest but missing"
    clips+=("$name:$chans")
done <"$MANIFEST"
[ ${#clips[@]} -gt 0 ] || die "no clips"

# The jobs, configuration by configuration: "index clip config".
jobs_file="$WORK/jobs"
: >"$jobs_file"
index=0
for config in $STEREO_CONFIGS $MONO_CONFIGS; do
    for entry in "${clips[@]}"; do
        name=${entry%%:*}
        chans=${entry##*:}
        if [ "${config%%:*}" = mono ]; then [ "$chans" -eq 1 ] || continue; else [ "$chans" -eq 2 ] || continue; fi
        index=$((index + 1))
        printf '%05d %s %s\n' "$index" "$name" "$config" >>"$jobs_file"
    done
done

# measure ORIGINAL STREAM: decodes STREAM to 16-bit WAV and prints the
# meter's "nmr fom snr bandwidth lag", or "err err err err err".
measure() {
    local orig=$1 stream=$2 line
    if ffmpeg -nostdin -v error -y -i "$stream" -c:a pcm_s16le "${stream%.mp2}.wav" &&
       line=$("$METER" --search --expect 481 "$orig" "${stream%.mp2}.wav"); then
        awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
               printf "%s %s %s %s %s\n", v["nmr_db"], v["frames_over_mask"], v["snr_db"], v["bandwidth_hz"], v["lag"] }' <<<"$line"
    else
        echo "compare: measuring $stream failed" >&2
        echo "err err err err err"
    fi
    rm -f "${stream%.mp2}.wav"
}

# run_one INDEX CLIP CONFIG: one result line in $WORK/res/INDEX.
run_one() {
    local index=$1 clip=$2 config=$3
    local mode=${config%%:*} kbps=${config##*:}
    local in="$TESTSET/$clip.wav" dir="$WORK/$index"
    local ref best ff tuning_ref=() ac=()
    mkdir -p "$dir"
    [ "$HAS_TUNING" = 1 ] && tuning_ref=(--tuning reference)
    if "$TOOL" -q -f -m "$mode" -b "$kbps" "${tuning_ref[@]}" "$in" "$dir/ref.mp2"; then
        ref=$(measure "$in" "$dir/ref.mp2")
    else
        echo "compare: zuvo-mpa-encode failed on $clip $config" >&2
        ref="err err err err err"
    fi
    best="n/a n/a n/a n/a n/a"
    if [ "$HAS_TUNING" = 1 ]; then
        if "$TOOL" -q -f -m "$mode" -b "$kbps" --tuning best "$in" "$dir/best.mp2"; then
            best=$(measure "$in" "$dir/best.mp2")
        else
            echo "compare: zuvo-mpa-encode --tuning best failed on $clip $config" >&2
            best="err err err err err"
        fi
    fi
    # ffmpeg's mp2 encoder has no mode option: it codes a stereo input as
    # plain stereo, so the joint and stereo rows share its default coding.
    [ "$mode" = mono ] && ac=(-ac 1)
    if ffmpeg -nostdin -v error -y -i "$in" -c:a mp2 -b:a "${kbps}k" "${ac[@]}" "$dir/ff.mp2"; then
        ff=$(measure "$in" "$dir/ff.mp2")
    else
        echo "compare: ffmpeg's mp2 encoder failed on $clip $config" >&2
        ff="err err err err err"
    fi
    printf '%s\t%s\t%s\t%s\t%s\n' "$clip" "$config" "${ref// /$'\t'}" "${best// /$'\t'}" "${ff// /$'\t'}" >"$WORK/res/$index"
    rm -rf "$dir"
}
export -f run_one measure
export TOOL METER TESTSET WORK HAS_TUNING

start=$(date +%s)
njobs=$(wc -l <"$jobs_file")
echo "compare: ${#clips[@]} clips, $njobs clip/configuration pairs, $JOBS at a time;" \
     "tuning option: $([ "$HAS_TUNING" = 1 ] && echo yes || echo 'no (best = n/a)')" >&2
xargs -P "$JOBS" -L 1 bash -c 'run_one "$@"' _ <"$jobs_file" || true
elapsed=$(($(date +%s) - start))

all="$WORK/results.tsv"
{
    printf 'clip\tconfig'
    for c in ref best ffmpeg; do printf '\t%s_nmr_db\t%s_frames_over_mask\t%s_snr_db\t%s_bandwidth_hz\t%s_lag' "$c" "$c" "$c" "$c" "$c"; done
    printf '\n'
    cat "$WORK"/res/* 2>/dev/null || true
} >"$all"
[ -z "${RESULTS:-}" ] || cp "$all" "$RESULTS"
got=$(($(wc -l <"$all") - 1))
[ "$got" -eq "$njobs" ] || echo "compare: only $got of $njobs pairs gave a result" >&2

# The table, then the summary by configuration. Fields: 1 clip, 2 config,
# then per column (ref 3-7, best 8-12, ffmpeg 13-17): nmr, frames over the
# mask, snr, bandwidth, lag.
awk -F'\t' '
function num(x) { return x ~ /^-?[0-9]+(\.[0-9]+)?$/ }
function show(x, f) { return num(x) ? sprintf(f, x) : x }
NR == 1 {
    printf "%-20s %-11s | %8s %8s %8s | %8s %8s %8s | %7s %7s %7s\n", "clip", "config",
        "nmr ref", "nmr best", "nmr ffm", "fom ref", "fom best", "fom ffm", "snr ref", "snr bst", "snr ffm"
    printf "%-20s %-11s | %26s | %26s | %23s\n", "", "", "(dB, lower is better)", "(frames over the mask)", "(dB)"
    next
}
{
    if ($2 != last) { printf "\n"; last = $2 }
    printf "%-20s %-11s | %8s %8s %8s | %8s %8s %8s | %7s %7s %7s\n", $1, $2,
        show($3, "%.2f"), show($8, "%.2f"), show($13, "%.2f"),
        show($4, "%.4f"), show($9, "%.4f"), show($14, "%.4f"),
        show($5, "%.2f"), show($10, "%.2f"), show($15, "%.2f")
    c = $2
    if (!(c in seen)) { seen[c] = 1; order[++nc] = c }
    n[c]++
    col[1] = 3; col[2] = 8; col[3] = 13
    for (k = 1; k <= 3; k++) {
        v = $(col[k])
        if (num(v)) {
            sum[c, k] += v; cnt[c, k]++
            if (!((c, k) in worst) || v > worst[c, k]) { worst[c, k] = v; wclip[c, k] = $1 }
        }
    }
    if (num($8) && num($3)) {
        d = $8 - $3; sbr[c] += d; cbr[c]++
        if (!(c in wbr) || d > wbr[c]) { wbr[c] = d; wbrclip[c] = $1 }
    }
    if (num($8) && num($13)) { sbf[c] += $8 - $13; cbf[c]++ }
    if (num($3) && num($13)) { srf[c] += $3 - $13; crf[c]++ }
}
function mean(s, k) { return cnt[s, k] ? sprintf("%.2f", sum[s, k] / cnt[s, k]) : "n/a" }
function ratio(a, b) { return b ? sprintf("%+.2f", a / b) : "n/a" }
function w(s, k) { return cnt[s, k] ? sprintf("%s (%.2f)", wclip[s, k], worst[s, k]) : "n/a" }
END {
    printf "\nSummary by configuration (NMR in dB; differences negative where the first is better)\n"
    printf "%-11s %5s | %8s %8s %8s | %10s %10s %10s\n", "config", "clips",
        "ref", "best", "ffmpeg", "best-ref", "best-ffm", "ref-ffm"
    for (i = 1; i <= nc; i++) {
        c = order[i]
        printf "%-11s %5d | %8s %8s %8s | %10s %10s %10s\n", c, n[c], mean(c, 1), mean(c, 2), mean(c, 3),
            ratio(sbr[c], cbr[c]), ratio(sbf[c], cbf[c]), ratio(srf[c], crf[c])
    }
    printf "\nWorst clip by configuration (highest NMR, dB)\n"
    for (i = 1; i <= nc; i++) {
        c = order[i]
        printf "%-11s ref: %s; best: %s; ffmpeg: %s; largest best-ref: %s\n", c, w(c, 1), w(c, 2), w(c, 3),
            (c in wbr) ? sprintf("%s (%+.2f)", wbrclip[c], wbr[c]) : "n/a"
    }
}' "$all"
echo
echo "compare: $got pairs in ${elapsed} s (JOBS=$JOBS${QUICK:+, QUICK=$QUICK})"
