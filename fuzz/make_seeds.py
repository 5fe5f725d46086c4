#!/usr/bin/env python3
"""Writes the committed seed corpus: boundary inputs in the byte format the fuzz targets decode."""
import pathlib

HERE = pathlib.Path(__file__).parent
M64 = 2**64 - 1


def operand(v):
    # Shape byte 1 selects "width, then 8 raw bytes"; the width is v's bit length, so v decodes exactly.
    return bytes([1, v.bit_length()]) + v.to_bytes(8, "little")


def muldiv(flags, value, multiplier, divisor):
    return bytes([flags]) + operand(value) + operand(multiplier) + operand(divisor)


def mapper(next_sample, whole, sn, sd, tn, td, calls):
    out = bytes([next_sample, whole]) + b"".join(operand(v) for v in (sn, sd, tn, td))
    for op, a, b in calls:
        out += bytes([op]) + operand(a) + operand(b)
    return out


MULDIV = {
    "worked_10x3div7": muldiv(0, 10, 3, 7),
    "widest_divisor": muldiv(0, M64, 2**63 - 2, 2**63 - 1),
    "quotient_overflow": muldiv(0, M64, M64, 2**62 + 1),
    "divisor_2pow63": muldiv(0, 0, 1, 2**63),
    "zero_multiplier_wide_divisor": muldiv(0, 7, 0, 2**63),
    "divisor_one_overflow": muldiv(2, 2**40, 2**30, 1),
    "zero_divisor": muldiv(0, 1, 1, 0),
    "null_quotient": muldiv(0x0C, 1, 1, 0),
    "identity": muldiv(2, 12345, 1, 1),
    "narrow_near_top": muldiv(0x01, 0, 44100, 48000),
    "wide_near_top": muldiv(0x31, 0, 2**40 + 7, 2**33 + 1),
}

# Mapping call opcodes: 0 single, 1 start/count, 2 first/last, 3 internal, 4 reduce, 5 reconfigure;
# the high bit aims the run at the edge of the mappable range.
MAPPER = {
    "worked_3_to_4": mapper(1, 1, 3, 1, 4, 1, [(0, 0, 10), (1, 5, 6), (2, 5, 10), (2, 10, 5), (4, 0, 0)]),
    "top_index_4_to_3": mapper(1, 1, 4, 1, 3, 1, [(1, M64 - 1, 1), (1, 1, 3 * 2**62), (0, 0, M64), (0x81, 0, 100)]),
    "equal_rates": mapper(0, 1, 5, 1, 5, 1, [(0, 0, 7), (1, 10, 3), (2, 0, M64), (1, M64, 1), (4, 0, 0)]),
    "fraction_reduced": mapper(0, 0, 2**62, 4, 3, 4, [(0x82, 3, 1000), (3, 2**61, 2**60)]),
    "fraction_overflow": mapper(1, 0, 2**62, 4, 1, 2, [(0, 0, 1), (1, 0, 1), (2, 0, 0)]),
    "whole_or_bound": mapper(0, 1, 2**63 - 2, 1, 1, 1, [(0, 0, 5), (5, 2**63 - 2, 2)]),
    "zero_rate": mapper(0, 0, 1, 1, 1, 0, [(0, 0, 5)]),
    "ntsc_to_48k": mapper(1, 0, 30000, 1001, 48000, 1, [(0x80, 3, 0), (0x81, 7, 512), (0x83, 1, 4096)]),
}

for name, corpus in (("muldiv", MULDIV), ("mapper", MAPPER)):
    folder = HERE / "corpus" / name
    folder.mkdir(parents=True, exist_ok=True)
    for seed, data in corpus.items():
        (folder / seed).write_bytes(data)
