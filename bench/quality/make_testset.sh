#!/usr/bin/env bash
# Builds the sound-quality test set: 16-bit WAV clips of 10 to 20 seconds at
# 32000, 44100 and 48000 Hz, stereo and mono, from material that Debian's
# packages ship (recorded and tracker music, desktop sounds, spoken prompts,
# General MIDI pieces written here and rendered by FluidSynth, espeak-ng
# speech) and from synthesis (noise, tones, sweeps, square waves, clicks,
# castanet-like bursts, anti-phase and one-sided stereo).
#
#   bench/quality/make_testset.sh OUTDIR
#
# Writes OUTDIR/NAME.wav and OUTDIR/manifest.txt (tab-separated: name, rate,
# channels, kind, source; rate and channels as read back from each file).
# The same packages give the same clips on every run: noise generators are
# seeded, sox runs in repeatable mode without dither, WAV headers carry no
# encoder tag. Installs the packages below when they are missing (as root,
# or through sudo). None of them carries an MPEG audio encoder.
set -euo pipefail

PACKAGES=(ffmpeg sox libsox-fmt-base fluidsynth fluid-soundfont-gm espeak-ng
          sound-theme-freedesktop alsa-utils lomiri-sounds oxygen-sounds fb-music-high)

die() { echo "make_testset: $*" >&2; exit 1; }
[ $# -eq 1 ] || die "usage: make_testset.sh OUTDIR"
OUT=$1

install_missing() {
    local missing=() p sudo=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}
install_missing "${PACKAGES[@]}"
command -v python3 >/dev/null || die "python3 is needed (MIDI files and synthesized clips)"

mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
WORK="$OUT/.work"
rm -rf "$WORK"
mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT
MANIFEST="$OUT/manifest.txt"
printf '# name\trate\tchannels\tkind\tsource\n' >"$MANIFEST"

SND=/usr/share/sounds
RING="$SND/lomiri/ringtones"
FD="$SND/freedesktop/stereo"
SF2=/usr/share/sounds/sf2/FluidR3_GM.sf2
XM=/usr/share/games/frozen-bubble/snd/frozen-mainzik-2p.xm

# decode IN OUT.au [START DUR]: any file ffmpeg reads (Ogg Vorbis, tracker
# modules, WAV) to 32-bit float at its own rate and channel count (Sun .au:
# sox reads ffmpeg's float WAV header with a warning).
decode() {
    local in=$1 out=$2 cut=()
    [ $# -ge 4 ] && cut=(-ss "$3" -t "$4")
    ffmpeg -nostdin -v error -y -i "$in" "${cut[@]}" -c:a pcm_f32be -bitexact "$out"
}

# finish SRC NAME KIND SOURCE RATE CHANNELS DUR [sox effects...]: the clip
# OUT/NAME.wav from SRC, cut to DUR seconds (padded with silence when
# shorter), resampled, mixed to CHANNELS (mono: the mean), 20 ms fades at
# both ends, 16 bits; then its manifest line. The gain is lowered where the
# chain would clip, except with NOGUARD=1 (full-scale material).
finish() {
    local src=$1 name=$2 kind=$3 source=$4 rate=$5 chans=$6 dur=$7
    shift 7
    local remix=() have guard=(-G) len fit=(trim 0 "$dur")
    [ -z "${NOGUARD:-}" ] || guard=()
    have=$(soxi -c "$src")
    len=$(soxi -D "$src")
    if awk -v l="$len" -v d="$dur" 'BEGIN { exit !(l < d) }'; then
        fit=(pad 0 "$(awk -v l="$len" -v d="$dur" 'BEGIN { printf "%.6f", d - l }')" trim 0 "$dur")
    fi
    if [ "$chans" -eq 1 ] && [ "$have" -eq 2 ]; then remix=(remix -); fi
    if [ "$chans" -eq 2 ] && [ "$have" -eq 1 ]; then remix=(remix 1 1); fi
    sox -D -R "${guard[@]}" "$src" -b 16 -e signed-integer "$OUT/$name.wav" \
        "$@" "${remix[@]}" rate -v "$rate" "${fit[@]}" fade t 0.02 "$dur" 0.02
    local r c d
    r=$(soxi -r "$OUT/$name.wav"); c=$(soxi -c "$OUT/$name.wav"); d=$(soxi -D "$OUT/$name.wav")
    awk -v d="$d" 'BEGIN { exit !(d >= 10 && d <= 20) }' || die "$name: $d s, not 10 to 20"
    printf '%s\t%s\t%s\t%s\t%s\n' "$name" "$r" "$c" "$kind" "$source" >>"$MANIFEST"
    echo "  $name ($r Hz, $c ch, ${d%.*} s): $source"
}

# noise SEED COLOR RATE DUR AMPL OUT.au: one channel of seeded noise (float).
noise() {
    ffmpeg -nostdin -v error -y -f lavfi \
        -i "anoisesrc=color=$2:seed=$1:sample_rate=$3:duration=$4:amplitude=$5" \
        -c:a pcm_f32be -bitexact "$6"
}

echo "== recorded and tracker music"
decode "$RING/Call me.ogg" "$WORK/callme.au" 0 15
finish "$WORK/callme.au" callme-44s music "lomiri-sounds: ringtones/Call me.ogg, 0-15 s" 44100 2 15
decode "$RING/Latin.ogg" "$WORK/latin.au" 0 15
finish "$WORK/latin.au" latin-44s music "lomiri-sounds: ringtones/Latin.ogg, 0-15 s" 44100 2 15
finish "$WORK/latin.au" latin-44m music "lomiri-sounds: ringtones/Latin.ogg, 0-15 s, mono mix" 44100 1 15
decode "$RING/Soul.ogg" "$WORK/soul.au" 2 15
finish "$WORK/soul.au" soul-48s music "lomiri-sounds: ringtones/Soul.ogg, 2-17 s, to 48 kHz" 48000 2 15
decode "$RING/Koto chords.ogg" "$WORK/koto.au"
finish "$WORK/koto.au" koto-32s music "lomiri-sounds: ringtones/Koto chords.ogg, 0-14 s, to 32 kHz" 32000 2 14
decode "$RING/Time not Lost.ogg" "$WORK/timenotlost.au" 10 15
finish "$WORK/timenotlost.au" timenotlost-44s music "lomiri-sounds: ringtones/Time not Lost.ogg, 10-25 s" 44100 2 15
decode "$RING/UBports.ogg" "$WORK/ubports.au" 5 15
finish "$WORK/ubports.au" ubports-48s music "lomiri-sounds: ringtones/UBports.ogg, 5-20 s, to 48 kHz" 48000 2 15
decode "$RING/Wind chime.ogg" "$WORK/windchime.au" 0 15
finish "$WORK/windchime.au" windchime-44s music "lomiri-sounds: ringtones/Wind chime.ogg, 0-15 s" 44100 2 15
decode "$RING/Melody piano.ogg" "$WORK/melodypiano.au"
finish "$WORK/melodypiano.au" melodypiano-44m music "lomiri-sounds: ringtones/Melody piano.ogg, whole, mono mix" 44100 1 10.5
decode "$XM" "$WORK/tracker.au" 30 15
finish "$WORK/tracker.au" tracker-48s music "fb-music-high: frozen-mainzik-2p.xm (libopenmpt), 30-45 s" 48000 2 15
decode "$SND/Oxygen-Sys-Log-In-Long.ogg" "$WORK/kdelogin.au"
finish "$WORK/kdelogin.au" kdelogin-48s music "oxygen-sounds: Oxygen-Sys-Log-In-Long.ogg, whole" 48000 2 13
# A loud master: compressed hard and limited, peaks at -0.1 dBFS, RMS near -9 dBFS.
decode "$RING/Entropy.ogg" "$WORK/entropy.au" 5 15
finish "$WORK/entropy.au" loudmaster-44s music \
    "lomiri-sounds: ringtones/Entropy.ogg, 5-20 s, compressed, normalized to -0.1 dBFS" 44100 2 15 \
    gain -n -6 compand 0.001,0.08 -80,-80,-40,-17,-20,-9,0,-4 0 -90 0.004 gain -l 9 norm -0.1

echo "== General MIDI pieces rendered by FluidSynth"
python3 - "$WORK" <<'PY'
# Writes four format-0 MIDI files; the notes come from fixed patterns and
# a seeded generator, so the files are the same on every run.
import random, struct, sys
out = sys.argv[1]
TPQ = 480

def vlq(n):
    b = [n & 0x7F]
    n >>= 7
    while n:
        b.append((n & 0x7F) | 0x80)
        n >>= 7
    return bytes(reversed(b))

class Song:
    def __init__(self, bpm):
        self.ev = [(0, 0, bytes([0xFF, 0x51, 3]) + (60000000 // bpm).to_bytes(3, "big"))]
    def prog(self, ch, program, pan=64, vol=100):
        self.ev += [(0, 1, bytes([0xC0 | ch, program])), (0, 1, bytes([0xB0 | ch, 10, pan])),
                    (0, 1, bytes([0xB0 | ch, 7, vol]))]
    def cc(self, t, ch, c, v):
        self.ev.append((int(t * TPQ), 1, bytes([0xB0 | ch, c, v])))
    def note(self, t, dur, ch, key, vel):  # t, dur in quarter notes
        self.ev.append((int(t * TPQ), 2, bytes([0x90 | ch, key, vel])))
        self.ev.append((int((t + dur) * TPQ) - 1, 0, bytes([0x80 | ch, key, 0])))
    def write(self, path):
        self.ev.sort(key=lambda e: (e[0], e[1]))
        data, last = b"", 0
        for t, _, msg in self.ev:
            data += vlq(t - last) + msg
            last = t
        data += vlq(TPQ) + bytes([0xFF, 0x2F, 0])
        with open(path, "wb") as f:
            f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, TPQ))
            f.write(b"MTrk" + struct.pack(">I", len(data)) + data)

# Chords as (root, third, fifth) in C major, MIDI keys around middle C.
C, Am, F, G, Dm, Em = (60, 64, 67), (57, 60, 64), (53, 57, 60), (55, 59, 62), (62, 65, 69), (52, 55, 59)

# Orchestra, 80 bpm: strings, cello, basses, horns, oboe, flute, pizzicato,
# timpani and a trumpet call.
rng = random.Random(7)
s = Song(80)
for ch, prog, pan in [(0, 48, 40), (1, 42, 88), (2, 43, 100), (3, 73, 70), (4, 68, 52),
                      (5, 60, 64), (6, 47, 64), (7, 56, 80), (8, 45, 30)]:
    s.prog(ch, prog, pan)
prog_ = [C, Am, F, G, Em, F, Dm, G]
for bar, ch_ in enumerate(prog_):
    t = bar * 4
    for k in ch_:
        s.note(t, 4, 0, k, 70)
        s.note(t, 4, 0, k + 12, 55)
    s.note(t, 2, 1, ch_[0] - 12, 80); s.note(t + 2, 2, 1, ch_[2] - 12, 75)
    s.note(t, 4, 2, ch_[0] - 24, 85)
    s.note(t, 2, 5, ch_[1], 60); s.note(t + 2, 2, 5, ch_[2], 60)
    s.note(t, 2, 4, ch_[2] + 12, 65); s.note(t + 2, 2, 4, ch_[1] + 12, 65)
    if bar % 2 == 0:
        s.note(t, 1, 6, ch_[0] - 24, 110)
    s.note(t + 3.5, 0.5, 6, ch_[0] - 24, 70)
    for i in range(8):
        s.note(t + i * 0.5, 0.4, 8, ch_[i % 3] - 12 + (12 if i >= 4 else 0), 75)
    beat = 0.0
    while beat < 4:
        d = rng.choice([0.5, 0.5, 1, 1, 1.5, 2]) if beat + 0.5 < 4 else 0.5
        d = min(d, 4 - beat)
        s.note(t + beat, d, 3, rng.choice(ch_) + 24 + rng.choice([0, 0, 2, -1]), 90)
        beat += d
    if bar >= 6:
        for i, k in enumerate([ch_[0], ch_[0], ch_[1], ch_[2]]):
            s.note(t + i, 0.9 if i < 3 else 1, 7, k + 12, 100)
s.note(32, 4, 0, 60, 80); s.note(32, 4, 0, 72, 70); s.note(32, 4, 2, 36, 90); s.note(32, 2, 6, 36, 120)
s.write(f"{out}/orchestra.mid")

# Piano, 96 bpm: Alberti bass under a melody in octaves, pedal each bar.
rng = random.Random(11)
s = Song(96)
s.prog(0, 0, 64, 110)
for bar, ch_ in enumerate([C, G, Am, Em, F, C, F, G, C]):
    t = bar * 4
    s.cc(t, 0, 64, 0); s.cc(t + 0.05, 0, 64, 127)
    lo = [k - 12 for k in ch_]
    for i, k in enumerate([lo[0], lo[2], lo[1], lo[2]] * 2):
        s.note(t + i * 0.5, 0.5, 0, k, 62)
    beat = 0.0
    while beat < 4:
        d = min(rng.choice([0.5, 1, 1, 1.5]), 4 - beat)
        k = rng.choice(ch_) + 12 + rng.choice([0, 0, 2])
        s.note(t + beat, d, 0, k, 95); s.note(t + beat, d, 0, k + 12, 70)
        beat += d
s.cc(36, 0, 64, 0)
s.write(f"{out}/piano.mid")

# Pop, 120 bpm: drum kit, picked bass, electric piano, saw lead.
rng = random.Random(3)
s = Song(120)
s.prog(1, 34, 64); s.prog(2, 4, 40); s.prog(3, 81, 88, 90); s.prog(4, 50, 64, 70)
for bar, ch_ in enumerate([Am, F, C, G] * 2):
    t = bar * 4
    for b in (0, 2, 2.5):
        s.note(t + b, 0.5, 9, 36, 120)
    for b in (1, 3):
        s.note(t + b, 0.5, 9, 38, 115)
    for i in range(8):
        s.note(t + i * 0.5, 0.25, 9, 46 if i == 7 else 42, 90 if i % 2 == 0 else 65)
    if bar % 4 == 0:
        s.note(t, 2, 9, 49, 110)
    for i in range(8):
        s.note(t + i * 0.5, 0.45, 1, ch_[0] - 24 + (12 if i in (3, 7) else 0), 100)
    for b in (0.5, 1.5, 2.5, 3.5):
        for k in ch_:
            s.note(t + b, 0.4, 2, k, 80)
    for k in ch_:
        s.note(t, 4, 4, k - 12, 60)
    if bar >= 2:
        beat = 0.0
        while beat < 4:
            d = min(rng.choice([0.25, 0.5, 0.5, 1]), 4 - beat)
            s.note(t + beat, d, 3, rng.choice(ch_) + 12, 95)
            beat += d
s.note(32, 2, 9, 49, 120); s.note(32, 1, 9, 36, 120)
s.write(f"{out}/pop.mid")

# Harpsichord, 112 bpm: broken chords in sixteenths in both hands.
s = Song(112)
s.prog(0, 6, 50, 110); s.prog(1, 6, 78, 100)
for bar, ch_ in enumerate([C, Am, Dm, G, Em, Am, F, G, C]):
    t = bar * 4
    up = [ch_[0], ch_[1], ch_[2], ch_[0] + 12]
    pat = up + up[::-1]
    for i in range(16):
        s.note(t + i * 0.25, 0.25, 0, pat[i % 8] + 12, 90)
    for i in range(8):
        s.note(t + i * 0.5, 0.5, 1, [ch_[0] - 24, ch_[2] - 12, ch_[1] - 12, ch_[2] - 12][i % 4], 85)
s.write(f"{out}/harpsichord.mid")
PY
render() {  # render MIDI RATE OUT
    fluidsynth -ni -q -g 0.5 -r "$2" -T wav -O s24 -F "$3" "$SF2" "$1" >/dev/null 2>&1 ||
        die "fluidsynth failed on $1"
}
render "$WORK/orchestra.mid" 48000 "$WORK/orchestra.wav"
finish "$WORK/orchestra.wav" orchestra-48s rendered \
    "fluidsynth + fluid-soundfont-gm: strings, cello, basses, horns, oboe, flute, pizzicato, timpani, trumpet" 48000 2 17
finish "$WORK/orchestra.wav" orchestra-48m rendered "the orchestra piece, mono mix" 48000 1 17
render "$WORK/piano.mid" 44100 "$WORK/piano.wav"
finish "$WORK/piano.wav" piano-44s rendered "fluidsynth + fluid-soundfont-gm: grand piano, Alberti bass and melody" 44100 2 16
render "$WORK/pop.mid" 44100 "$WORK/pop.wav"
finish "$WORK/pop.wav" pop-44s rendered "fluidsynth + fluid-soundfont-gm: drum kit, bass, electric piano, saw lead, pad" 44100 2 16
finish "$WORK/pop.wav" pop-32m rendered "the pop piece, mono mix, to 32 kHz" 32000 1 16
render "$WORK/harpsichord.mid" 32000 "$WORK/harpsichord.wav"
finish "$WORK/harpsichord.wav" harpsichord-32s rendered "fluidsynth + fluid-soundfont-gm: two harpsichords, broken chords" 32000 2 16

echo "== speech"
say() {  # say OUT VOICE WPM PITCH TEXT: espeak-ng to a WAV (22050 Hz mono)
    espeak-ng -v "$2" -s "$3" -p "$4" -w "$1" "$5"
}
say "$WORK/sp1.wav" en 165 50 "The quick brown fox jumps over the lazy dog. Sixty-six silver spoons sit on the shelf."
say "$WORK/sp2.wav" en-us+f3 150 65 "Please check the signal level before the recording starts, then press the red button."
say "$WORK/sp3.wav" de 155 45 "Zwölf Boxkämpfer jagen Viktor quer über den großen Sylter Deich."
say "$WORK/sp4.wav" fr 160 55 "Portez ce vieux whisky au juge blond qui fume."
say "$WORK/sp5.wav" es+m3 170 40 "El veloz murciélago hindú comía feliz cardillo y kiwi."
sox -D -R "$WORK/sp1.wav" "$WORK/sp2.wav" "$WORK/sp3.wav" "$WORK/sp4.wav" "$WORK/sp5.wav" "$WORK/voices.wav" pad 0 0.3
finish "$WORK/voices.wav" voices-44m speech "espeak-ng: en, en-us+f3, de, fr, es+m3 at 150-170 wpm, concatenated" 44100 1 16
say "$WORK/fast.wav" en+m3 280 70 "Attention please. The train now arriving at platform three is the express service to the city centre, calling at the airport, the harbour, the university and the stadium. Passengers are reminded to keep their luggage with them at all times. Thank you for travelling with us today."
finish "$WORK/fast.wav" fastspeech-32m speech "espeak-ng: en+m3 at 280 wpm, high pitch" 32000 1 14
# Real recorded voices: ALSA's channel prompts, one after the other.
alsa=()
for w in Front_Left Front_Center Front_Right Side_Right Rear_Right Rear_Center Rear_Left Side_Left Noise; do
    alsa+=("$SND/alsa/$w.wav")
done
sox -D -R "${alsa[@]}" "$WORK/alsa.wav" pad 0 0.1
finish "$WORK/alsa.wav" alsavoices-48m speech "alsa-utils: /usr/share/sounds/alsa prompts (recorded voice, pink noise), concatenated" 48000 1 13
# Speech over music: the English voices, centred, over a ringtone about 9 dB down.
decode "$RING/Celestial.ogg" "$WORK/celestial.au"
sox -D -R "$WORK/sp1.wav" "$WORK/sp2.wav" "$WORK/sp1s.wav" pad 0.5 0.2 rate -v 44100 remix 1 1 pad 0 6
sox -D -R -m -v 0.9 "$WORK/sp1s.wav" -v 0.35 "$WORK/celestial.au" "$WORK/overmusic.wav"
finish "$WORK/overmusic.wav" speechovermusic-44s speech \
    "espeak-ng (en, en-us+f3) over lomiri-sounds ringtones/Celestial.ogg at -9 dB" 44100 2 13

echo "== desktop sounds"
i=0
parts=()
for f in bell complete dialog-warning phone-incoming-call message trash-empty camera-shutter \
         message-new-instant device-added window-attention alarm-clock-elapsed; do
    i=$((i + 1))
    ffmpeg -nostdin -v error -y -i "$FD/$f.oga" -ar 44100 -ac 2 -c:a pcm_f32be -bitexact "$WORK/fd$i.au"
    parts+=("$WORK/fd$i.au")
done
sox -D -R "${parts[@]}" "$WORK/desktop.wav" pad 0 0.25
finish "$WORK/desktop.wav" desktopsounds-44s effects \
    "sound-theme-freedesktop: bell, complete, dialog-warning, phone-incoming-call, ... alarm-clock-elapsed" 44100 2 15

echo "== synthesis"
noise 1 pink 44100 15 0.3 "$WORK/pink.au"
finish "$WORK/pink.au" pink-44m synth "ffmpeg anoisesrc: pink noise, seed 1" 44100 1 15
noise 2 white 48000 15 0.25 "$WORK/white.au"
finish "$WORK/white.au" white-48s synth "ffmpeg anoisesrc: white noise, seed 2, the same in both channels" 48000 2 15
noise 3 pink 48000 15 0.3 "$WORK/pinkl.au"
noise 4 pink 48000 15 0.3 "$WORK/pinkr.au"
sox -D -R -M "$WORK/pinkl.au" "$WORK/pinkr.au" "$WORK/uncorr.wav" treble +6 10000
finish "$WORK/uncorr.wav" uncorrpink-48s spatial \
    "ffmpeg anoisesrc: independent pink noise per channel (seeds 3, 4), highs +6 dB above 10 kHz" 48000 2 15
sox -D -R -n -c 2 -r 44100 -b 32 -e float "$WORK/tones.wav" synth 15 \
    sine 100 sine 1000 synth sine mix 440 synth sine mix 3150 synth sine mix 12500 vol 0.2
finish "$WORK/tones.wav" tones-44s synth "sox synth: L 100+440+3150+12500 Hz, R 1000+440+3150+12500 Hz" 44100 2 15
sox -D -R -n -c 2 -r 48000 -b 32 -e float "$WORK/sweep.wav" synth 15 sine 20:23000 vol 0.5
finish "$WORK/sweep.wav" sweep-48s synth "sox synth: logarithmic sine sweep 20 Hz to 23 kHz, -6 dBFS" 48000 2 15
sox -D -R -n -c 1 -r 32000 -b 32 -e float "$WORK/sweep32.wav" synth 15 sine 20+15500 vol 0.5
finish "$WORK/sweep32.wav" sweep-32m synth "sox synth: linear sine sweep 20 Hz to 15.5 kHz, -6 dBFS" 32000 1 15
sox -D -R -n -c 2 -r 44100 -b 16 -e signed-integer "$WORK/square.wav" synth 15 square 441 square 1000
NOGUARD=1 finish "$WORK/square.wav" squarefs-44s synth "sox synth: square waves at full scale, L 441 Hz, R 1000 Hz" 44100 2 15 gain -n -0.001

# Clicks and castanet-like bursts from a seeded generator, as 16-bit WAV.
python3 - "$WORK" <<'PY'
import math, random, struct, sys, wave
out = sys.argv[1]

def write(path, rate, chans):
    frames = b"".join(struct.pack("<" + "h" * len(chans), *[max(-32767, min(32767, int(round(c[i] * 32767)))) for c in chans])
                      for i in range(len(chans[0])))
    with wave.open(path, "wb") as w:
        w.setnchannels(len(chans)); w.setsampwidth(2); w.setframerate(rate)
        w.writeframes(frames)

# Clicks: single-sample impulses over silence, spacings from 5 ms to 0.5 s,
# alternating signs, amplitudes 0.1 to 0.9; the right channel 1 ms later at
# half amplitude; a few two-sample doublets.
rng = random.Random(5)
rate, n = 44100, 44100 * 15
L, R = [0.0] * n, [0.0] * n
t, sign = int(0.2 * rate), 1
while t < n - rate // 10:
    a = rng.uniform(0.1, 0.9) * sign
    L[t] = a
    R[t + rate // 1000] = a / 2
    if rng.random() < 0.1:
        L[t + 1] = -a
    sign = -sign
    t += int(rate * rng.choice([0.005, 0.01, 0.02, 0.05, 0.1, 0.25, 0.5]))
write(f"{out}/clicks.wav", rate, [L, R])

# Castanets: clusters of 2 to 5 clicks 25 to 45 ms apart, each a few ms of
# noise through a resonance at 2.5 to 4.5 kHz plus a broadband edge, decaying
# in about 1.5 ms, panned at random, over a quiet two-tone bed at -46 dBFS.
rng = random.Random(9)
rate, n = 48000, 48000 * 15
L = [0.005 * (math.sin(2 * math.pi * 440 * i / rate) + math.sin(2 * math.pi * 660 * i / rate)) for i in range(n)]
R = list(L)
t = int(0.3 * rate)
while t < n - rate // 2:
    pan = rng.uniform(0.2, 0.8)
    for _ in range(rng.randint(2, 5)):
        f = rng.uniform(2500, 4500)
        r = 0.97
        c1, c2 = 2 * r * math.cos(2 * math.pi * f / rate), -r * r
        y1 = y2 = 0.0
        amp = rng.uniform(0.3, 0.7)
        for k in range(int(0.012 * rate)):
            x = rng.uniform(-1, 1) * math.exp(-k / (0.0015 * rate)) if k < int(0.004 * rate) else 0.0
            y = x * 0.08 + c1 * y1 + c2 * y2
            y2, y1 = y1, y
            v = amp * (y + 0.5 * x)
            if t + k < n:
                L[t + k] += v * (1 - pan) * 1.4
                R[t + k] += v * pan * 1.4
        t += int(rate * rng.uniform(0.025, 0.045))
    t += int(rate * rng.uniform(0.25, 0.6))
write(f"{out}/castanets.wav", rate, [L, R])
PY
finish "$WORK/clicks.wav" clicks-44s synth "python3: single-sample clicks over silence, spacings 5 ms to 0.5 s (seed 5)" 44100 2 15
finish "$WORK/castanets.wav" castanets-48s synth \
    "python3: castanet-like bursts, resonant noise decaying in 1.5 ms, over a -46 dBFS tone bed (seed 9)" 48000 2 15
finish "$WORK/castanets.wav" castanets-44m synth "the castanet clip, mono mix, to 44.1 kHz" 44100 1 15

echo "== stereo images"
# Anti-phase: R = -L, pink noise plus tones at 2, 12, 14.5 and 17 kHz, highs boosted.
noise 6 pink 44100 15 0.2 "$WORK/ap_noise.au"
sox -D -R -n -c 1 -r 44100 -b 32 -e float "$WORK/ap_tones.wav" synth 15 sine 2000 synth sine mix 12000 \
    synth sine mix 14500 synth sine mix 17000 vol 0.08
sox -D -R -m -v 1 "$WORK/ap_noise.au" -v 1 "$WORK/ap_tones.wav" "$WORK/antiphase.wav" treble +8 11000 remix 1 1v-1
finish "$WORK/antiphase.wav" antiphase-44s spatial \
    "ffmpeg anoisesrc pink (seed 6) + sox tones 2/12/14.5/17 kHz, highs +8 dB above 11 kHz; R = -L" 44100 2 15
# One side only: the tracker music's mono mix in L, digital silence in R.
finish "$WORK/tracker.au" leftonly-48s spatial "fb-music-high: the tracker clip's mono mix in L, R silent" 48000 2 15 remix - 0

n=$(grep -vc '^#' "$MANIFEST")
echo "== $n clips in $OUT (manifest.txt)"
