#!/usr/bin/env python3
"""Runs the resample example on generated WAV files: formats, lengths, block-size independence, bad input."""
import math
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import wave

RESAMPLE = None


def write_pcm(path, rate, channels, width, frames, freq=440.0):
    peak = 2 ** (8 * width - 1) - 1
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        data = bytearray()
        for i in range(frames):
            for c in range(channels):
                v = int(0.8 * peak * math.sin(2 * math.pi * freq * (c + 1) * i / rate))
                data += v.to_bytes(width, "little", signed=True)
        w.writeframes(bytes(data))


def write_float(path, rate, frames):
    """A mono 32-bit float WAV (format tag 3), which the wave module cannot write."""
    data = b"".join(struct.pack("<f", 0.5 * math.sin(2 * math.pi * 1000 * i / rate)) for i in range(frames))
    fmt = struct.pack("<HHIIHH", 3, 1, rate, rate * 4, 4, 32)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def read_header(path):
    """(format tag, channels, rate, bits per sample, frames) of a WAV file."""
    with open(path, "rb") as f:
        blob = f.read()
    pos, fmt, frames = 12, None, None
    while pos + 8 <= len(blob):
        tag, size = blob[pos:pos + 4], struct.unpack("<I", blob[pos + 4:pos + 8])[0]
        if tag == b"fmt ":
            fmt = struct.unpack("<HHIIHH", blob[pos + 8:pos + 24])
        elif tag == b"data":
            frames = size // fmt[4]
        pos += 8 + size + (size & 1)
    return fmt[0], fmt[1], fmt[2], fmt[5], frames


def expected_frames(frames, source_common, target_common):
    return (frames - 1) * target_common // source_common + 1


class Resample(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def run_tool(self, *args):
        return subprocess.run([RESAMPLE, *args], capture_output=True, text=True, timeout=120)

    def test_pcm16_stereo_to_48k(self):
        write_pcm(self.path("in.wav"), 44100, 2, 2, 20000)
        p = self.run_tool(self.path("in.wav"), self.path("out.wav"), "--rate", "48000")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(read_header(self.path("out.wav")),
                         (1, 2, 48000, 16, expected_frames(20000, 44100, 48000)))

    def test_pcm24_and_float_keep_their_format(self):
        write_pcm(self.path("in24.wav"), 48000, 1, 3, 9000)
        p = self.run_tool(self.path("in24.wav"), self.path("out24.wav"), "--rate", "44100")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(read_header(self.path("out24.wav")), (1, 1, 44100, 24, expected_frames(9000, 48000, 44100)))
        write_float(self.path("inf.wav"), 44100, 5000)
        p = self.run_tool(self.path("inf.wav"), self.path("outf.wav"), "--rate", "96000")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(read_header(self.path("outf.wav")), (3, 1, 96000, 32, expected_frames(5000, 44100, 96000)))

    def test_fractional_rate_and_format_override(self):
        write_pcm(self.path("in.wav"), 48000, 1, 2, 48000)
        p = self.run_tool(self.path("in.wav"), self.path("out.wav"), "--rate", "30000/1001", "--format", "float")
        self.assertEqual(p.returncode, 0, p.stderr)
        # The header holds the rate rounded; the frames follow the exact rate 30000/1001.
        self.assertEqual(read_header(self.path("out.wav")),
                         (3, 1, 30, 32, expected_frames(48000, 48000 * 1001, 30000)))

    def test_block_size_does_not_change_the_file(self):
        write_pcm(self.path("in.wav"), 44100, 2, 2, 30011)
        outputs = []
        for block in ("1", "7", "512", "4096"):
            out = self.path(f"out{block}.wav")
            p = self.run_tool(self.path("in.wav"), out, "--rate", "48000", "--block", block)
            self.assertEqual(p.returncode, 0, p.stderr)
            with open(out, "rb") as f:
                outputs.append(f.read())
        self.assertTrue(all(o == outputs[0] for o in outputs))

    def test_equal_rates_copy_the_samples(self):
        write_pcm(self.path("in.wav"), 44100, 2, 2, 10000)
        p = self.run_tool(self.path("in.wav"), self.path("out.wav"), "--rate", "44100")
        self.assertEqual(p.returncode, 0, p.stderr)
        with wave.open(self.path("in.wav")) as a, wave.open(self.path("out.wav")) as b:
            self.assertEqual(a.readframes(10**6), b.readframes(10**6))

    def test_bad_input_fails_with_one_line_and_no_output(self):
        write_pcm(self.path("in.wav"), 44100, 1, 2, 1000)
        with open(self.path("text.wav"), "w") as f:
            f.write("this is not audio\n")
        good, out = self.path("in.wav"), self.path("out.wav")
        cases = [
            ((self.path("missing.wav"), out, "--rate", "48000"), "cannot read"),
            ((self.dir, out, "--rate", "48000"), "cannot read"),
            ((self.path("text.wav"), out, "--rate", "48000"), "cannot read"),
            ((good, self.path("no/such/dir/out.wav"), "--rate", "48000"), "cannot write"),
            ((good, self.dir, "--rate", "48000"), "cannot"),
            ((good, out, "--rate", "0"), "targetRate is 0"),
            ((good, out, "--rate", "48000/0"), "targetRate denominator is 0"),
            ((good, out, "--rate", "abc"), "is not a number"),
            ((good, out, "--rate", "-48000"), "is negative"),
            ((good, out, "--rate", "48k"), "trailing characters"),
            ((good, out, "--rate", "9223372036854775807"), "too large to map exactly"),
            ((good, out, "--rate", "48000", "--block", "0"), "at least 1"),
            ((good, out, "--rate", "48000", "--format", "mp3"), "unknown format"),
            ((good, out), "needs IN, OUT and --rate"),
            ((good, out, "--rate", "48000", "--bogus"), "unknown option"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                p = self.run_tool(*args)
                self.assertNotEqual(p.returncode, 0)
                lines = p.stderr.splitlines()
                self.assertEqual(len(lines), 1, p.stderr)
                self.assertTrue(lines[0].startswith("resample: "), lines[0])
                self.assertIn(message, lines[0])
                self.assertFalse(os.path.exists(out), "no output file on failure")
                self.assertEqual([n for n in os.listdir(self.dir) if ".partial-" in n], [])


if __name__ == "__main__":
    RESAMPLE = sys.argv.pop(1)
    unittest.main(verbosity=2)
