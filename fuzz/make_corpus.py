#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_api (fuzz/corpus/). Each seed is a short,
meaningful session in the byte language fuzz_api.cpp reads: one byte picks the
operation, one the context slot, then the operation's arguments."""
import os
import struct
import sys

RATE = {32000: 0, 44100: 1, 48000: 2}
USER = {0: 0, 22050: 3, 32000: 4, 44100: 5, 48000: 6}


def length_code(n):
    """A 16-bit length code that fuzz_api decodes to exactly n bytes."""
    if n < 8:
        return n
    for v in range(0x8000, 0xC000):
        if v % 12000 == n:
            return v
    raise ValueError(n)


class Session:
    def __init__(self):
        self.b = bytearray()

    def create(self, slot):
        self.b += bytes([0, slot])

    def delete(self, slot):
        self.b += bytes([2, slot])

    def stranger(self, kind, extra=0):
        self.b += bytes([3, 0, kind, extra]) + struct.pack("<I", 0xDEADBEEF)

    def init(self, slot, mode, bitrate, rate, raw=None):
        if raw is not None:  # arbitrary 32-bit fields
            self.b += bytes([4, slot, 0]) + b"".join(b"\xf0" + struct.pack("<i", v) for v in raw)
            return
        self.b += bytes([4, slot, 0, mode, bitrate, RATE[rate]])

    def init_null(self, slot):
        self.b += bytes([4, slot, 0xFF])

    def compress(self, slot, n, kind=4, a=1234, user=0, missing=0, bounded=None):
        op = 8 if bounded is not None else 5
        self.b += bytes([op, slot, missing]) + struct.pack("<H", length_code(n))
        self.b += bytes([kind]) + struct.pack("<H", a)
        if kind >= 0x80:
            self.b += bytes((i * 37 + 11) & 0xFF for i in range(min(n, 512)))
        self.b += bytes([USER[user]]) + struct.pack("<I", 0)
        if bounded is not None:
            self.b += bytes([bounded])

    def finish_audio(self, slot):
        self.b += bytes([9, slot])

    def finish_encoder(self, slot):
        self.b += bytes([10, slot])

    def max_bytes(self, slot, n):
        self.b += bytes([11, slot]) + struct.pack("<I", n)


def seeds():
    s = Session()
    s.create(0); s.init(0, 0, 11, 44100)
    for _ in range(3):
        s.compress(0, 4608)
    s.finish_audio(0); s.delete(0)
    yield "stereo_whole_frames", s

    s = Session()
    s.create(0); s.init(0, 1, 8, 48000)
    for i in range(10):
        s.compress(0, 1000, kind=5, a=i * 7)
    s.finish_encoder(0); s.finish_encoder(0); s.delete(0)
    yield "joint_short_buffers", s

    s = Session()
    s.create(1); s.init(1, 3, 10, 32000)
    s.compress(1, 9000, kind=3, a=5, user=48000)
    s.compress(1, 5001, kind=0x84, user=44100)
    s.compress(1, 4608, bounded=1)  # capacity one byte short: refused
    s.compress(1, 4608, bounded=0)
    s.max_bytes(1, 0xFFFFFFFF)
    s.finish_audio(1); s.delete(1)
    yield "mono_rate_switch_bounded", s

    s = Session()
    for slot in range(3):
        s.create(slot)
    s.init(0, 0, 14, 48000); s.init(1, 2, 4, 32000); s.init(2, 3, 1, 44100)
    for i in range(4):
        for slot in range(3):
            s.compress(slot, 3001 + i, kind=i)
    s.delete(1); s.create(1); s.stranger(1); s.stranger(4)
    s.init(1, 1, 9, 44100); s.compress(1, 7000, kind=2)
    s.delete(2); s.delete(0)
    yield "several_contexts", s

    s = Session()
    s.create(0)
    s.compress(0, 4608)  # before init
    s.init_null(0)
    s.init(0, 0, 0, 0, raw=[-1, 15, 22050])
    s.init(0, 0, 0, 0, raw=[1, -2147483648, 44100])
    s.compress(0, 4609, missing=1); s.compress(0, 4609, missing=2)
    s.compress(0, 4609, missing=3); s.compress(0, 4609, missing=4)
    s.init(0, 2, 0, 44100); s.init(0, 2, 0, 44100)
    s.compress(0, 6000); s.finish_audio(0); s.finish_audio(0); s.compress(0, 4608)
    s.stranger(0); s.stranger(2)
    yield "wrong_order_and_bad_params", s

    s = Session()
    s.create(3); s.init(3, 2, 14, 32000)
    for n, kind in ((0, 2), (1, 2), (3, 3), (4607, 2), (4609, 1), (38401 % 12000, 0)):
        s.compress(3, n, kind=kind, a=32767)
    s.delete(3)
    yield "dual_channel_extremes_odd_lengths", s


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, session in seeds():
        with open(os.path.join(out, name), "wb") as f:
            f.write(session.b)


if __name__ == "__main__":
    main()
