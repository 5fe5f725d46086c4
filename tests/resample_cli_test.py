#!/usr/bin/env python3
"""Runs the resample tool as users do: formats and exact lengths, pipes, the RF64 switch, segments and threads
that join bit for bit for every preset, outputs that are not regular files, and a table of bad inputs that must
each fail with one line, the right exit status, and nothing left behind."""
import math
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

RESAMPLE = None
PRESETS = ("linear", "medium", "high", "very-high")


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


def parse(blob):
    """(kind, format, channels, rate, bits, frames, data bytes) of a WAV or RF64 file's bytes, where the format is
    the tag, or (0xFFFE, the subformat's tag) in the extensible form."""
    pos, fmt, sizes = 12, None, {}
    while blob[pos:pos + 4] != b"data":
        tag, size = blob[pos:pos + 4], struct.unpack("<I", blob[pos + 4:pos + 8])[0]
        if tag == b"fmt ":
            fmt = struct.unpack("<HHIIHH", blob[pos + 8:pos + 24])
            if fmt[0] == 0xFFFE:
                fmt = ((0xFFFE, struct.unpack("<H", blob[pos + 32:pos + 34])[0]),) + fmt[1:]
        if tag == b"ds64":
            sizes = dict(zip(("riff", "data"), struct.unpack("<QQ", blob[pos + 8:pos + 24])))
        pos += 8 + size + (size & 1)
    size = sizes.get("data", struct.unpack("<I", blob[pos + 4:pos + 8])[0])
    data = blob[pos + 8:pos + 8 + size]
    return blob[:4].decode(), fmt[0], fmt[1], fmt[2], fmt[5], size // fmt[4], data


class Resample(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.path = lambda name: os.path.join(self.tmp.name, name)

    def run_tool(self, *args, **kwargs):
        return subprocess.run([RESAMPLE, "--quiet", *args], capture_output=True, timeout=120, **kwargs)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return parse(f.read())

    def test_formats_exact_lengths_pipes_and_rf64(self):
        env = dict(os.environ, ZEL_RESAMPLE_RF64_THRESHOLD="40000")  # the 4 GiB limit, lowered for the test
        # (rate, channels, width, tag, frames, --rate, extra, expected; frames are (n - 1) * T / S + 1)
        for rate, ch, width, tag, frames, target, extra, want in (
                (44100, 2, 2, 1, 20000, "48000", [], ("RF64", 1, 2, 48000, 16, 19999 * 480 // 441 + 1)),
                (48000, 1, 3, 1, 9001, "44100", [], ("RIFF", (0xFFFE, 1), 1, 44100, 24, 9000 * 441 // 480 + 1)),
                (44100, 3, 4, 3, 5000, "96000", [], ("RF64", (0xFFFE, 3), 3, 96000, 32, 4999 * 960 // 441 + 1)),
                (48000, 3, 2, 1, 4800, "30000/1001", ["-f", "pcm16"], ("RIFF", (0xFFFE, 1), 3, 30, 16, 4799 * 30000 // 48048000 + 1)),
                (44100, 2, 2, 1, 300, "48000", ["-f", "float"], ("RIFF", 3, 2, 48000, 32, 299 * 480 // 441 + 1))):
            with self.subTest(target=target):
                write_wav(self.path("in.wav"), rate, ch, width, frames, tag)
                p = self.run_tool(self.path("in.wav"), self.path("out.wav"), "--rate", target, *extra, env=env)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(self.read("out.wav")[:6], want)
                # The same bytes from stdin to stdout through pipes, where the header is written first.
                with open(self.path("in.wav"), "rb") as f:
                    piped = subprocess.run(f"cat | {RESAMPLE} --quiet - - --rate {target} {' '.join(extra)} | cat",
                                           shell=True, stdin=f, capture_output=True, timeout=60, env=env)
                self.assertEqual(parse(piped.stdout), self.read("out.wav"))
                # libsndfile reads what the tool wrote, RF64 included.
                self.assertEqual(self.run_tool(self.path("out.wav"), self.path("back.wav"), "--rate", "1").returncode, 0)

    def test_segments_and_threads_join_bit_for_bit_for_every_preset(self):
        write_wav(self.path("in.wav"), 44100, 2, 2, 4001)
        # Every preset as float; and dithered 16 bits, whose noise is a function of the frame index.
        for quality, fmt, frame in [(q, ["-f", "float"], 8) for q in PRESETS] + [("high", ["--dither"], 4)]:
            with self.subTest(quality=quality, format=fmt):
                runs = {}
                for name, extra in (("whole", []), ("threads", ["--threads", "3"]), ("block1", ["--block", "1"]),
                                    ("part", ["--start", "1234", "--frames", "777"])):
                    p = self.run_tool(self.path("in.wav"), self.path(name), "--rate", "48000", "-q", quality,
                                      *fmt, *extra)
                    self.assertEqual(p.returncode, 0, p.stderr)
                    runs[name] = self.read(name)[6]
                self.assertEqual(runs["threads"], runs["whole"])
                self.assertEqual(runs["block1"], runs["whole"])
                self.assertEqual(runs["part"], runs["whole"][1234 * frame:(1234 + 777) * frame])

    def test_outputs_that_are_not_regular_files_are_written_through(self):
        write_wav(self.path("in.wav"), 44100, 1, 2, 2000)
        os.symlink("target.wav", self.path("link.wav"))
        self.assertEqual(self.run_tool(self.path("in.wav"), self.path("link.wav"), "--rate", "48000").returncode, 0)
        self.assertTrue(os.path.islink(self.path("link.wav")), "the link stays a link")
        self.assertEqual(self.read("target.wav")[5], 1999 * 480 // 441 + 1)
        self.assertEqual(self.run_tool(self.path("in.wav"), "/dev/null", "--rate", "48000").returncode, 0)
        self.assertTrue(os.path.exists("/dev/null") and not os.path.isfile("/dev/null"))

    def test_an_interrupted_run_removes_its_partial_output(self):
        write_wav(self.path("in.wav"), 48000, 2, 2, 48000 * 20)
        p = subprocess.Popen([RESAMPLE, "--quiet", self.path("in.wav"), self.path("out.wav"), "--rate", "44100",
                              "-q", "very-high", "--block", "1"], stderr=subprocess.PIPE)
        time.sleep(0.5)
        p.send_signal(signal.SIGTERM)
        _, err = p.communicate(timeout=60)
        self.assertNotEqual(p.returncode, 0)
        self.assertEqual(err.decode(), "resample: interrupted; removed the partial output\n")
        self.assertEqual(sorted(os.listdir(self.tmp.name)), ["in.wav"])

    def test_bad_input_fails_with_one_line_and_leaves_nothing(self):
        write_wav(self.path("in.wav"), 44100, 1, 2, 1000)
        with open(self.path("text.wav"), "w") as f:
            f.write("this is not audio\n")
        good, out = self.path("in.wav"), self.path("out.wav")
        for status, args, message in (
                (1, (self.path("missing.wav"), out, "--rate", "48000"), "cannot read '.*missing.wav'"),
                (1, (self.path("text.wav"), out, "--rate", "48000"), "cannot read"),
                (1, (good, self.path("no/such/dir/out.wav"), "--rate", "48000"), "No such file or directory"),
                (1, (good, self.tmp.name, "--rate", "48000"), "is a directory"),
                (1, (good, "/dev/full", "--rate", "48000"), "No space left on device"),
                (2, (good, good, "--rate", "48000"), "is the input; choose another output"),
                (2, (good, out, "--rate", "48000/0"), "targetRate denominator is 0"),
                (2, (good, out, "--rate", "48k"), "trailing characters"),
                (2, (good, out, "--rate", "9223372036854775807"), "too large to map exactly"),
                (2, (good, out, "--rate", "48000", "--block", "0"), "--block must be 1 to 65536"),
                (2, (good, out, "--rate", "48000", "--block", "1099511627776"), "--block must be 1 to 65536"),
                (2, (good, out, "--rate", "48000", "--threads", "65"), "--threads must be 1 to 64"),
                (2, ("-", out, "--rate", "48000", "--threads", "2"), "needs a file to read, not a pipe"),
                (2, (good, out, "--rate", "48000", "-f", "mp3"), "unknown format"),
                (2, (good, out, "--rate", "48000", "-t", "mp3"), "unknown type"),
                (2, (good, out, "--rate", "48000", "-t", "flac", "-f", "float"), "cannot write this sample format"),
                (2, (good, out, "--rate", "48000", "--quality", "ultra"), "unknown quality 'ultra'"),
                (2, (good, out, "--rate", "48000", "-f", "float", "--dither"), "--dither needs pcm16 or pcm24"),
                (2, (good, out), "needs IN, OUT and --rate"),
                (2, (good, out, "--rate", "48000", "--bogus"), "unknown option '--bogus'")):
            with self.subTest(args=args):
                p = self.run_tool(*args, stdin=subprocess.DEVNULL)
                self.assertEqual(p.returncode, status, p.stderr)
                self.assertRegex(p.stderr.decode(), f"^resample: .*{message}.*\n$")
                self.assertEqual(sorted(os.listdir(self.tmp.name)), ["in.wav", "text.wav"])


if __name__ == "__main__":
    RESAMPLE = sys.argv.pop(1)
    unittest.main(verbosity=2)
