"""The Python module against the C API it binds (called here through ctypes, the way any other caller would):
the same samples bit for bit, however the input is chunked or sought, for every dtype, byte order, shape and time
axis; each bad input an exception with the library's reason; threads and Ctrl-C handled, never a crash."""
import ctypes
import os
import random
import re
import signal
import threading
import time
from fractions import Fraction

import numpy as np
import pytest

import zel

C = ctypes.CDLL(os.environ["ZEL_RESAMPLER_LIB"])
C.zel_resampler_create.restype = ctypes.c_void_p
C.zel_resampler_create.argtypes = [ctypes.c_ulonglong] * 4 + [ctypes.c_uint, ctypes.c_int]
C.zel_resampler_create_with_bandwidth.restype = ctypes.c_void_p
C.zel_resampler_create_with_bandwidth.argtypes = C.zel_resampler_create.argtypes + [ctypes.c_double]
for process in (C.zel_resampler_process, C.zel_resampler_process_double):
    process.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t),
                        ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)]
C.zel_resampler_destroy.argtypes = [ctypes.c_void_p]
FULL, DTYPES = {"int16": 2.0**15, "int32": 2.0**31}, ["float32", "float64", "int16", "int32"]


def c_api(x, source, target, quality, bandwidth=None):
    """Float32 or float64 frames (frames x channels) through the C API in one call, then drained."""
    rates = (source.numerator, source.denominator, target.numerator, target.denominator, x.shape[1], quality)
    r = (C.zel_resampler_create_with_bandwidth(*rates, bandwidth) if bandwidth else C.zel_resampler_create(*rates))
    process = C.zel_resampler_process_double if x.dtype == np.float64 else C.zel_resampler_process
    out = np.empty((-(-len(x) * target // source) + 1, x.shape[1]), x.dtype)
    used, written, total = ctypes.c_size_t(), ctypes.c_size_t(), 0
    for data, n in ((x.ctypes.data, len(x)), (None, 0), (None, 0)):
        process(r, data, n, used, out[total:].ctypes.data, len(out) - total, written)
        total += written.value
    C.zel_resampler_destroy(r)
    return out[:total]


def bits(a):
    return a.view(np.uint8).tobytes()


def test_the_same_samples_as_the_c_api_however_chunked_or_sought():
    rng = random.Random(7)
    rates = [44100, 48000, 16000, 8000, 96000, Fraction(30000, 1001), "48000/1001", 22050]
    for case in range(25):
        source, target = (Fraction(r) for r in rng.sample(rates, 2))
        channels, quality, n = rng.choice([1, 2, 3]), case % 5, rng.randrange(0, 5000)
        # float64 for max (computed in double), and a widened band now and then (its filter would be too long for
        # the steepest of these ratios).
        dtype = np.float64 if quality == 4 else np.float32
        bandwidth = rng.choice([None, None, 0.95]) if quality > 0 and 1 / 16 < source / target < 16 else None
        x = np.random.default_rng(case).uniform(-1, 1, (n, channels)).astype(dtype)
        want = c_api(x, source, target, quality, bandwidth)
        assert len(want) == zel.output_frames(n, source, target) == -(-n * target // source)
        got = zel.resample(x, source, str(target), zel.QUALITIES[quality], bandwidth)
        assert bits(got) == bits(want)
        # Chunks of random sizes (none empty or all), and a run after a seek.
        r = zel.Resampler(source, target, channels, zel.QUALITIES[quality], dtype, bandwidth)
        cuts = sorted(rng.sample(range(n + 1), min(n + 1, 6)))
        parts = [r.process(x[a:b]) for a, b in zip([0] + cuts, cuts + [n])] + [r.process(None, last=True)]
        assert bits(np.concatenate(parts)) == bits(want)
        t = rng.randrange(0, len(want) + 1)
        k = r.seek(t)
        assert bits(r.process(x[k:], last=True)) == bits(want[t:])
    # Long enough that the module feeds the C API in pieces, from the array in place and converted from a view.
    x = np.random.default_rng(0).uniform(-1, 1, (150_000, 4))
    want = c_api(np.ascontiguousarray(x[:, ::2]), Fraction(44100), Fraction(48000), 4)
    for view in (x[:, ::2], np.ascontiguousarray(x[:, ::2])):
        assert bits(zel.resample(view, 44100, 48000, "max")) == bits(want)


def test_dtypes_shapes_and_layouts():
    x = np.random.default_rng(1).uniform(-1.2, 1.2, (3000, 2))
    base = zel.resample(x.astype(np.float32), 44100, 48000)
    # One channel as 1-D; Fortran order and strided views without copying by hand.
    mono = zel.resample(x[:, 0].astype(np.float32), 44100, 48000)
    assert mono.shape == (len(base),) and bits(mono) == bits(np.ascontiguousarray(base[:, 0]))
    assert bits(zel.resample(np.asfortranarray(x.astype(np.float32)), 44100, 48000)) == bits(base)
    assert zel.resample(np.zeros((0, 2), np.int16), 44100, 48000).shape == (0, 2)
    assert zel.resample(np.zeros((1, 3), np.int16), 44100, 48000, axis=0).shape == (2, 3)  # as the caller says


def test_any_time_axis_and_byte_order_gives_the_frames_first_samples():
    rng = np.random.default_rng(2)
    for case in range(16):
        shape = list(rng.integers(1, 4, rng.integers(1, 4)))
        t = int(rng.integers(len(shape)))
        shape[t] = int(rng.integers(1, 3000))
        dtype = np.dtype(("f4", "f8", "i2", "i4")[case % 4]).newbyteorder("<>"[case // 4 % 2])
        native = dtype.newbyteorder("=")
        x = (rng.uniform(-1, 1, shape) * (2**15 if dtype.kind == "i" else 1)).astype(dtype)
        frames_first = np.moveaxis(x, t, 0).reshape(shape[t], -1).astype(native)
        want = zel.resample(frames_first, 44100, 48000, axis=0)
        axis = t - len(shape) if case % 3 else t
        got = zel.resample(x, 44100, 48000, axis=axis, threads=1 + case % 3)  # parts on threads join exactly
        assert got.dtype == native and got.flags.c_contiguous
        assert bits(np.moveaxis(got, t, 0).reshape(want.shape).copy()) == bits(want)
        # A stream with the same axis, in chunks that end with one frame, fewer than the channels.
        r = zel.Resampler(44100, 48000, want.shape[1], dtype=dtype, axis=axis)
        cuts = sorted([*rng.integers(0, shape[t], 2), shape[t] - 1])
        parts = [r.process(x.take(range(a, b), axis=t)) for a, b in zip([0] + cuts, cuts + [shape[t]])]
        assert bits(np.concatenate(parts + [r.process(None, last=True)], axis=t)) == bits(got)


@pytest.mark.parametrize("dtype, out_dtype", [(a, b) for a in DTYPES for b in DTYPES])
def test_every_dtype_to_every_out_dtype_is_the_float64_result_stored_so(dtype, out_dtype):
    # Integers read as x / full scale; integer results rounded half to even and clipped (and counted), or dithered
    # by one step at most; the same for every chunking and after a seek, time last read in place or gathered.
    full, out = FULL.get(dtype, 1.0), FULL.get(out_dtype)
    x = np.random.default_rng(3).uniform(-1.1, 1.1, (4000, 2)) * full
    x = (np.clip(np.rint(x), -full, full - 1) if full > 1 else x).astype(dtype)
    for quality, dither in (("medium", False), ("max", out is not None)):
        ref = zel.resample(x.astype(np.float64) / full, 44100, 48000, quality)
        rounded = np.rint(ref * out) if out else ref
        want = (rounded.clip(-out, out - 1) if out else ref).astype(out_dtype)
        got = zel.resample(x, 44100, 48000, quality, out_dtype=out_dtype, dither=dither)
        assert got.dtype == out_dtype
        assert np.abs(got - want.astype(float)).max() == 1 if dither else bits(got) == bits(want)
        r = zel.Resampler(44100, 48000, 2, quality, dtype, axis=-1, out_dtype=out_dtype, dither=dither)
        chunks = (x.T[:, :1], np.ascontiguousarray(x.T[:, 1:1500]), x.T[:, 1500:], None)
        assert bits(np.concatenate([r.process(c, last=c is None) for c in chunks], axis=1)) == bits(got.T.copy())
        assert dither or r.clipped == (np.count_nonzero(rounded != want) if out else 0)
        assert bits(r.process(x.T[:, r.seek(3000):], last=True)) == bits(got[3000:].T.copy())


def test_input_needed_and_version():
    # Fed one frame at a time, output n first appears when input_needed(n) frames are in, from the start or a seek.
    for quality, start in (("linear", 0), ("high", 100000)):
        r = zel.Resampler(44100, 48000, quality=quality)
        r.seek(start)
        needed = [r.input_needed(n) for n in range(1, 3000)]
        written = np.cumsum([0] + [len(r.process(np.ones(1, np.float32))) for _ in range(needed[-1])])
        assert list(np.searchsorted(written, range(1, len(needed) + 1))) == needed
    assert re.fullmatch(r"\d+\.\d+\.\d+", zel.__version__)


@pytest.mark.parametrize("call, error, message", [
    (lambda x: zel.resample(x, 44100, 29.97), ValueError, "Fraction"),
    (lambda x: zel.resample(x, 0, 48000), ValueError, "positive"),
    (lambda x: zel.resample(x, "48k", 48000), ValueError, "30000/1001"),
    (lambda x: zel.resample(x, 2**63, 1), ValueError, "too large to map exactly"),
    (lambda x: zel.resample(x, 44100, 48000, quality="best"), ValueError, "unknown quality"),
    (lambda x: zel.resample(x.astype(complex), 44100, 48000), TypeError, "complex128"),
    (lambda x: zel.resample(x.reshape(2, 50), 44100, 48000), ValueError, r"\(2, 50\).*axis="),
    (lambda x: zel.resample(x.reshape(2, 5, 10), 44100, 48000), ValueError, "2 frames of 50 channels \\(more"),
    (lambda x: zel.resample(np.zeros((2000, 1025)), 44100, 48000, axis=0), ValueError, "at most 1024.*axis="),
    (lambda x: zel.resample(x, 44100, 48000, axis=1), ValueError, "axis=1 is out of range"),
    (lambda x: zel.Resampler(44100, 48000, 3, axis=1).process(x.reshape(5, 20)), ValueError, "axis=1 has 5"),
    (lambda x: zel.Resampler(44100, 48000).seek(-1), ValueError, "0 or more"),
    (lambda x: zel.Resampler(44100, 48000).seek(2**64), OverflowError, "2\\^64"),
    (lambda x: zel.Resampler(48000, 44100).seek(2**63), OverflowError, "output frame 9223372036854775808"),
    (lambda x: ((r := zel.Resampler(1, 1, quality="linear")).seek(2**61 - 9), r.process(x)), OverflowError,
     "100 frames after input frame 2305843009213693943"),
    (lambda x: zel.Resampler(44100, 48000, channels=2).process(x), ValueError, "1-D array is one channel"),
    (lambda x: zel.Resampler(44100, 48000).process(x.astype(np.float64)), TypeError, "float32"),
    (lambda x: zel.output_frames(-1, 44100, 48000), ValueError, "frame count"),
    (lambda x: zel.resample(x, 44100, 48000, bandwidth="wide"), TypeError, "bandwidth must be a number"),
    (lambda x: zel.resample(x, 44100, 48000, "linear", 0.9), ValueError, "linear preset has no passband"),
    (lambda x: zel.resample(x, 44100, 101, bandwidth=0.99), ValueError, "filter longer"),
    (lambda x: zel.resample(x, 44100, 48000, bandwidth=0.75), ValueError, "^bandwidth 0.75 is outside 0.80 to 0.99$"),
    (lambda x: zel.resample(x, 44100, 48000, bandwidth=0), ValueError, "None keeps"),
    (lambda x: zel.Resampler(44100, 48000, channels=2000), ValueError, "channel count must be 1 to 1024, not 2000"),
    (lambda x: zel.Resampler(2**40, 1, quality="linear").input_needed(2**30), OverflowError, "stream's range"),
    (lambda x: zel.resample(x, 44100, 48000, out_dtype="float64", dither=True), ValueError, "integer out_dtype"),
    (lambda x: zel.resample(x, 44100, 48000, out_dtype="int8"), TypeError, "^out_dtype must be"),
    (lambda x: __import__("copy").copy(zel.Resampler(44100, 48000)), TypeError, "cannot be copied or pickled"),
    (lambda x: __import__("pickle").dumps(zel.Resampler(44100, 48000)), TypeError, "cannot be copied or pickled"),
    (lambda x: zel.resample(x, 44100, 48000, threads=65), ValueError, "threads must be 1 to 64, not 65"),
    (lambda x: zel.resample(x, 44100, 48000, threads=True), TypeError, "threads must be an int"),
])
def test_bad_input_raises_a_clear_exception(call, error, message):
    with pytest.raises(error, match=message):
        call(np.zeros(100, np.float32))


def test_an_ended_stream_needs_a_seek():
    r, x = zel.Resampler(48000, 44100), np.zeros(2000, np.float32)
    r.process(x, last=True)
    with pytest.raises(ValueError, match="seek"):
        r.process(x)


def test_a_second_thread_is_refused_and_ctrl_c_stops_a_long_conversion():
    r, x = zel.Resampler(44100, 8000, quality="max", dtype="float64", bandwidth=0.99), np.zeros(3_000_000)
    worker = threading.Thread(target=r.process, args=(x[:400_000], True))
    worker.start()
    refused = 0
    while worker.is_alive():
        try:
            r.seek(0)
        except RuntimeError as e:
            assert "in use by another thread" in str(e)
            refused += 1
    worker.join()
    assert refused
    # SIGINT (ignored when started in the background) during a conversion that takes over a second.
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.05, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
    try:
        r.seek(0)
        start = time.monotonic()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            r.process(x, last=True)
        assert time.monotonic() - start < 0.4
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, handler)
    with pytest.raises(ValueError, match="interrupted"):
        r.process(x[:10])
    r.seek(0)
    assert len(r.process(x[:44100], last=True)) == 8000


def test_a_source_rate_that_changes_gives_the_same_samples_for_any_chunking():
    # The changes come after input frames 10000 and 20000, so at the same output frames whatever the pieces.
    x = np.random.default_rng(4).uniform(-1, 1, (30000, 2)).astype(np.float32)
    runs = []
    for cuts in ((10000, 20000, 30000), (3, 10000, 17000, 20000, 29999, 30000)):
        r, parts, at = zel.Resampler(48000, 44100, 2, source_rate_range=0.01), [], 0
        rates = {10000: "48000.5", 20000: Fraction(47900001, 1000)}
        for cut in cuts:
            parts.append(r.process(x[at:cut]))
            if cut in rates:
                r.set_source_rate(rates[cut])
            at = cut
        runs.append(np.concatenate(parts + [r.process(None, last=True)]))
    assert bits(runs[0]) == bits(runs[1]) and len(runs[0]) != zel.output_frames(30000, 48000, 44100)
    with pytest.raises(ValueError, match="outside 47520000 to 48480000, the range it was made with"):
        r.set_source_rate(50000)
    with pytest.raises(ValueError, match="steps of 1/1000 Hz"):
        r.set_source_rate("48000.0001")
    with pytest.raises(ValueError, match="source rate is fixed"):
        zel.Resampler(48000, 44100).set_source_rate(48000)
