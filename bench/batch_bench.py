#!/usr/bin/env python3
"""Throughput of python3 -m zel.batch against the resample tool run per file by xargs -P 2, on the same trees:
audio hours converted per wall hour (44100 -> 48000, high, 16-bit stereo WAV) with 1 and 2 workers, on a tree of
minute-long files; and the cost per file of each path, on a tree of 0.1 s files, where conversion is negligible.
Then the tool's --threads 2 against one thread on one 10-minute stereo file, the outputs compared byte for byte.

  PYTHONPATH=build/release/python /usr/bin/python3 bench/batch_bench.py build/release/tools/resample/resample
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import soundfile


def make_tree(root, files, seconds):
    rng = np.random.default_rng(1)
    block = rng.uniform(-0.5, 0.5, (int(44100 * seconds), 2))
    for k in range(files):
        os.makedirs(f"{root}/d{k % 10}", exist_ok=True)
        soundfile.write(f"{root}/d{k % 10}/f{k}.wav", block, 44100, "PCM_16")
    return files * seconds / 3600


def timed(command, dest):
    shutil.rmtree(dest, ignore_errors=True)
    start = time.monotonic()
    subprocess.run(command, shell=True, check=True, stderr=subprocess.DEVNULL)
    return time.monotonic() - start


def main():
    tool = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="zel-batch-bench-")
    try:
        for name, files, seconds in (("minute-long files", 60, 60.0), ("0.1 s files", 300, 0.1)):
            src, dest = f"{work}/src", f"{work}/dest"
            shutil.rmtree(src, ignore_errors=True)
            hours = make_tree(src, files, seconds)
            xargs = (f"cd {src} && find . -name '*.wav' | xargs -P 2 -I{{}} sh -c "
                     f"'mkdir -p {dest}/$(dirname {{}}) && {tool} --quiet {{}} {dest}/{{}} -r 48000'")
            print(f"{name}: {files} files, {hours:.3f} hours of audio")
            for label, command in (
                    ("zel.batch, 1 worker", f"{sys.executable} -m zel.batch {src} {dest} -r 48000 --workers 1"),
                    ("zel.batch, 2 workers", f"{sys.executable} -m zel.batch {src} {dest} -r 48000 --workers 2"),
                    ("resample by xargs -P 2", xargs)):
                wall = min(timed(command, dest) for _ in range(3))
                print(f"  {label:24} {wall:7.2f} s  {hours * 3600 / wall:8.0f} audio hours per wall hour  "
                      f"{wall / files * 1000:6.1f} ms per file", flush=True)
        long = f"{work}/long.wav"
        soundfile.write(long, np.random.default_rng(2).uniform(-0.5, 0.5, (44100 * 600, 2)), 44100, "FLOAT")
        walls = {k: min(timed(f"{tool} --quiet {long} {work}/out{k}.wav -r 48000 -f float --threads {k}", "")
                        for _ in range(3)) for k in (1, 2)}
        same = open(f"{work}/out1.wav", "rb").read() == open(f"{work}/out2.wav", "rb").read()
        print(f"one 10-minute stereo file, --threads 1: {walls[1]:.2f} s, --threads 2: {walls[2]:.2f} s: "
              f"{walls[1] / walls[2]:.2f}x, {'the same bytes' if same else 'DIFFERENT BYTES'}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
