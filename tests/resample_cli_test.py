#!/usr/bin/env python3
"""Runs the resample tool as users do: formats and exact lengths (ceil(N * T / S) frames), pipes in and out for
every container, the RF64 switch, segments and threads that join bit for bit for every preset, rounding and
clipping, outputs that are not regular files or replace one, and a table of bad inputs that must each fail with
one line, the right exit status, and nothing lost or left behind."""
import math
import os
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

RESAMPLE = None
PRESETS = ("linear", "medium", "high", "very-high", "max")


def write_wav(path, rate, channels, width, frames, tag=1, samples=None):
    """A WAV of `samples`, or of a sine per channel: PCM of `width` bytes, or float of 4 or 8 when tag is 3."""
    if samples is None:
        samples = [math.sin(2 * math.pi * 440 * (c + 1) * i / rate) * 0.8 for i in range(frames)
                   for c in range(channels)]
    peak = 2 ** (8 * width - 1) - 1
    data = b"".join(struct.pack("<f" if width == 4 else "<d", v) if tag == 3
                    else int(v * peak).to_bytes(width, "little", signed=True) for v in samples)
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
        # (rate, channels, width, tag, frames, --rate, extra, expected; frames are ceil(n * T / S))
        for rate, ch, width, tag, frames, target, extra, want in (
                (44100, 2, 2, 1, 20000, "48000", [], ("RF64", 1, 2, 48000, 16, -(-20000 * 480 // 441))),
                (48000, 1, 3, 1, 9001, "44100", [], ("RIFF", (0xFFFE, 1), 1, 44100, 24, -(-9001 * 441 // 480))),
                (44100, 3, 4, 3, 5000, "96000", [], ("RF64", (0xFFFE, 3), 3, 96000, 32, -(-5000 * 960 // 441))),
                (48000, 3, 2, 1, 4800, "30000/1001", ["-f", "pcm16"], ("RIFF", (0xFFFE, 1), 3, 30, 16, 3)),
                (44100, 2, 2, 1, 300, "48000", ["-f", "float"], ("RIFF", 3, 2, 48000, 32, -(-300 * 480 // 441))),
                (44100, 1, 8, 3, 300, "48000", ["-q", "max"], ("RIFF", 3, 1, 48000, 64, -(-300 * 480 // 441))),
                (44100, 2, 2, 1, 300, "48000", ["-f", "pcm32"], ("RIFF", (0xFFFE, 1), 2, 48000, 32, 327))):
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
        # max keeps float64: its frames are not float32 values.
        data = self.read("out.wav")[6][:8 * 300]
        values = struct.unpack(f"<{len(data) // 8}d", data)
        self.assertTrue(any(struct.unpack("<f", struct.pack("<f", v))[0] != v for v in values))

    def test_dither_is_one_step_of_the_output_at_any_level(self):
        # Near full scale, a float32 step is half a 24-bit step: dither added there would round the signal to it.
        # Added in the integer domain, triangular dither leaves the output's mean at the input itself.
        level = (7549747 + 0.25) / 2 ** 23
        write_wav(self.path("in.wav"), 48000, 1, 8, 20000, tag=3, samples=[level] * 20000)
        p = self.run_tool(self.path("in.wav"), self.path("out.wav"), "-r", "48000", "-q", "max", "-f", "pcm24",
                          "--dither")
        self.assertEqual(p.returncode, 0, p.stderr)
        data = self.read("out.wav")[6]
        steps = [int.from_bytes(data[i:i + 3], "little", signed=True) for i in range(0, len(data), 3)]
        self.assertEqual(set(steps), {7549746, 7549747, 7549748})
        self.assertAlmostEqual(sum(steps) / len(steps), 7549747.25, delta=0.02)

    def test_segments_and_threads_join_bit_for_bit_for_every_preset(self):
        write_wav(self.path("in.wav"), 44100, 2, 2, 4001)
        # Every preset as float; and dithered 16 bits, whose noise is a function of the frame index.
        for quality, fmt, frame in ([(q, ["-f", "float"], 8) for q in PRESETS] + [("high", ["--dither"], 4)] +
                                    [("max", ["-f", "double", "--bandwidth", "0.95"], 16)]):
            with self.subTest(quality=quality, format=fmt):
                runs = {}
                # "-": threads to a pipe, where the later segments wait in spools as the output's samples.
                for name, extra in (("whole", []), ("threads", ["--threads", "3"]), ("block1", ["--block", "1"]),
                                    ("part", ["--start", "1234", "--frames", "777"]), ("-", ["--threads", "3"])):
                    p = self.run_tool(self.path("in.wav"), name if name == "-" else self.path(name), "--rate",
                                      "48000", "-q", quality, *fmt, *extra)
                    self.assertEqual(p.returncode, 0, p.stderr)
                    runs[name] = parse(p.stdout)[6] if name == "-" else self.read(name)[6]
                for name in ("threads", "-", "block1"):
                    self.assertEqual(runs[name], runs["whole"], name)
                self.assertEqual(runs["part"], runs["whole"][1234 * frame:(1234 + 777) * frame])

    def test_outputs_that_are_not_regular_files_are_written_through(self):
        write_wav(self.path("in.wav"), 44100, 1, 2, 2000)
        os.symlink("target.wav", self.path("link.wav"))
        self.assertEqual(self.run_tool(self.path("in.wav"), self.path("link.wav"), "--rate", "48000").returncode, 0)
        self.assertTrue(os.path.islink(self.path("link.wav")), "the link stays a link")
        self.assertEqual(self.read("target.wav")[5], -(-2000 * 480 // 441))
        self.assertEqual(self.run_tool(self.path("in.wav"), "/dev/null", "--rate", "48000").returncode, 0)
        self.assertTrue(os.path.exists("/dev/null") and not os.path.isfile("/dev/null"))

    def test_an_interrupted_run_removes_its_partial_output(self):
        write_wav(self.path("in.wav"), 48000, 2, 2, 48000)
        with open(self.path("in.wav"), "rb") as f:
            head = f.read(100000)  # the header and some frames; the rest never comes
        p = subprocess.Popen([RESAMPLE, "--quiet", "-", self.path("out.wav"), "--rate", "44100"],
                             stdin=subprocess.PIPE, stderr=subprocess.PIPE)
        p.stdin.write(head)
        p.stdin.flush()
        while len(os.listdir(self.tmp.name)) < 2:
            time.sleep(0.01)
        p.send_signal(signal.SIGTERM)
        _, err = p.communicate(timeout=60)
        self.assertEqual((p.returncode, err.decode()), (-signal.SIGTERM, "resample: interrupted; removed the partial output\n"))
        self.assertEqual(sorted(os.listdir(self.tmp.name)), ["in.wav"])

    def test_every_container_through_pipes_gives_the_files_samples(self):
        write_wav(self.path("in.wav"), 44100, 2, 2, 3001)
        self.assertEqual(self.run_tool(self.path("in.wav"), self.path("ref.wav"), "-r", "48000").returncode, 0)
        for kind in ("au", "flac", "caf", "aiff", "w64"):
            with self.subTest(kind=kind):
                # Written to a pipe, read from one (AU of unknown length), and converted back to WAV at its rate.
                chain = (f"set -o pipefail; {RESAMPLE} --quiet {self.path('in.wav')} - -t {kind} -r 44100 | cat | "
                         f"{RESAMPLE} --quiet - {self.path('out.wav')} -r48000")
                p = subprocess.run(["bash", "-c", chain], capture_output=True, timeout=60)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(self.read("out.wav")[5:], self.read("ref.wav")[5:])

    def test_a_wav_of_unknown_length_is_read_to_its_end_and_written_so(self):
        write_wav(self.path("in.wav"), 44100, 2, 3, 3001)
        self.assertEqual(self.run_tool(self.path("in.wav"), self.path("ref.wav"), "-r", "16000").returncode, 0)
        with open(self.path("in.wav"), "rb") as f:
            blob = f.read()
        for size in (b"\xff" * 4, b"\0" * 4):  # RIFF and data sizes as a writer to a pipe leaves them
            streamed = b"RIFF" + size + blob[8:40] + size + blob[44:]
            piped = subprocess.run(f"cat | {RESAMPLE} --quiet - - -r 16000 | cat", shell=True, input=streamed,
                                   capture_output=True, timeout=60)
            self.assertEqual((piped.stdout[4:8], parse(piped.stdout)[6]), (b"\xff" * 4, self.read("ref.wav")[6]))
            with open(self.path("s.wav"), "wb") as f:
                f.write(streamed)
            self.assertEqual(self.run_tool(self.path("s.wav"), self.path("out.wav"), "-r", "16000", "-j", "2").returncode, 0)
            self.assertEqual(self.read("out.wav"), self.read("ref.wav"))
        p = subprocess.run([RESAMPLE, "-", self.path("out.wav"), "-r", "16000"], input=streamed[:-1], capture_output=True)
        self.assertEqual((p.returncode, p.stderr), (1, b"resample: '-' ends part-way through a frame\n"))

    def test_raw_samples_in_and_out_are_the_wav_samples(self):
        write_wav(self.path("in.wav"), 44100, 3, 2, 2001)
        for fmt, width, endian in (("pcm16", 2, "big"), ("pcm24", 3, "little"), ("float", 4, "native"),
                                   ("double", 8, "big")):
            with self.subTest(format=fmt):
                self.run_tool(self.path("in.wav"), self.path("ref.wav"), "-r", "48000", "-f", fmt)
                data = self.read("ref.wav")[6]
                raw = self.run_tool(self.path("in.wav"), "-", "-r", "48000", "-f", fmt, "-t", "raw", "--endian", endian)
                if endian == "big":
                    data = b"".join(data[i:i + width][::-1] for i in range(0, len(data), width))
                self.assertEqual(raw.stdout, data)
                with open(self.path("in.raw"), "wb") as f:
                    f.write(raw.stdout)
                described = ["--input-rate", "48000", "--input-channels", "3", "--input-format", fmt, "--input-endian", endian]
                self.run_tool(self.path("in.raw"), self.path("out.wav"), "-r", "48000", "-j", "2", *described)
                piped = self.run_tool("-", "-", "--input-type", "raw", "-r", "48000", *described, input=raw.stdout)
                self.assertEqual(self.read("out.wav"), self.read("ref.wav"))
                self.assertEqual(parse(piped.stdout)[6], self.read("ref.wav")[6])

    def test_lossy_outputs_and_inputs_without_a_pcm_depth(self):
        write_wav(self.path("in.wav"), 44100, 2, 2, 4410)
        for kind in ("ogg", "opus", "mp3"):
            with self.subTest(kind=kind):
                self.assertEqual(self.run_tool(self.path("in.wav"), self.path(f"o.{kind}"), "-r", "16000").returncode, 0)
                # Decoded whole, at its rate and length, as float: lossy samples have no PCM depth to keep.
                self.assertEqual(self.run_tool(self.path(f"o.{kind}"), self.path("back.wav"), "-r", "16000").returncode, 0)
                self.assertEqual(self.read("back.wav")[1:6], (3, 2, 16000, 32, 1600))
        self.run_tool(self.path("o.ogg"), self.path("back.flac"), "-r", "16000")  # FLAC holds no float: 24 bits
        self.run_tool(self.path("back.flac"), self.path("back.wav"), "-r", "16000")
        self.assertEqual(self.read("back.wav")[4], 24)

    def test_integers_are_rounded_and_clipping_is_counted(self):
        frames = [0.3 * math.sin(i / 7) + (1.5 if i % 100 < 50 else -1.5) * (i >= 4000) for i in range(6000)]
        body = b"".join(struct.pack("<f", v) for v in frames)
        fmt = struct.pack("<HHIIHH", 3, 1, 8000, 32000, 4, 32)
        with open(self.path("in.wav"), "wb") as f:
            f.write(b"RIFF" + struct.pack("<I", 36 + len(body)) + b"WAVEfmt " + struct.pack("<I", 16) + fmt +
                    b"data" + struct.pack("<I", len(body)) + body)
        for kind, threads in (("wav", "1"), ("flac", "3")):  # FLAC's count the sum of its segments'
            p = self.run_tool(self.path("in.wav"), self.path(f"o.{kind}"), "-r", "8000", "-f", "pcm16", "-j", threads)
            self.assertEqual(p.stderr.decode(), "resample: 2000 samples clipped to the 16-bit range\n")
        self.assertEqual(self.run_tool(self.path("o.flac"), self.path("back.wav"), "-r", "8000").returncode, 0)
        got = struct.unpack("<6000h", self.read("o.wav")[6])
        want = [max(-32768, min(32767, round(struct.unpack("<f", struct.pack("<f", v))[0] * 32768))) for v in frames]
        self.assertEqual(list(got), want)
        self.assertEqual(self.read("back.wav")[6], self.read("o.wav")[6])

    def test_a_replaced_file_keeps_its_mode_and_links_and_append_writes_in_order(self):
        write_wav(self.path("in.wav"), 44100, 1, 2, 2000)
        for name in ("out.wav", "prefixed.wav"):
            with open(self.path(name), "wb") as f:
                f.write(b"old contents")
        os.chmod(self.path("out.wav"), 0o600)
        os.link(self.path("out.wav"), self.path("link.wav"))
        self.assertEqual(self.run_tool(self.path("in.wav"), self.path("out.wav"), "-r", "48000").returncode, 0)
        self.assertEqual(os.stat(self.path("out.wav")).st_mode & 0o777, 0o600)
        self.assertEqual(self.read("link.wav"), self.read("out.wav"))
        with open(self.path("prefixed.wav"), "ab") as f:
            p = subprocess.run([RESAMPLE, "--quiet", self.path("in.wav"), "-", "-r", "48000", "-j", "2"], stdout=f,
                               stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        with open(self.path("prefixed.wav"), "rb") as f, open(self.path("out.wav"), "rb") as g:
            self.assertEqual(f.read(), b"old contents" + g.read())

    def test_a_full_disk_or_a_signal_during_the_last_copy_loses_nothing(self):
        # A file-size limit (SIGXFSZ ignored) one byte short fails the WAV's last write, FLAC's final header, or
        # the MP3 encoder's last frames, flushed at close after a tag that gives the whole length; half way, an MP3
        # write the encoder counts as done.
        write_wav(self.path("in.wav"), 44100, 1, 2, 30000)
        for kind, short in (("wav", 1), ("flac", 1), ("mp3", 1), ("mp3", 2000)):
            self.assertEqual(self.run_tool(self.path("in.wav"), self.path(f"ref.{kind}"), "-r", "48000").returncode, 0)
            limit = os.path.getsize(self.path(f"ref.{kind}")) - short
            with open(self.path(f"out.{kind}"), "wb") as f:
                f.write(b"old contents")
            p = self.run_tool(self.path("in.wav"), self.path(f"out.{kind}"), "-r", "48000", preexec_fn=lambda: (
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)), signal.signal(signal.SIGXFSZ, signal.SIG_IGN)))
            self.assertEqual((p.returncode, p.stderr.count(b"\n"), os.path.getsize(self.path(f"out.{kind}"))),
                             (3, 1, 12), p.stderr)
        # SIGTERM while 22 MB are copied into a file with a second link: that file ends as it was or whole, and
        # the complete output is never removed while it is the only one.
        big = [self.path("in.wav"), "-r", "2822400", "-q", "linear", "-f", "double"]
        self.assertEqual(self.run_tool(big[0], self.path("whole.wav"), *big[1:]).returncode, 0)
        os.link(self.path("out.wav"), self.path("link.wav"))
        before = os.stat(self.path("link.wav")).st_mtime_ns
        p = subprocess.Popen([RESAMPLE, "--quiet", big[0], self.path("out.wav"), *big[1:]])
        while p.poll() is None and os.stat(self.path("link.wav")).st_mtime_ns == before:
            pass
        p.send_signal(signal.SIGTERM)
        p.wait(timeout=60)
        kept = [name for name in os.listdir(self.tmp.name) if name.startswith(".out.wav")] + ["link.wav"]
        with open(self.path("whole.wav"), "rb") as w, open(self.path("link.wav"), "rb") as f, \
                open(self.path(kept[0]), "rb") as g:
            whole = w.read()
            self.assertIn(f.read(), (b"old contents", whole))
            self.assertEqual(g.read(), whole, "the complete output is kept")

    def test_bad_input_fails_with_one_line_and_leaves_nothing(self):
        write_wav(self.path("in.wav"), 44100, 1, 2, 30000)
        with open(self.path("text.wav"), "w") as f:
            f.write("this is not audio\n")
        with open(self.path("in.wav"), "rb") as f, open(self.path("trunc.wav"), "wb") as g:
            g.write(f.read(44 + 30000))  # a file cut short: libsndfile would take it for 15000 frames, whole
        good, out, cut, flac = self.path("in.wav"), self.path("out.wav"), self.path("cut.flac"), self.path("f.flac")
        self.assertEqual(self.run_tool(good, flac, "-r", "44100").returncode, 0)
        with open(flac, "rb") as f, open(cut, "wb") as g:
            g.write(f.read()[:os.path.getsize(flac) * 6 // 10])
        os.remove(flac)
        ogg, w64, empty = self.path("o.ogg"), self.path("o.w64"), self.path("empty.wav")
        self.assertEqual(self.run_tool(good, ogg, "-r", "44100").returncode, 0)
        self.assertEqual(self.run_tool(good, w64, "-r", "44100").returncode, 0)
        self.assertEqual(self.run_tool(good, empty, "-r", "44100", "--frames", "0").returncode, 0)
        r = f"{RESAMPLE} --quiet"
        for status, command, message in (
                (1, f"head -c -10 {ogg} | {r} - {out} -r 48000", "cannot read '-': its end is missing or damaged"),
                (1, f"head -c 20000 {w64} | {r} - {out} -r 48000", "'-' ends after 20000 of the .* bytes its header"),
                (3, f"{r} {empty} {self.path('e.flac')} -r 48000", "wrote no readable stream for 0 frames"),
                (1, f"{r} {cut} {out} -r 48000", "cannot read '.*cut.flac': .*lost sync"),
                (1, f"{r} {cut} {out} -r 48000 -j 3 -b 65536", "cannot read '.*cut.flac'"),
                (1, f"head -c 25000 {good} | {r} - {out} -r 48000", "'-' ends after 12478 of the 30000 frames"),
                (1, f"{r} {self.path('trunc.wav')} {out} -r 48000", "'.*trunc.wav' ends after 15000 of the 30000 frames"),
                (1, f"{r} - {out} -r 48000 -j 2 < {self.path('trunc.wav')}", "'-' ends after 15000 of the 30000 frames"),
                (1, f"{r} {good} - -t au -r 44100 2>/dev/null | cat | {r} - {out} -r 8000 --start {2**63}",
                 f"'-': cannot convert: output frame {2**63} lies past input frame 2.61 - 1, the last"),
                (1, f"{r} {good} - -t au -r 44100 2>/dev/null | cat | {r} - {out} -r 8000 --start {2**64 - 1}", "lies past"),
                (1, f"{r} {good} {out} -r 8000 --start {2**63}", "output frame 9223372036854775808 lies past"),
                (1, f"{r} {self.path('missing.wav')} {out} -r 48000", "cannot read '.*missing.wav'"),
                (1, f"{r} {self.path('text.wav')} {out} -r 48000", "cannot read"),
                (1, f"{r} {self.tmp.name} {out} -r 48000", "cannot read .*: it is a directory"),
                (2, f"{r} - - -r 48000 < {good} 1<>{good}", "is the input; choose another output"),
                (2, f"{r} {good} - -r 48000 1<>{good}", "is the input; choose another output"),
                (2, f"{r} {good} {good} -r 48000", "is the input; choose another output"),
                (2, f"cat {good} | {r} - {out} -r 48000 -j 2", "needs a seekable input of known length"),
                (2, f"{r} {good} {out} -r 48000 --dither=no", "option '--dither' takes no value"),
                (2, f"{r} {good} {self.path('out.mp4')} -r 48000", "cannot tell the container from '.*out.mp4'"),
                (2, f"{r} {good} {out} -r 48000/0", "a rate's numerator or denominator is 0"),
                (2, f"{r} {good} {out} -r 48k", "trailing characters"),
                (2, f"{r} {good} {out} -r 9223372036854775807", "too large to map exactly"),
                (2, f"{r} {good} {out} -r 48000 -b 1099511627776", "--block must be 1 to 65536"),
                (2, f"{r} {good} {out} -r 48000 -j 65", "--threads must be 1 to 64"),
                (2, f"{r} {good} {out} -r 48000 -f mp3", "unknown format"),
                (2, f"{r} {good} {out} -r 48000 -t flac -f float", "FLAC holds 16- or 24-bit PCM, not float; choose"),
                (2, f"{r} {good} {self.path('o.flac')} -r 700000", "cannot write FLAC at 700000 Hz with 1 channel: "),
                (2, f"{r} {good} {self.path('o.opus')} -r 44100", "Opus at 44100 Hz with 1 channel: Opus only supports"),
                (2, f"{r} - {self.path('o.flac')} -r 8000 --input-type raw --input-rate 8000 --input-channels 17 "
                 f"--input-format pcm16 < {good}", "FLAC holds at most 8 channels, not 17"),
                (2, f"{r} - {self.path('o.mp3')} -r 8000 --input-type raw --input-rate 8000 --input-channels 17 "
                 f"--input-format pcm16 < {good}", "MP3 holds at most 2 channels, not 17"),
                (2, f"{r} - {out} -r 8000 --input-type raw --input-rate 8000 --input-channels 1 < {good}",
                 "raw input needs --input-format"),
                (2, f"{r} {good} {out} -r 8000 --input-channels 2", "--input-channels describes raw input"),
                (2, f"{r} {good} {out} -r 48000 -q ultra", "unknown quality 'ultra'"),
                (2, f"{r} {good} {out} -r 48000 -f float --dither", "--dither needs pcm16, pcm24 or pcm32"),
                (2, f"{r} {good} {out} -r 48000 --bandwidth 0.995", "--bandwidth must be 0.80 to 0.99, not '0.995'"),
                (2, f"{r} {good} {out} -r 48000 -q linear --bandwidth 0.9", "needs a filtered quality"),
                (2, f"{r} {good} {out} -r 101 --bandwidth 0.99", "0.99 at the high preset needs a filter longer"),
                (2, f"{r} {good} {out}", "needs IN, OUT and --rate"),
                (2, f"{r} {good} {out} -r 48000 --bogus", "unrecognized option '--bogus'"),
                (3, f"{r} {good} {self.path('no/such/dir/out.wav')} -r 48000", "No such file or directory"),
                (3, f"{r} {good} {self.tmp.name} -r 48000", "cannot write .*: it is a directory"),
                (3, f"{r} {good} /dev/full -r 48000", "No space left on device"),
                (3, f"{r} {good} /dev/full -r 48000 -t ogg", "cannot write '/dev/full': No space left on device"),
                (3, f"TMPDIR=/nonexistent {r} {good} {self.path('o.flac')} -r 48000 -j 2", "spool file in '/nonexistent'"),
                (3, f"{r} --version > /dev/full", "cannot write the output: No space left on device")):
            with self.subTest(command=command):
                p = subprocess.run(command, shell=True, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                self.assertEqual(p.returncode, status, p.stderr)
                self.assertRegex(p.stderr.decode(), f"^resample: .*{message}.*\n$")
                self.assertEqual(sorted(os.listdir(self.tmp.name)),
                                 ["cut.flac", "empty.wav", "in.wav", "o.ogg", "o.w64", "text.wav", "trunc.wav"])
                self.assertEqual(os.path.getsize(good), 44 + 60000, "the input is whole")


if __name__ == "__main__":
    RESAMPLE = sys.argv.pop(1)
    unittest.main(verbosity=2)
