"""Exact sample-rate conversion for NumPy arrays.

    y = zel.resample(x, 44100, 48000)                 # one call, any length
    r = zel.Resampler(44100, 48000, channels=2)       # a stream, in chunks of any size
    y1 = r.process(chunk1); y2 = r.process(chunk2, last=True)

Output frame t is the band-limited input at position t * S / T exactly (no delay to compensate), n input frames give
exactly ceil(n * T / S) output frames, and the samples are the same, bit for bit, however the input is cut into
chunks: the same as the C library (libzel_resampler) and the resample tool give. Arrays hold float32, float64, int16
or int32 samples in either byte order, with time on axis 0 (frames, or frames x channels) or on the axis given as
axis= (-1 for channels x frames); every other axis is channels. The result has the input's shape but along that
axis, in the machine's byte order, and the dtype out_dtype= names (by default the input's): integers are rounded
to nearest, ties to even, and clipped, never wrapped, or with dither=True dithered first (the same for every
chunking and seek). Rates are int, fractions.Fraction or strings such as "30000/1001". The "max" quality computes
in double: give it float64, int16 or int32 to keep that precision. bandwidth (0.80 to 0.99 of the lower Nyquist
frequency) widens the band a filtered quality keeps from its 0.90, at the cost of a longer filter. Failures raise
exceptions with the library's reason. The interpreter lock is released while samples are converted, in pieces, so
that Ctrl-C stops a long conversion at once; one Resampler serves one thread at a time (RuntimeError for a second).
"""
from __future__ import annotations

import math
from fractions import Fraction
from typing import TYPE_CHECKING, Optional, SupportsIndex, Union

from zel import _native

if TYPE_CHECKING:  # NumPy is imported at the first conversion, not with zel
    import numpy as np
    from numpy.typing import ArrayLike, DTypeLike

# A rate: an int, a Fraction or a string such as "30000/1001" (a float only when whole).
Rate = Union[int, Fraction, str, float]

__all__ = ["resample", "Resampler", "output_frames", "QUALITIES", "Rate"]

# The library's version at run time, "MAJOR.MINOR.PATCH".
__version__ = _native.VERSION

# Quality presets, by name, in the order of the C API's ZEL_QUALITY_* values.
QUALITIES = _native.QUALITIES
_DTYPES = ("float32", "float64", "int16", "int32")
_MAX_CHANNELS = _native.MAX_CHANNELS
_BANDWIDTHS = f"{_native.MIN_BANDWIDTH:.2f} to {_native.MAX_BANDWIDTH:.2f}"
# The library checks the channel count; a count out of this range cannot reach it.
_UNSIGNED = 2**32


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


def _bandwidth(bandwidth):
    """0 for the preset's own band, else the passband edge asked for; the library checks its range."""
    if bandwidth is None:
        return 0.0
    if isinstance(bandwidth, bool) or not isinstance(bandwidth, (int, float, Fraction)):
        raise TypeError(f"bandwidth must be a number from {_BANDWIDTHS}, not {type(bandwidth).__name__}")
    if bandwidth == 0:  # the library would read 0 as the preset's own band
        raise ValueError(f"bandwidth 0 is outside {_BANDWIDTHS}; None keeps the preset's own")
    return float(bandwidth)


def _dtype(dtype, what="samples"):
    import numpy as np
    try:
        dtype = np.dtype(dtype)
    except TypeError as e:
        raise TypeError(f"unknown dtype {dtype!r} ({e})") from None
    if dtype.name not in _DTYPES:
        raise TypeError(f"{what} must be {', '.join(_DTYPES)}, not {dtype}")
    return dtype.newbyteorder("=")


def _array(x):
    """x as an array in the machine's byte order, which the native part reads (copied only when it is not)."""
    import numpy as np
    x = np.asarray(x)
    return x if x.dtype.isnative else x.astype(x.dtype.newbyteorder("="))


def _index(n, name):
    """n as a frame index or count of the C API: an int from 0 to 2^64 - 1."""
    if isinstance(n, bool) or not hasattr(n, "__index__"):
        raise TypeError(f"{name} must be an int, not {type(n).__name__}")
    n = n.__index__()
    if n < 0:
        raise ValueError(f"{name} must be 0 or more, not {n}")
    if n >= 2**64:
        raise OverflowError(f"{name} {n} passes 2^64 - 1")
    return n


def _axis(axis):
    if isinstance(axis, bool) or not hasattr(axis, "__index__"):
        raise TypeError(f"axis must be an int, not {type(axis).__name__}")
    return axis.__index__()


def _time_axis(axis, ndim):
    if not -ndim <= axis < ndim:
        raise ValueError(f"axis={axis} is out of range for a {ndim}-D array")
    return axis % ndim


def output_frames(n: SupportsIndex, in_rate: Rate, out_rate: Rate) -> int:
    """The exact number of output frames of n input frames: ceil(n * out_rate / in_rate)."""
    if isinstance(n, bool) or not hasattr(n, "__index__") or n < 0:
        raise ValueError(f"n must be a frame count (an int of 0 or more), not {n!r}")
    (sn, sd), (tn, td) = _rate(in_rate, "in_rate"), _rate(out_rate, "out_rate")
    return -(-n * tn * sd // (td * sn))


def _out_dtype(dtype, out_dtype, dither):
    """The output's dtype (default: the input's), checked with the dither that goes with it."""
    out = dtype if out_dtype is None else _dtype(out_dtype, "out_dtype")
    if dither not in (False, True):
        raise TypeError(f"dither must be True or False, not {dither!r}")
    if dither and out.kind != "i":
        raise ValueError(f"dither needs an integer out_dtype (int16 or int32), not {out}")
    return out


class Resampler:
    """A stream: process() takes chunks of `dtype` of any size, with time on `axis` and the other axes holding
    `channels` samples in all, and returns the frames each completes, as `out_dtype` (default: dtype);
    process(chunk, last=True) (or process(None, last=True)) returns the rest. The chunks' results joined along axis
    are the same, bit for bit, as one call with the whole input. seek(output_frame) restarts the stream there and
    returns the input frame to feed next. dither=True adds triangular dither of one step to integer output.
    source_rate_range (at most 0.10) lets set_source_rate() move the source rate by that fraction either way while
    the stream runs, in steps of 0.001 Hz (for in_rate n/d, of 1/(1000 d)), exactly and reproducibly."""

    def __init__(self, in_rate: Rate, out_rate: Rate, channels: int = 1, quality: str = "high",
                 dtype: DTypeLike = "float32", bandwidth: Optional[float] = None, axis: int = 0,
                 out_dtype: Optional[DTypeLike] = None, dither: bool = False,
                 source_rate_range: float = 0) -> None:
        if isinstance(channels, bool) or not isinstance(channels, int):
            raise TypeError(f"channels must be an int, not {type(channels).__name__}")
        if not 0 <= channels < _UNSIGNED:
            raise ValueError(f"channels must be 1 to {_MAX_CHANNELS}, not {channels}")
        self.axis = _axis(axis)
        (sn, sd), (tn, td) = _rate(in_rate, "in_rate"), _rate(out_rate, "out_rate")
        self.dtype = _dtype(dtype)
        self.out_dtype = _out_dtype(self.dtype, out_dtype, dither)
        self.channels = channels
        self.in_rate, self.out_rate = Fraction(sn, sd), Fraction(tn, td)
        if isinstance(source_rate_range, bool) or not isinstance(source_rate_range, (int, float, Fraction)):
            raise TypeError(f"source_rate_range must be a number from 0 to 0.10, not {type(source_rate_range).__name__}")
        # A rate that moves is kept over a denominator 1000 times finer, fixed for the stream's life.
        self._scale = 1000 if source_rate_range else 1
        if sn * self._scale >= 2**64 or sd * self._scale >= 2**64:
            raise ValueError(f"in_rate {self.in_rate} is too large to follow a moving rate exactly")
        # Time last: the stream reads each channel's frames where they lie and writes the result as it is returned.
        self._native = _native.Stream(sn * self._scale, sd * self._scale, tn, td, channels, _quality(quality),
                                      _bandwidth(bandwidth), self.dtype, self.out_dtype, self.axis == -1,
                                      bool(dither), float(source_rate_range))
        # The shape of an empty chunk like those given, for process(None, last=True): frames x channels at first.
        ndim = max(2, self.axis + 1 if self.axis >= 0 else -self.axis)
        self._empty = [1] * ndim
        self._empty[self.axis], self._empty[1 if self.axis % ndim == 0 else 0] = 0, channels

    def process(self, chunk: Optional[ArrayLike], last: bool = False) -> np.ndarray:
        """The frames `chunk` completes, as out_dtype in chunk's shape but along axis; with last=True (chunk may
        then be None) every frame left, after which the stream needs seek() to start again. Raises TypeError for a
        dtype other than the stream's, ValueError for a shape without its channels, OverflowError past input frame
        2^64 - 1."""
        import numpy as np
        if chunk is None:
            if not last:
                raise ValueError("a None chunk is only the end: process(None, last=True)")
            chunk = np.zeros(self._empty, self.dtype)
        x = _array(chunk)
        if x.dtype != self.dtype:
            if x.dtype.name in _DTYPES:
                raise TypeError(f"this Resampler takes {self.dtype} samples, not {x.dtype}")
            _dtype(x.dtype)  # raises the TypeError that names the accepted dtypes
        t = _time_axis(self.axis, x.ndim)
        before, after = x.shape[:t], x.shape[t + 1:]
        channels = math.prod(before + after)
        if channels != self.channels:
            if x.ndim == 1:
                raise ValueError(f"a 1-D array is one channel; this Resampler has {self.channels}")
            raise ValueError(f"an array of shape {x.shape} with time on axis={self.axis} has {channels} channels; "
                             f"this Resampler has {self.channels}")
        self._empty = before + (0,) + after
        frames = x if x.ndim == 1 else np.moveaxis(x, t, 0).reshape(x.shape[t], channels)
        y = self._native.process(frames, last, math.prod(after))
        return y.reshape(before + (len(y) // channels,) + after)

    def __copy__(self):
        raise TypeError("a Resampler is a running stream and cannot be copied or pickled; make another with the "
                        "same arguments and seek() it to the same output frame")

    __deepcopy__ = __reduce__ = __reduce_ex__ = lambda self, *args: self.__copy__()

    def seek(self, output_frame: SupportsIndex) -> int:
        """Restarts the stream at output_frame, whose samples are then those a run from the start gives there, and
        returns the input frame to feed next (from which on the input is given). OverflowError past the stream's
        range."""
        return self._native.seek(_index(output_frame, "output_frame"))

    def set_source_rate(self, rate: Rate) -> None:
        """From the next output frame on, the source rate is `rate` (an int, Fraction or string such as
        '48000.125'): later frames fall at exact positions that continue from that frame's. The stream must have
        been made with a source_rate_range that holds the rate; seek() then restarts at it."""
        (n, d) = _rate(rate, "rate")
        denominator = self.in_rate.denominator * self._scale
        if denominator % d:
            raise ValueError(f"rate {Fraction(n, d)} is not a whole number of steps of 1/{denominator} Hz")
        numerator = n * (denominator // d)
        if numerator >= 2**64:  # past any range the library could have been given
            raise ValueError(f"rate {Fraction(n, d)} is outside the source_rate_range this Resampler was made with")
        self._native.set_source_rate(numerator)

    def output_frames(self, n: SupportsIndex) -> int:
        """The exact number of output frames of n input frames (after set_source_rate, at the current rate from
        the last change)."""
        return self._native.output_frames(_index(n, "n"))

    def input_needed(self, n: SupportsIndex) -> int:
        """The input frames the stream, at its start or just after seek(), must be given before it can have
        returned n frames: one fewer, and it has not. input_needed(1) is its start-up latency in input frames."""
        return self._native.input_needed(_index(n, "n"))

    @property
    def clipped(self) -> int:
        """The integer output samples clipped so far (seek() keeps the count)."""
        return self._native.clipped()


def resample(x: ArrayLike, in_rate: Rate, out_rate: Rate, quality: str = "high", bandwidth: Optional[float] = None,
             axis: Optional[int] = None, out_dtype: Optional[DTypeLike] = None, dither: bool = False,
             threads: int = 1) -> np.ndarray:
    """Resamples the whole of x from in_rate to out_rate along axis, by default the first (frames, or frames x
    channels), into out_dtype (default: x's dtype). Without axis=, a shape that reads as more channels than frames
    is refused, as time-last input would be; an explicit axis= is taken as given. threads=N (1 to 64) converts N
    parts of the output at once, each by its own stream started at its first frame: the same samples, bit for
    bit, sooner on as many cores."""
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int, not {type(threads).__name__}")
    if not 1 <= threads <= 64:
        raise ValueError(f"threads must be 1 to 64, not {threads}")
    x = _array(x)
    if x.dtype.name not in _DTYPES:
        _dtype(x.dtype)
    t = _time_axis(0 if axis is None else _axis(axis), x.ndim)
    frames, channels = x.shape[t], math.prod(x.shape[:t] + x.shape[t + 1:])
    if channels > _MAX_CHANNELS or (axis is None and 0 < frames < channels):
        why = (f"at most {_MAX_CHANNELS}" if channels > _MAX_CHANNELS
               else "more channels than frames, unless axis= says so")
        raise ValueError(f"an array of shape {x.shape} with time on axis={t} is {frames} frames of {channels} "
                         f"channels ({why}): give the time axis as axis= (axis=-1 for channels x frames)")
    time_last = t == x.ndim - 1 and x.ndim > 1

    def stream() -> Resampler:
        return Resampler(in_rate, out_rate, channels, quality, x.dtype, bandwidth, -1 if time_last else t,
                         out_dtype, dither)
    if threads == 1:
        return stream().process(x, last=True)
    import numpy as np
    from concurrent.futures import ThreadPoolExecutor
    total = output_frames(frames, in_rate, out_rate)
    along = (slice(None),) * t
    out = np.empty(x.shape[:t] + (total,) + x.shape[t + 1:], _out_dtype(_dtype(x.dtype), out_dtype, dither))
    if t == 0 and x.ndim <= 2 and x.flags.c_contiguous:
        # Frames first and contiguous, as the C API reads them: one call converts the parts on its own threads.
        (sn, sd), (tn, td) = _rate(in_rate, "in_rate"), _rate(out_rate, "out_rate")
        _native.oneshot(sn, sd, tn, td, channels, _quality(quality), _bandwidth(bandwidth), bool(dither), threads,
                        x, out)
        return out

    def part(i: int) -> None:
        # Output frames [t0, t1): from where a seek to t0 reads, the input those frames need, the end if it
        # reaches it; a stream returns what that input completes, which may pass t1. Each thread copies its own
        # part into place (NumPy copies without the interpreter lock).
        t0, t1 = total * i // threads, total * (i + 1) // threads
        r = stream()
        first = r.seek(t0)
        end = first + r.input_needed(t1 - t0) if t1 > t0 else first
        y = r.process(x[along + (slice(first, min(end, frames)),)], last=end >= frames)
        out[along + (slice(t0, t1),)] = y[along + (slice(0, t1 - t0),)]
    with ThreadPoolExecutor(threads) as pool:
        list(pool.map(part, range(threads)))
    return out
