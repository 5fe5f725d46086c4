#!/usr/bin/env python3
"""Runs the built ratemap as users do: the worked example in every format, exit codes, one-line errors."""
import csv
import io
import json
import os
import subprocess
import sys
import unittest

RATEMAP = None
MAX_U64 = 2**64 - 1


def run(*args, **kwargs):
    return subprocess.run([RATEMAP, *args], capture_output=True, text=True, timeout=60, **kwargs)


def json_rows(out):
    lines = [json.loads(line) for line in out.splitlines()]
    assert lines[0]["type"] == "config", lines[0]
    return lines[0], lines[1:]


class Formats(unittest.TestCase):
    """Rates 3 and 4: target samples 5 to 10 map to source 3+3/4 .. 7+2/4 and need source 3..8 (3..7)."""

    def test_worked_example_in_every_format(self):
        for next_flag, request_last in ((["-i"], 8), ([], 7)):
            config, rows = json_rows(run("-f", "5", "-l", "10", "-o", "json", "3", "4", *next_flag).stdout)
            self.assertEqual((config["source_common_rate"], config["target_common_rate"]), (3, 4))
            self.assertEqual([(r["target_first"], r["source_first"], r["source_last"], r["request_last"]) for r in rows],
                             [(5, {"whole": 3, "numerator": 3, "denominator": 4},
                               {"whole": 7, "numerator": 2, "denominator": 4}, request_last)])
            lines = run("-f", "5", "-l", "10", "-o", "csv", "3", "4", *next_flag).stdout.splitlines()
            self.assertTrue(lines[0].startswith("# source_rate=3,target_rate=4,source_common_rate=3"))
            (r,) = csv.DictReader(io.StringIO("\n".join(lines[1:])))
            self.assertEqual((r["source_last_whole"], r["source_last_numerator"], r["request_last"]),
                             ("7", "2", str(request_last)))
            table = run("-f", "5", "-l", "10", "3", "4", *next_flag).stdout.splitlines()
            self.assertEqual(table[2].split(), ["0", "5..10", "3+3/4", "~3.750000", "7+2/4", "~7.500000",
                                                f"3..{request_last}", str(request_last - 2)])

    def test_per_sample_positions_and_phases_are_exact(self):
        config, rows = json_rows(run("-r", "-o", "json", "-f", str(2**40 - 3), "-b", "7", "-n", "2", "-p", "1000",
                                     "44100", "48000").stdout)
        self.assertEqual((config["source_common_rate"], config["target_common_rate"], config["reduced"]),
                         (147, 160, True))
        samples = [r for r in rows if r["type"] == "sample"]
        self.assertEqual([r["target"] for r in samples], list(range(2**40 - 3, 2**40 + 11)))
        for r in samples:
            whole, numerator = divmod(r["target"] * 147, 160)
            self.assertEqual((r["source"]["whole"], r["source"]["numerator"]), (whole, numerator))
            self.assertEqual((r["phase"], r["phase_remainder"]), divmod(numerator * 1000, 160))


class ExitCodes(unittest.TestCase):
    def test_a_position_that_does_not_fit_stops_with_1_after_the_rows_that_do(self):
        p = run("-o", "json", "-f", str(3 * 2**62 - 2148), "-b", "1024", "4", "3")
        self.assertEqual((p.returncode, len(json_rows(p.stdout)[1])), (1, 2))
        self.assertRegex(p.stderr, r"^ratemap: block 2 \(target samples .*does not fit in 64 bits; stopping\n$")

    def test_runs_reaching_the_top_index(self):
        # Per-sample positions stop before 2^64 - 1; the table still prints the block row JSON prints.
        p = run("-s", "-f", str(MAX_U64 - 5), "-l", str(MAX_U64), "3", "4")
        self.assertEqual((p.returncode, p.stdout.splitlines()[-1].split()[0]), (1, "0"))
        _, rows = json_rows(run("-o", "json", "-f", str(MAX_U64 - 9), "-l", str(MAX_U64), "-b", "4", "5", "5").stdout)
        self.assertEqual(rows[-1]["target_last"], MAX_U64)
        # All 2^64 target samples in blocks of 1: valid, so it prints (until the reader stops it).
        with subprocess.Popen([RATEMAP, "-o", "csv", "-l", str(MAX_U64), "-b", "1", "1", "1"],
                              stdout=subprocess.PIPE, text=True) as p:
            head = [p.stdout.readline() for _ in range(4)]
            p.kill()
        self.assertTrue(head[3].startswith("1,1,1,1,0,1,"), head)

    def test_a_write_error_stops_at_once_with_exit_3(self):
        for args, closed in ((("44100", "48000", "-n", "100000000000", "-o", "csv"), False),
                             (("44100", "48000", "-n", "100000000000"), True), (("--help",), False)):
            with self.subTest(args=args, closed=closed), open("/dev/full", "w") as full:
                p = subprocess.run([RATEMAP, *args], stdout=full, stderr=subprocess.PIPE, text=True, timeout=20,
                                   preexec_fn=(lambda: os.close(1)) if closed else None)
                self.assertEqual(p.returncode, 3)
                self.assertRegex(p.stderr, r"^ratemap: cannot write the output: .+\n$")
        # A reader that goes away: a failed write too, not a silent death by SIGPIPE.
        p = subprocess.run(f"{RATEMAP} -l {MAX_U64} 44100 48000 | head -1 > /dev/null; exit ${{PIPESTATUS[0]}}",
                           shell=True, executable="/bin/bash", stderr=subprocess.PIPE, text=True, timeout=20)
        self.assertEqual((p.returncode, p.stderr), (3, "ratemap: cannot write the output: Broken pipe\n"))

    BAD = [
        ((), "missing SOURCE_RATE and TARGET_RATE"),
        (("44100",), "missing TARGET_RATE"),
        (("1", "2", "3"), "unexpected extra argument '3'"),
        (("abc", "48000"), "source rate 'abc' is not a number"),
        (("44100", "-48000"), "target rate '-48000' is negative"),
        (("44.1", "48"), "trailing characters '.1'"),
        (("18446744073709551616", "1"), "does not fit in 64 bits"),
        (("1/18446744073709551616", "1"), "denominator that does not fit in 64 bits"),
        (("3/", "4"), "denominator that is not a number"),
        (("0", "48000"), "invalid rates: sourceRate is 0"),
        (("3", "4/0"), "invalid rates: targetRate denominator is 0"),
        (("9223372036854775806", "1"), "too large to map exactly: every rate term"),
        (("4611686018427387904/4", "1/2"), "too large to map exactly: each common rate"),
        (("-b", "0", "3", "4"), "the block size must be at least 1"),
        (("-n", "0", "3", "4"), "the number of blocks must be at least 1"),
        (("-p", "0", "3", "4"), "the number of phases must be at least 1"),
        (("-f", str(MAX_U64 - 4095), "3", "4"), "ends past the last representable target index"),
        (("-f", "10", "-l", "5", "3", "4"), "--last must not be before --first"),
        (("-l", "5", "-n", "2", "3", "4"), "--blocks cannot be combined with --last"),
        (("--format", "xml", "3", "4"), "unknown format 'xml'"),
        (("--bogus", "3", "4"), "unrecognized option '--bogus'"),
        (("3", "4", "--block"), "option '--block' requires a value"),
    ]

    def test_usage_errors_exit_2_with_one_message_and_a_pointer_to_help(self):
        for args, message in self.BAD:
            with self.subTest(args=args):
                p = run(*args)
                self.assertEqual((p.returncode, p.stdout), (2, ""))
                self.assertTrue(p.stderr.startswith("ratemap: ") and message in p.stderr, p.stderr)
                self.assertTrue(p.stderr.endswith(" (see ratemap --help)\n"), p.stderr)


if __name__ == "__main__":
    RATEMAP = sys.argv.pop(1)
    unittest.main(verbosity=2)
