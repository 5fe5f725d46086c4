#!/usr/bin/env python3
"""Runs the resample tool on generated WAV files: formats and exact lengths, block-size independence, and a
table of bad inputs that must each fail with one line and leave no output behind."""
import math
import os
import struct
import subprocess
import sys
import tempfile
import unittest

RESAMPLE = None


def write_wav(path, rate, channels, width, frames, tag=1):
    """A WAV of a sine per channel: PCM of `width` bytes, or 32-bit float when tag is 3."""
    samples = [math.sin(2 * math.pi * 440 * (c + 1) * i / rate) * 0.8 for i in range(frames) for c in range(channels)]
    peak = 2 ** (8 * width - 1) - 1
    data = b"".join(struct.pack("<f", v) if tag == 3 else int(v * peak).to_bytes(width, "little", signed=True)
                    for v in samples)
    fmt = struct.pack("<HHIIHH", tag, channels, rate, rate * channels * width, channels * width, 8 * width)
    body = b"WAVEfmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def header(path):
    """(format tag, channels, rate, bits per sample, frames) of a WAV file."""
    with open(path, "rb") as f:
        blob = f.read()
    fmt = struct.unpack("<HHIIHH", blob[20:36])
    pos = 12
    while blob[pos:pos + 4] != b"data":
        pos += 8 + struct.unpack("<I", blob[pos + 4:pos + 8])[0]
    return fmt[0], fmt[1], fmt[2], fmt[5], struct.unpack("<I", blob[pos + 4:pos + 8])[0] // fmt[4]


class Resample(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.path = lambda name: os.path.join(self.tmp.name, name)

    def run_tool(self, *args):
        return subprocess.run([RESAMPLE, *args], capture_output=True, text=True, timeout=120)

    def test_formats_and_exact_lengths(self):
        # (rate, channels, width, tag, frames, --rate, extra, header expected; frames are (n - 1) * T / S + 1)
        for rate, ch, width, tag, frames, target, extra, want in (
                (44100, 2, 2, 1, 20000, "48000", [], (1, 2, 48000, 16, 19999 * 480 // 441 + 1)),
                (48000, 1, 3, 1, 9000, "44100", [], (1, 1, 44100, 24, 8999 * 441 // 480 + 1)),
                (44100, 1, 4, 3, 5000, "96000", [], (3, 1, 96000, 32, 4999 * 960 // 441 + 1)),
                (48000, 1, 2, 1, 48000, "30000/1001", ["--format", "float"], (3, 1, 30, 32, 47999 * 30000 // 48048000 + 1))):
            with self.subTest(target=target):
                write_wav(self.path("in.wav"), rate, ch, width, frames, tag)
                p = self.run_tool(self.path("in.wav"), self.path("out.wav"), "--rate", target, *extra)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(header(self.path("out.wav")), want)

    def test_every_preset_gives_the_same_bits_for_every_block_size(self):
        write_wav(self.path("in.wav"), 44100, 2, 2, 3001)
        for quality in ("linear", "medium", "high", "very-high"):
            outputs = set()
            for block in ("1", "7", "4096"):
                p = self.run_tool(self.path("in.wav"), self.path(block), "--rate", "48000", "--block", block,
                                  "--quality", quality, "--format", "float")
                self.assertEqual(p.returncode, 0, p.stderr)
                with open(self.path(block), "rb") as f:
                    outputs.add(f.read())
            self.assertEqual(len(outputs), 1, quality)

    def test_bad_input_fails_with_one_line_and_no_output(self):
        write_wav(self.path("in.wav"), 44100, 1, 2, 1000)
        with open(self.path("text.wav"), "w") as f:
            f.write("this is not audio\n")
        good, out = self.path("in.wav"), self.path("out.wav")
        for args, message in (
                ((self.path("missing.wav"), out, "--rate", "48000"), "cannot read"),
                ((self.path("text.wav"), out, "--rate", "48000"), "cannot read"),
                ((good, self.path("no/such/dir/out.wav"), "--rate", "48000"), "cannot write"),
                ((good, out, "--rate", "48000/0"), "targetRate denominator is 0"),
                ((good, out, "--rate", "48k"), "trailing characters"),
                ((good, out, "--rate", "9223372036854775807"), "too large to map exactly"),
                ((good, out, "--rate", "48000", "--block", "0"), "at least 1"),
                ((good, out, "--rate", "48000", "--format", "mp3"), "unknown format"),
                ((good, out, "--rate", "48000", "--quality", "ultra"), "unknown quality 'ultra'"),
                ((good, out), "needs IN, OUT and --rate")):
            with self.subTest(args=args):
                p = self.run_tool(*args)
                self.assertNotEqual(p.returncode, 0)
                self.assertRegex(p.stderr, f"^resample: .*{message}.*\n$")
                self.assertEqual(sorted(os.listdir(self.tmp.name)), ["in.wav", "text.wav"])


if __name__ == "__main__":
    RESAMPLE = sys.argv.pop(1)
    unittest.main(verbosity=2)
