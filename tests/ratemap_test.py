#!/usr/bin/env python3
"""Runs the built ratemap tool: the worked example in every format, and every kind of bad input."""
import csv
import io
import json
import subprocess
import sys
import unittest

RATEMAP = None
MAX_U64 = 2**64 - 1


def run(*args):
    return subprocess.run([RATEMAP, *args], capture_output=True, text=True, timeout=60)


def json_rows(out):
    lines = [json.loads(line) for line in out.splitlines()]
    assert lines[0]["type"] == "config", lines[0]
    return lines[0], lines[1:]


class WorkedExample(unittest.TestCase):
    """Rates 3 and 4: target samples 5 to 10 map to source 3+3/4 .. 7+2/4, request 3..8 (or 3..7)."""

    def check_json(self, include_next, request_last):
        args = ["--first", "5", "--last", "10", "--format", "json", "3", "4"]
        p = run(*(args + ["--include-next"] if include_next else args))
        self.assertEqual(p.returncode, 0, p.stderr)
        config, rows = json_rows(p.stdout)
        self.assertEqual((config["source_common_rate"], config["target_common_rate"]), (3, 4))
        self.assertEqual(len(rows), 1)
        row = rows[0]
        self.assertEqual((row["target_first"], row["target_last"]), (5, 10))
        self.assertEqual(row["source_first"], {"whole": 3, "numerator": 3, "denominator": 4})
        self.assertEqual(row["source_last"], {"whole": 7, "numerator": 2, "denominator": 4})
        self.assertEqual((row["request_first"], row["request_last"]), (3, request_last))
        self.assertEqual(row["request_length"], request_last - 3 + 1)

    def test_json_with_and_without_next_sample(self):
        self.check_json(True, 8)
        self.check_json(False, 7)

    def test_csv(self):
        for flag, request_last in (("-i", "8"), (None, "7")):
            args = ["-f", "5", "-l", "10", "-o", "csv", "3", "4"] + ([flag] if flag else [])
            p = run(*args)
            self.assertEqual(p.returncode, 0, p.stderr)
            lines = p.stdout.splitlines()
            self.assertTrue(lines[0].startswith("# source_rate=3,target_rate=4,source_common_rate=3"))
            rows = list(csv.DictReader(io.StringIO("\n".join(lines[1:]))))
            self.assertEqual(len(rows), 1)
            r = rows[0]
            self.assertEqual((r["source_first_whole"], r["source_first_numerator"], r["source_first_denominator"]),
                             ("3", "3", "4"))
            self.assertEqual((r["source_last_whole"], r["source_last_numerator"]), ("7", "2"))
            self.assertEqual((r["request_first"], r["request_last"]), ("3", request_last))

    def test_table(self):
        p = run("-i", "-f", "5", "-l", "10", "3", "4")
        self.assertEqual(p.returncode, 0, p.stderr)
        header, columns, row = p.stdout.splitlines()
        self.assertIn("source rate 3, target rate 4; common rates 3:4", header)
        self.assertEqual(columns.split(), ["block", "target", "source_first", "approx", "source_last", "approx",
                                           "request", "length"])
        self.assertEqual(row.split(), ["0", "5..10", "3+3/4", "~3.750000", "7+2/4", "~7.500000", "3..8", "6"])
        self.assertEqual(run("3", "4", "-f5", "-l10").stdout.splitlines()[2].split()[6], "3..7")


class BlockPlan(unittest.TestCase):
    def test_default_run_is_eight_blocks_of_512_that_tile_the_source(self):
        p = run("-o", "json", "44100", "48000")
        self.assertEqual(p.returncode, 0, p.stderr)
        config, rows = json_rows(p.stdout)
        self.assertEqual((config["source_rate"], config["target_rate"]), ("44100", "48000"))
        self.assertEqual(len(rows), 8)
        for i, row in enumerate(rows):
            self.assertEqual((row["block"], row["target_first"], row["target_last"]), (i, 512 * i, 512 * i + 511))
            # Exact positions: whole + numerator/denominator == target * 44100 / 48000.
            for end in ("first", "last"):
                pos = row["source_" + end]
                self.assertEqual(pos["denominator"], 48000)
                self.assertEqual(pos["whole"] * 48000 + pos["numerator"], row["target_" + end] * 44100)

    def test_reduce_and_fractional_rates(self):
        config, rows = json_rows(run("-r", "-o", "json", "-n", "1", "30000/1001", "48000").stdout)
        self.assertEqual((config["source_common_rate"], config["target_common_rate"]), (5, 8008))
        self.assertTrue(config["reduced"])
        self.assertEqual(rows[0]["source_last"], {"whole": 0, "numerator": 2555, "denominator": 8008})

    def test_explicit_run_ending_at_the_top_index(self):
        p = run("-o", "json", "-f", str(MAX_U64 - 9), "-l", str(MAX_U64), "-b", "4", "5", "5")
        self.assertEqual(p.returncode, 0, p.stderr)
        _, rows = json_rows(p.stdout)
        self.assertEqual([(r["target_first"], r["target_last"]) for r in rows],
                         [(MAX_U64 - 9, MAX_U64 - 6), (MAX_U64 - 5, MAX_U64 - 2), (MAX_U64 - 1, MAX_U64)])

    def test_stops_at_the_first_block_that_does_not_fit(self):
        # Rates 4 to 3: target samples from 3 * 2^62 on map past 2^64 - 1.
        first = 3 * 2**62 - 2 * 1024 - 100
        p = run("-o", "json", "-f", str(first), "-b", "1024", "4", "3")
        self.assertEqual(p.returncode, 1)
        _, rows = json_rows(p.stdout)
        self.assertEqual(len(rows), 2)
        self.assertIn("block 2 (target samples", p.stderr)
        self.assertIn("does not fit in 64 bits", p.stderr)

    def test_help_and_version(self):
        for flag in ("--help", "-h"):
            p = run(flag)
            self.assertEqual(p.returncode, 0)
            self.assertIn("Usage: ratemap", p.stdout)
        p = run("--version")
        self.assertEqual(p.returncode, 0)
        self.assertRegex(p.stdout, r"^ratemap \(zel\) \d+\.\d+\.\d+\n$")


class BadInput(unittest.TestCase):
    CASES = [
        ((), "missing SOURCE_RATE and TARGET_RATE"),
        (("44100",), "missing TARGET_RATE"),
        (("1", "2", "3"), "unexpected extra argument '3'"),
        (("abc", "48000"), "source rate 'abc' is not a number"),
        (("-5", "48000"), "source rate '-5' is negative"),
        (("44100", "-48000"), "target rate '-48000' is negative"),
        (("44100x", "48000"), "trailing characters 'x'"),
        (("44.1", "48"), "trailing characters '.1'"),
        (("18446744073709551616", "1"), "does not fit in 64 bits"),
        (("1/18446744073709551616", "1"), "denominator that does not fit in 64 bits"),
        (("3/", "4"), "denominator that is not a number"),
        (("0", "48000"), "invalid rates: sourceRate is 0"),
        (("44100", "0"), "invalid rates: targetRate is 0"),
        (("0/1", "4"), "invalid rates: sourceRate numerator is 0"),
        (("3/0", "4"), "invalid rates: sourceRate denominator is 0"),
        (("3", "0/5"), "invalid rates: targetRate numerator is 0"),
        (("3", "4/0"), "invalid rates: targetRate denominator is 0"),
        (("9223372036854775806", "1"), "too large to map exactly: every rate term"),
        (("9223372036854775808", "1"), "at most 9223372036854775806 (2^63 - 2)"),
        (("4611686018427387904/4", "1/2"), "too large to map exactly: each common rate"),
        (("-b", "0", "3", "4"), "the block size must be at least 1"),
        (("-n", "0", "3", "4"), "the number of blocks must be at least 1"),
        (("-f", str(MAX_U64 - 4095), "3", "4"), "ends past the last representable target index"),
        (("-f", "10", "-l", "5", "3", "4"), "--last must not be before --first"),
        (("-l", "5", "-n", "2", "3", "4"), "--blocks cannot be combined with --last"),
        (("--format", "xml", "3", "4"), "unknown format 'xml'"),
        (("--bogus", "3", "4"), "unrecognized option '--bogus'"),
        (("-x", "3", "4"), "invalid option -- 'x'"),
        (("3", "4", "--block"), "option '--block' requires a value"),
        (("--block", "many", "3", "4"), "--block: 'many' is not a number"),
    ]

    def test_usage_errors_exit_2_with_one_message_and_a_pointer_to_help(self):
        for args, message in self.CASES:
            with self.subTest(args=args):
                p = run(*args)
                self.assertEqual(p.returncode, 2)
                self.assertEqual(p.stdout, "", "nothing is printed before a usage error")
                lines = p.stderr.splitlines()
                self.assertEqual(len(lines), 2, p.stderr)
                self.assertTrue(lines[0].startswith("ratemap: "), lines[0])
                self.assertIn(message, lines[0])
                self.assertIn("--help", lines[1])

    def test_last_representable_run_end_is_accepted(self):
        p = run("-o", "json", "-f", str(MAX_U64 - 4096), "-n", "8", "-b", "512", "1", "1")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(json_rows(p.stdout)[1][-1]["target_last"], MAX_U64 - 1)


if __name__ == "__main__":
    RATEMAP = sys.argv.pop(1)
    unittest.main(verbosity=2)
