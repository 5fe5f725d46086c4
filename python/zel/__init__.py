"""Exact sample-rate conversion for NumPy arrays.

    y = zel.resample(x, 44100, 48000)                 # one call, any length
    r = zel.Resampler(44100, 48000, channels=2)       # a stream, in chunks of any size
    y1 = r.process(chunk1); y2 = r.process(chunk2, last=True)

Output frame t is the band-limited input at position t * S / T exactly (no delay to compensate), n input frames
give exactly ceil(n * T / S) output frames, and the samples are the same, bit for bit, however the input is cut
into chunks: the same as the C library (libzel_resampler) and the resample tool give. Arrays are 1-D (frames) or
2-D (frames, channels) of float32, float64, int16 or int32; the result has the input's shape convention and dtype
(integers are rounded and clipped, never wrapped). Rates are int, fractions.Fraction or strings such as
"30000/1001". The "max" quality computes in double: give it float64 (or int32) to keep that precision. bandwidth
(0.80 to 0.99 of the lower Nyquist frequency) widens the band a filtered quality keeps from its 0.90, at the cost
of a longer filter. The interpreter lock is released while samples are converted.
"""
from fractions import Fraction

from zel import _native

__all__ = ["resample", "Resampler", "output_frames", "QUALITIES"]

# Quality presets, by name, in the order of the C API's ZEL_QUALITY_* values.
QUALITIES = ("linear", "medium", "high", "very-high", "max")
_DTYPES = ("float32", "float64", "int16", "int32")


def _rate(value, name):
    """A rate as an exact (numerator, denominator) of positive integers."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, a Fraction or a string such as '30000/1001', not a bool")
    if isinstance(value, float):
        if not value.is_integer():
            raise ValueError(f"{name} {value!r} is not a whole number; give an exact rate as a Fraction or a string "
                             f"(29.97 is not 30000/1001: use Fraction(30000, 1001) or '30000/1001')")
        value = int(value)
    if isinstance(value, str):
        try:
            value = Fraction(value.strip())
        except (ValueError, ZeroDivisionError) as e:
            raise ValueError(f"{name} {value!r} is not a rate such as 48000 or '30000/1001' ({e})") from None
    elif not isinstance(value, Fraction):
        try:
            value = Fraction(value.__index__())  # int and NumPy integers
        except AttributeError:
            raise TypeError(f"{name} must be an int, a Fraction or a string such as '30000/1001', "
                            f"not {type(value).__name__}") from None
    if value <= 0:
        raise ValueError(f"{name} must be positive, not {value}")
    if value.numerator >= 2**64 or value.denominator >= 2**64:
        raise ValueError(f"{name} {value} does not fit in 64 bits")
    return value.numerator, value.denominator


def _quality(quality):
    if quality not in QUALITIES:
        raise ValueError(f"unknown quality {quality!r} (use {', '.join(QUALITIES)})")
    return QUALITIES.index(quality)


def _bandwidth(bandwidth, quality):
    """0 for the preset's own band, else the passband edge asked for."""
    if bandwidth is None:
        return 0.0
    if isinstance(bandwidth, bool) or not isinstance(bandwidth, (int, float, Fraction)):
        raise TypeError(f"bandwidth must be a number from 0.80 to 0.99, not {type(bandwidth).__name__}")
    if not 0.80 <= bandwidth <= 0.99:
        raise ValueError(f"bandwidth must be 0.80 to 0.99 of the lower Nyquist frequency, not {bandwidth}")
    if quality == "linear":
        raise ValueError("bandwidth needs a filtered quality; linear interpolation has no passband")
    return float(bandwidth)


def _dtype(dtype):
    import numpy as np
    try:
        dtype = np.dtype(dtype)
    except TypeError as e:
        raise TypeError(f"unknown dtype {dtype!r} ({e})") from None
    if dtype.name not in _DTYPES:
        raise TypeError(f"samples must be {', '.join(_DTYPES)}, not {dtype}")
    return dtype


def output_frames(n, in_rate, out_rate):
    """The exact number of output frames of n input frames: ceil(n * out_rate / in_rate)."""
    if isinstance(n, bool) or not hasattr(n, "__index__") or n < 0:
        raise ValueError(f"n must be a frame count (an int of 0 or more), not {n!r}")
    (sn, sd), (tn, td) = _rate(in_rate, "in_rate"), _rate(out_rate, "out_rate")
    return -(-n * tn * sd // (td * sn))


class Resampler:
    """A stream: process() takes chunks of any size and returns the frames each completes; process(chunk,
    last=True) (or process(None, last=True)) returns the rest. The chunks' results joined are the same, bit for bit,
    as one call with the whole input. seek(output_frame) restarts the stream there and returns the input frame to
    feed next."""

    def __init__(self, in_rate, out_rate, channels=1, quality="high", dtype="float32", bandwidth=None):
        if isinstance(channels, bool) or not isinstance(channels, int):
            raise TypeError(f"channels must be an int, not {type(channels).__name__}")
        if not 1 <= channels <= 1024:
            raise ValueError(f"channels must be 1 to 1024, not {channels}")
        (sn, sd), (tn, td) = _rate(in_rate, "in_rate"), _rate(out_rate, "out_rate")
        self.dtype = _dtype(dtype)
        self.channels = channels
        self.in_rate, self.out_rate = Fraction(sn, sd), Fraction(tn, td)
        self._native = _native.Stream(sn, sd, tn, td, channels, _quality(quality), _bandwidth(bandwidth, quality))
        self._ndim = None  # the dimensions of the chunks given, which the results follow

    def process(self, chunk, last=False):
        import numpy as np
        if chunk is None:
            if not last:
                raise ValueError("a None chunk is only the end: process(None, last=True)")
            chunk = np.zeros((0, self.channels), self.dtype) if self._ndim != 1 else np.zeros(0, self.dtype)
        x = np.asarray(chunk)
        if x.dtype != self.dtype:
            if x.dtype.name in _DTYPES:
                raise TypeError(f"this Resampler takes {self.dtype} samples, not {x.dtype}")
            _dtype(x.dtype)  # raises the TypeError that names the accepted dtypes
        if x.ndim == 1 and self.channels != 1:
            raise ValueError(f"a 1-D array is one channel; this Resampler has {self.channels}")
        if x.ndim == 2 and x.shape[1] != self.channels:
            raise ValueError(f"the array has {x.shape[1]} channels; this Resampler has {self.channels}")
        if x.ndim not in (1, 2):
            raise ValueError(f"samples must be 1-D (frames) or 2-D (frames, channels), not {x.ndim}-D")
        self._ndim = x.ndim
        return self._native.process(x, last)

    def seek(self, output_frame):
        return self._native.seek(output_frame)

    def output_frames(self, n):
        """The exact number of output frames of n input frames."""
        return self._native.output_frames(n)


def resample(x, in_rate, out_rate, quality="high", bandwidth=None):
    """Resamples the whole of x (1-D frames or 2-D frames x channels) from in_rate to out_rate."""
    import numpy as np
    x = np.asarray(x)
    if x.ndim not in (1, 2):
        raise ValueError(f"samples must be 1-D (frames) or 2-D (frames, channels), not {x.ndim}-D")
    channels = 1 if x.ndim == 1 else x.shape[1]
    if x.dtype.name not in _DTYPES:
        _dtype(x.dtype)
    return Resampler(in_rate, out_rate, channels, quality, x.dtype, bandwidth).process(x, last=True)
