#!/usr/bin/env python3
"""Generates src/psycho/absthr_table.cpp, the threshold in quiet of
psychoacoustic model 2, one row of 513 spectral lines per sampling rate.

Usage:
  tools/gen_absthr_table.py ABSTHR_TXT [OUTPUT_CPP]
      Writes the table (to standard output without OUTPUT_CPP).
  tools/gen_absthr_table.py --check TABLE_CPP
      Derives all six rows from the curve below and compares them with the
      rows of TABLE_CPP; prints how closely each row is reproduced and exits
      with 1 when a row departs from the derivation by more than stated here.

Rows 0..2 (32000, 44100, 48000 Hz) are copied from ABSTHR_TXT: '#' comment
lines and 3 x 513 numbers, one a line, each rounded to single precision and
written with nine significant digits (which reproduces the single-precision
value exactly). Rows 3..5 (16000, 22050, 24000 Hz) are derived.

The derivation, which the three copied rows follow:

* The curve is the threshold in quiet
      T(f) = 3.64 f^-0.8 - 6.5 exp(-0.6 (f - 3.3)^2) + 0.001 f^4  dB, f in kHz.
* Line w lies at w * rate / 1024 Hz. Equal values come in runs of lines:
  runs of 1 line for lines 0..47, of 2 for 48..95, of 4 for 96..191 and of 8
  from 192 on. A run is cut short where the flat top of the row begins.
* A run of lines s .. s+n-1 takes the curve at the frequency of the line just
  above it, (s + n) * rate / 1024, rounded to 0.01 dB. So the curve is read on
  a grid as coarse as the runs, at each run's upper edge; line 0 takes
  T(rate / 1024).
* dB become energies on the scale of the model's spectrum (squared magnitude
  of the unscaled 1024-point DFT of Hann-windowed 16-bit samples) with 96 dB
  at the ceiling: energy = C * 10^((dB - 96) / 10), C = 60776765194240 (the
  single-precision 6.0776765e13), evaluated in double and rounded to single
  precision. In the derived rows a dB figure that the copied rows already
  hold takes their energy instead (see below for how little the two differ),
  so equal figures are equal entries in every row.
* No entry exceeds the ceiling: a value above 96 dB, full scale, is held at
  the ceiling (only line 0 at 16000 Hz, where the curve gives 101.39 dB).
* The top of the row is flat: from CEILING_FROM on every line holds C, and
  between PLATEAU_FROM and the ceiling a row may hold a plateau (a fixed dB
  value). These limits are set per rate (RATES below). At 32000 Hz the
  ceiling covers lines 480..512, the two top subbands, which Layer II never
  codes at that rate. The lower sampling frequencies follow 32000 Hz, the
  other rate whose band lies wholly below 20 kHz: no plateau, ceiling from
  line 480; Layer II codes at most 30 subbands there too.

How exactly the copied rows follow it (checked by --check, run by the tests):
every entry's value in dB, rounded to 0.01 dB after removing the scale, equals
the derivation's except at the known points listed in KNOWN_DEPARTURES
(44100 Hz, lines 320..327: the row holds 40.24 dB where the curve rounds to
40.25). As energies, the derivation reproduces 1333 of their 1539 entries
bit for bit (468, 381 and 484 of 513 at 32000, 44100 and 48000 Hz); the
others differ by at most 8.1e-7 relative (3.5e-6 dB, a few units in the last
place of a float; the check allows MAX_RELATIVE_DEPARTURE). The derived rows
must match the derivation exactly.

The equalities between rows follow from the upper-edge reading: line 2 at
32000 Hz and line 1 at 48000 Hz both read the curve at 93.75 Hz; line 4 at
48000 Hz (run edge 234.375 Hz) and line 320 at 32000 Hz (run 320..327, edge
10250 Hz) round to the same 11.60 dB on the two branches of the curve.
"""
import math
import re
import struct
import sys

LINES = 513
CEILING = 60776765194240.0  # single-precision 6.0776765e13, 96 dB
CEILING_DB = 96.0

# rate (Hz), row, first plateau line or None, plateau dB, first ceiling line
RATES = (
    (32000, 0, None, None, 480),
    (44100, 1, 368, 69.13, 464),
    (48000, 2, 332, 68.00, 428),
    (16000, 3, None, None, 480),
    (22050, 4, None, None, 480),
    (24000, 5, None, None, 480),
)
MEASURED_ROWS = 3  # rows copied from the text table; the rest are derived

# (row, first line, last line): dB value the row holds where it departs from
# the rounded curve.
KNOWN_DEPARTURES = {(1, 320, 327): 40.24}
MAX_RELATIVE_DEPARTURE = 1e-6


def to_float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def curve_db(hz):
    f = hz / 1000.0
    return 3.64 * f ** -0.8 - 6.5 * math.exp(-0.6 * (f - 3.3) ** 2) + 0.001 * f ** 4


def round_centi(db):
    return math.floor(db * 100.0 + 0.5) / 100.0


def run_length(w):
    if w < 48:
        return 1
    if w < 96:
        return 2
    if w < 192:
        return 4
    return 8


def energy(db):
    return to_float32(CEILING * 10.0 ** ((db - CEILING_DB) / 10.0))


def derive_db(rate, row, plateau_from, plateau_db, ceiling_from):
    """The row's 513 values in dB (before scaling)."""
    step = rate / 1024.0
    flat = plateau_from if plateau_from is not None else ceiling_from
    out = []
    w = 0
    while w < flat:
        n = min(run_length(w), flat - w)
        db = min(round_centi(curve_db((w + n) * step)), CEILING_DB)
        for (r, first, last), held in KNOWN_DEPARTURES.items():
            if r == row and first == w and last == w + n - 1:
                db = held
        out.extend([db] * n)
        w += n
    out.extend([plateau_db] * (ceiling_from - flat))
    out.extend([CEILING_DB] * (LINES - ceiling_from))
    return out


def db_of(value):
    """The 0.01-dB figure of an energy."""
    return round_centi(10.0 * math.log10(value) - (10.0 * math.log10(CEILING) - CEILING_DB))


def measured_energies(measured):
    """dB figure -> the energy the measured rows hold for it."""
    table = {}
    for row in measured:
        for value in row:
            table.setdefault(db_of(value), value)
    return table


def derive(entry, known=None):
    """The row's 513 energies. With `known` (from measured_energies), a dB
    figure that the measured rows hold takes their energy, so equal figures
    are equal entries in every row; other figures use the formula."""
    known = known or {}
    return [CEILING if db == CEILING_DB else known.get(db, energy(db))
            for db in derive_db(*entry)]


def literal(value):
    text = "%.9g" % value
    if "e" not in text and "." not in text:
        text += ".0"
    assert to_float32(float(text)) == value, text
    return text + "f"


def read_measured(path):
    values = []
    with open(path, encoding="ascii") as source:
        for line in source:
            line = line.strip()
            if line and not line.startswith("#"):
                values.append(to_float32(float(line)))
    if len(values) != MEASURED_ROWS * LINES:
        raise ValueError("expected %d values, found %d" % (MEASURED_ROWS * LINES, len(values)))
    return [values[r * LINES:(r + 1) * LINES] for r in range(MEASURED_ROWS)]


def emit(rows):
    out = []
    out.append("// Threshold in quiet of psychoacoustic model 2, one row per sampling rate.")
    out.append("//")
    out.append("// GENERATED by tools/gen_absthr_table.py; do not edit by hand, run")
    out.append("//   python3 tools/gen_absthr_table.py absthr.txt src/psycho/absthr_table.cpp")
    out.append("// Rows 0..2 (32000, 44100, 48000 Hz) are the single-precision copies of the")
    out.append("// decimal figures of the text table absthr.txt (3 rows x 513 values).")
    out.append("// Rows 3..5 (16000, 22050, 24000 Hz) are derived the way rows 0..2 were")
    out.append("// made: the threshold-in-quiet curve 3.64 f^-0.8 - 6.5 exp(-0.6 (f - 3.3)^2)")
    out.append("// + 0.001 f^4 dB (f in kHz), read at the upper edge of each run of equal")
    out.append("// lines (runs of 1, 2, 4 and 8 lines from lines 0, 48, 96 and 192) and")
    out.append("// rounded to 0.01 dB, scaled so that 96 dB (full scale) is the ceiling; no")
    out.append("// entry exceeds it, and it holds from line 480 (the two top subbands, never")
    out.append("// coded at these rates) to 512.")
    out.append("// `gen_absthr_table.py --check` derives rows 0..2 the same way and compares.")
    out.append("//")
    out.append("// Entry w of a row is the absolute threshold of spectral line w (at")
    out.append("// w * rate / 1024 Hz) as a linear power on the scale of the model's energy:")
    out.append("// the squared magnitude of the unscaled 1024-point DFT of Hann-windowed")
    out.append("// 16-bit integer samples.")
    out.append('#include "psycho/psycho_model.h"')
    out.append("")
    out.append("namespace zuvo {")
    out.append("")
    out.append("const float absthr_table[kAbsthrRows][kLines] = {")
    for entry, chunk in zip(RATES, rows):
        out.append("    // %d Hz" % entry[0])
        out.append("    {")
        for start in range(0, LINES, 6):
            items = ", ".join(literal(v) for v in chunk[start:start + 6])
            out.append("        %s," % items)
        out.append("    },")
    out.append("};")
    out.append("")
    out.append("void load_absthr(float* destination, int row) {")
    out.append("    if (row < 0) {")
    out.append("        row = 0;")
    out.append("    } else if (row > kAbsthrRows - 1) {")
    out.append("        row = kAbsthrRows - 1;")
    out.append("    }")
    out.append("    for (int w = 0; w < kLines; ++w) {")
    out.append("        destination[w] = absthr_table[row][w];")
    out.append("    }")
    out.append("}")
    out.append("")
    out.append("}  // namespace zuvo")
    return "\n".join(out) + "\n"


def read_table_cpp(path):
    """The rows of a generated absthr_table.cpp, in file order."""
    with open(path, encoding="ascii") as source:
        text = source.read()
    body = text[text.index("absthr_table["):]
    rows = []
    for block in re.findall(r"\{([^{}]*)\}", body[:body.index("};")]):
        numbers = re.findall(r"[-+]?\d[\d.]*(?:e[-+]?\d+)?(?=f)", block)
        rows.append([to_float32(float(n)) for n in numbers])
    return rows


def check(path):
    rows = read_table_cpp(path)
    if len(rows) != len(RATES) or any(len(r) != LINES for r in rows):
        print("%s: expected %d rows of %d values" % (path, len(RATES), LINES))
        return 1
    failed = False
    total_exact = 0
    known = measured_energies(rows[:MEASURED_ROWS])
    for entry in RATES:
        rate, row = entry[0], entry[1]
        have = rows[row]
        want = derive(entry, known if row >= MEASURED_ROWS else None)
        want_db = derive_db(*entry)
        exact = 0
        worst = 0.0
        db_mismatch = []
        for w in range(LINES):
            if db_of(have[w]) != want_db[w]:
                db_mismatch.append(w)
            if have[w] == want[w]:
                exact += 1
            else:
                worst = max(worst, abs(have[w] - want[w]) / want[w])
        total_exact += exact
        ok = not db_mismatch and worst <= MAX_RELATIVE_DEPARTURE
        if row >= MEASURED_ROWS:
            ok = ok and exact == LINES
        failed = failed or not ok
        print("%5d Hz (row %d): %3d of %d entries bit-exact, max relative departure %.2e"
              " (%.1e dB), 0.01-dB values %s%s"
              % (rate, row, exact, LINES, worst, 10.0 * math.log10(1.0 + worst),
                 "all equal" if not db_mismatch else "differ at lines %s" % db_mismatch[:8],
                 "" if ok else "  FAIL"))
    print("measured rows: %d of %d entries bit-exact"
          % (total_exact - (len(RATES) - MEASURED_ROWS) * LINES, MEASURED_ROWS * LINES))
    return 1 if failed else 0


def main(argv):
    if len(argv) == 3 and argv[1] == "--check":
        return check(argv[2])
    if len(argv) not in (2, 3) or argv[1].startswith("-"):
        sys.stderr.write(__doc__)
        return 2
    try:
        measured = read_measured(argv[1])
    except ValueError as error:
        sys.stderr.write("%s\n" % error)
        return 1
    known = measured_energies(measured)
    rows = measured + [derive(entry, known) for entry in RATES[MEASURED_ROWS:]]
    text = emit(rows)
    if len(argv) == 3:
        with open(argv[2], "w", encoding="ascii") as target:
            target.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
