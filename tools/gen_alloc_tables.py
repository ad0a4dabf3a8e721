#!/usr/bin/env python3
"""Generates the embedded Layer II allocation-table text of src/layer2/alloc_tables.cpp.

The five tables are ISO/IEC 11172-3 Tables 3-B.2a to 3-B.2d and ISO/IEC 13818-3
Table B.1, written as runs of subbands that share an allocation-field width
(nbal) and a list of quantization step counts for allocation indices 1, 2, ...
Each step count belongs to one quantization class; the class fixes the
codeword size and whether three samples share one codeword.

Every line becomes one 20-byte record (at most 19 characters, NUL padded):
    <alloc_N>            section header
    sblimit              count line
    sb idx steps code_bits codewords quant_class
    <next>               end marker after the last section

Usage:
    tools/gen_alloc_tables.py            print the C++ initializer rows
    tools/gen_alloc_tables.py --update   rewrite the generated region of
                                         src/layer2/alloc_tables.cpp in place
"""

import os
import sys

RECORD_BYTES = 20

# Quantization classes: class -> (steps, code_bits, codewords per granule).
# Classes 0, 1 and 3 group three samples into one codeword.
CLASSES = {0: (3, 5, 1), 1: (5, 7, 1), 2: (7, 3, 3), 3: (9, 10, 1)}
for c in range(4, 17):
    CLASSES[c] = ((1 << c) - 1, c, 3)
CLASS_OF_STEPS = {steps: c for c, (steps, _, _) in CLASSES.items()}

B2A_LOW = [3, 7, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767, 65535]
B2A_MID = [3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 65535]
B2A_HIGH = [3, 5, 7, 9, 15, 31, 65535]
B2A_TOP = [3, 5, 65535]
B2C_LOW = [3, 5, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767]
B2C_HIGH = [3, 5, 9, 15, 31, 63, 127]
LSF_LOW = [3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383]
LSF_MID = [3, 5, 9, 15, 31, 63, 127]
LSF_HIGH = [3, 5, 9]

# Per table: sblimit and runs (first subband, last subband, nbal, steps list).
TABLES = [
    (27, [(0, 2, 4, B2A_LOW), (3, 10, 4, B2A_MID), (11, 22, 3, B2A_HIGH), (23, 26, 2, B2A_TOP)]),
    (30, [(0, 2, 4, B2A_LOW), (3, 10, 4, B2A_MID), (11, 22, 3, B2A_HIGH), (23, 29, 2, B2A_TOP)]),
    (8, [(0, 1, 4, B2C_LOW), (2, 7, 3, B2C_HIGH)]),
    (12, [(0, 1, 4, B2C_LOW), (2, 11, 3, B2C_HIGH)]),
    (30, [(0, 3, 4, LSF_LOW), (4, 10, 3, LSF_MID), (11, 29, 2, LSF_HIGH)]),
]

BEGIN_MARK = "// BEGIN GENERATED alloc_text"
END_MARK = "// END GENERATED alloc_text"


def records():
    lines = []
    starts = []
    for number, (sblimit, runs) in enumerate(TABLES):
        starts.append(len(lines))
        lines.append("<alloc_%d>" % number)
        lines.append("%d" % sblimit)
        covered = 0
        for first, last, nbal, steps in runs:
            assert first == covered and len(steps) == (1 << nbal) - 1
            for sb in range(first, last + 1):
                lines.append("%d 0 0 %d 0 0" % (sb, nbal))
                for index, s in enumerate(steps, start=1):
                    c = CLASS_OF_STEPS[s]
                    _, bits, words = CLASSES[c]
                    lines.append("%d %d %d %d %d %d" % (sb, index, s, bits, words, c))
            covered = last + 1
        assert covered == sblimit
    lines.append("<next>")
    for line in lines:
        assert len(line) < RECORD_BYTES, line
    return lines, starts


def initializer():
    lines, starts = records()
    assert len(lines) == 987 and starts == [0, 290, 592, 674, 788], (len(lines), starts)
    return "\n".join('    "%s",' % line for line in lines)


def main():
    text = initializer()
    if len(sys.argv) > 1 and sys.argv[1] == "--update":
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        path = os.path.join(root, "src", "layer2", "alloc_tables.cpp")
        with open(path) as f:
            source = f.read()
        head, rest = source.split(BEGIN_MARK + "\n", 1)
        _, tail = rest.split(END_MARK, 1)
        with open(path, "w") as f:
            f.write(head + BEGIN_MARK + "\n" + text + "\n" + END_MARK + tail)
    else:
        print(text)


if __name__ == "__main__":
    main()
