#!/usr/bin/env python3
"""zel against the resamplers Python users have, in one run: scipy.signal.resample_poly, resampy and, when
installed, torchaudio.functional.resample, on 44100 -> 48000, 48000 -> 44100, 44100 -> 16000 and 48000 -> 16000.

For each: speed (multiples of real time for 10 s of stereo float32 noise, best of three, one thread), THD+N of a
1 kHz tone at -1 dBFS (everything from 20 Hz to the output Nyquist but the tone's own bins, 7-term
Blackman-Harris window over 65536 frames), the worst alias or image (tones that should vanish: above the output
Nyquist when downsampling, the images above the input Nyquist when upsampling) and the length error against
ceil(n * T / S) for 10 s and 7 frames. And zel's speed with two threads converting two arrays against one thread
converting both. torchaudio is held to one thread like the others.

  PYTHONPATH=build/release/python /usr/bin/python3 bench/python_peers.py
(needs python3-scipy and python3-resampy: scripts/setup bench)
"""
import math
import threading
import time
from fractions import Fraction

import numpy as np

import zel

CONVERSIONS = [(44100, 48000), (48000, 44100), (44100, 16000), (48000, 16000)]
SECONDS = 10
FFT = 1 << 16
BH7 = [0.27105140069342, -0.43329793923448, 0.21812299954311, -0.06592544638803, 0.01081174209837,
       -0.00077658482522, 0.00001388721735]


def peers():
    """(name, function(x, source, target)) of every resampler available; x is frames x channels float32."""
    found = [(f"zel {q}", lambda x, s, t, q=q: zel.resample(x, s, t, q)) for q in ("medium", "high", "very-high")]
    from scipy import signal
    found.append(("scipy resample_poly", lambda x, s, t: signal.resample_poly(
        x, t // math.gcd(s, t), s // math.gcd(s, t), axis=0).astype(np.float32)))
    import resampy
    for f in ("kaiser_fast", "kaiser_best"):
        found.append((f"resampy {f}", lambda x, s, t, f=f: resampy.resample(x, s, t, axis=0, filter=f)))
    try:
        import torch
        import torchaudio.functional as taf
        torch.set_num_threads(1)  # one thread, like the others
        for name, kw in (("torchaudio default", {}), ("torchaudio kaiser best", dict(
                lowpass_filter_width=64, rolloff=0.9475937167399596, resampling_method="kaiser_window",
                beta=14.769656459379492))):
            found.append((name, lambda x, s, t, kw=kw: taf.resample(torch.from_numpy(x.T.copy()), s, t, **kw)
                          .numpy().T.copy()))
    except ImportError:
        pass
    return found


def window():
    n = np.arange(FFT)
    return sum(c * np.cos(2 * np.pi * k * n / FFT) for k, c in enumerate(BH7))


def spectrum(y):
    """Amplitude per bin of the middle FFT frames of y (mono), scaled so that a tone reads its amplitude."""
    w = window()
    start = (len(y) - FFT) // 2
    return 2 * np.abs(np.fft.rfft(w * y[start:start + FFT].astype(np.float64))) / w.sum()


def tone(f, s, seconds, level=10 ** (-1 / 20)):
    return (level * np.sin(2 * np.pi * f * np.arange(int(s * seconds)) / s)).astype(np.float32)[:, None]


def quality(fn, s, t):
    seconds = 1.5 * FFT / t + 1  # the FFT's frames, away from both ends
    y = fn(tone(1000, s, seconds), s, t)[:, 0]
    a = spectrum(y)
    bin_hz = t / FFT
    k = round(1000 / bin_hz)
    noise = np.concatenate([a[round(20 / bin_hz):k - 10], a[k + 11:]])
    thdn = 10 * math.log10(np.sum(noise ** 2) / np.sum(a[k - 10:k + 11] ** 2))
    worst = -math.inf
    low, high = min(s, t) / 2, max(s, t) / 2
    for f in np.linspace(low * 1.05, high * 0.95, 5) if t < s else np.linspace(low * 0.8, low * 0.95, 4):
        a = spectrum(fn(tone(f, s, seconds, 0.5), s, t)[:, 0]) / 0.5
        if t < s:  # everything that reaches the output is an alias
            worst = max(worst, 20 * math.log10(max(a[round(20 / bin_hz):].max(), 1e-20)))
        else:      # images lie above the input's Nyquist
            worst = max(worst, 20 * math.log10(max(a[round(low / bin_hz) + 2:].max(), 1e-20)))
    n = s * SECONDS + 7  # a length whose exact output is not whole: rounding down and up differ
    error = len(fn(np.zeros((n, 2), np.float32), s, t)) - -(-n * t // s)
    return thdn, worst, error


def speed(fn, s, t):
    x = np.random.default_rng(1).uniform(-0.5, 0.5, (s * SECONDS, 2)).astype(np.float32)
    fn(x[:s], s, t)  # warm up (resampy compiles its kernel on first use)
    best = min(timed(fn, x, s, t) for _ in range(3))
    return SECONDS / best


def timed(fn, x, s, t):
    start = time.perf_counter()
    fn(x, s, t)
    return time.perf_counter() - start


def threads():
    """zel high, 48000 -> 44100: two threads on two 60 s stereo arrays against one thread on both."""
    xs = [np.random.default_rng(k).uniform(-0.5, 0.5, (48000 * 60, 2)).astype(np.float32) for k in (1, 2)]
    one = min(timed(lambda *_: [zel.resample(x, 48000, 44100) for x in xs], None, 0, 0) for _ in range(3))

    def two():
        workers = [threading.Thread(target=zel.resample, args=(x, 48000, 44100)) for x in xs]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    both = min(timed(lambda *_: two(), None, 0, 0) for _ in range(3))
    return one, both


def parts():
    """zel high, 44100 -> 48000, one 10 min stereo array: threads=2 against one thread, the same samples."""
    x = np.random.default_rng(3).uniform(-0.5, 0.5, (44100 * 600, 2)).astype(np.float32)
    one = min(timed(lambda *_: zel.resample(x, 44100, 48000), None, 0, 0) for _ in range(5))
    two = min(timed(lambda *_: zel.resample(x, 44100, 48000, threads=2), None, 0, 0) for _ in range(5))
    assert zel.resample(x, 44100, 48000).tobytes() == zel.resample(x, 44100, 48000, threads=2).tobytes()
    return one, two


def main():
    one, both = threads()  # first: other libraries' thread pools may still spin after their runs
    whole, halves = parts()
    print("| resampler | conversion | speed (x real time) | THD+N (dB) | worst alias/image (dB) | length error |")
    print("|---|---|---:|---:|---:|---:|")
    for name, fn in peers():
        for s, t in CONVERSIONS:
            thdn, worst, error = quality(fn, s, t)
            print(f"| {name} | {s} -> {t} | {speed(fn, s, t):,.0f} | {thdn:.1f} | {worst:.1f} | {error:+d} |",
                  flush=True)
    print(f"\nzel, two 60 s stereo arrays, 48000 -> 44100: one thread {one:.2f} s, two threads {both:.2f} s: "
          f"{one / both:.2f}x")
    print(f"zel, one 10 min stereo array, 44100 -> 48000: one thread {whole:.2f} s, threads=2 {halves:.2f} s: "
          f"{whole / halves:.2f}x, the same samples")


if __name__ == "__main__":
    main()
