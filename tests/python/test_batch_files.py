"""python3 -m zel.batch on the file system, without a cluster: inputs that cannot be converted (cut short, a dangling
link, a symlink loop, a name that is not UTF-8) and bad command lines each fail with one line before any cluster
starts; and a write cut short, as on a full disk, is never renamed into place."""
import os
import subprocess
import sys

import numpy as np
import pytest
import soundfile

BATCH = [sys.executable, "-m", "zel.batch"]


def run(*args, **kwargs):
    return subprocess.run([*BATCH, *map(str, args)], capture_output=True, text=True, timeout=60, **kwargs)


def test_inputs_that_cannot_be_converted_are_reported_each_in_one_line(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    soundfile.write(src / "whole.wav", np.zeros((30000, 1)), 8000, "PCM_16")
    with open(src / "whole.wav", "rb") as f, open(os.fsencode(src) + b"/cut\xff.wav", "wb") as g:
        g.write(f.read()[:44 + 30000])  # 15000 of its 30000 frames
    (src / "whole.wav").unlink()
    os.symlink("nowhere.wav", src / "dangling.wav")
    os.symlink("loop.wav", src / "loop.wav")
    p = run(src, tmp_path / "dest", "-r", "16000")
    assert p.returncode == 1, p.stderr
    assert p.stderr.splitlines()[1:] == [
        "zel.batch: cut\\xff.wav: 'cut\\xff.wav' ends after 15000 of the 30000 frames its header gives",
        "zel.batch: dangling.wav: 'dangling.wav' is a dangling link",
        "zel.batch: loop.wav: 'loop.wav' is a symlink loop"]
    assert not (tmp_path / "dest").exists()


@pytest.mark.parametrize("dest, extra, message", [
    ("out", [], "DEST 'out' is inside SOURCE"),  # a link into SOURCE
    ("dest", ["--scheduler", "tcp://host:port"], "--scheduler 'tcp://host:port': invalid literal"),
    ("dest", ["-t", "flac", "-f", "float"], "FLAC holds 16- or 24-bit PCM, not float; choose --format pcm16"),
])
def test_bad_command_lines_fail_with_one_line(tmp_path, dest, extra, message):
    (tmp_path / "src" / "inner").mkdir(parents=True)
    soundfile.write(tmp_path / "src" / "a.wav", np.zeros((100, 1)), 8000, "PCM_16")
    os.symlink("src/inner", tmp_path / "out")
    p = run("src", dest, "-r", "16000", *extra, cwd=tmp_path)
    assert p.returncode == 2 and message in p.stderr and p.stderr.count("\n") == 1, p.stderr
    assert os.listdir(tmp_path / "src" / "inner") == []


# One file converted by the tasks themselves, as the cluster runs them, writing its output under a file-size limit
# with SIGXFSZ ignored: writes then fail past the limit as on a full disk.
TASKS = """
import resource, signal, sys
from zel import batch
src, kind, dest, limit = sys.argv[1:]
job = batch.plan(src + "/a.wav", "a.wav", dest, batch.parse([src, dest + ".d", "-r", "48000", "-t", kind]))
def limited():
    if int(limit):
        resource.setrlimit(resource.RLIMIT_FSIZE, (int(limit), int(limit)))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
if kind == "wav":
    limited()
temp = batch.wav_start(job) if kind == "wav" else None
part = batch.convert_segment(job, "t", 0, 0, job["total"], temp)
limited()
try:
    batch.complete_file(job, temp, [part])
except Exception as e:
    sys.exit(str(e))
"""


@pytest.mark.parametrize("kind, message", [("wav", "File too large"), ("flac", "does not read back as its")])
def test_an_output_cut_short_is_not_renamed_into_place(tmp_path, kind, message):
    # One byte short of the output: the WAV's last write returns short, and FLAC's final header is lost where
    # libsndfile's close does not say so.
    soundfile.write(tmp_path / "a.wav", np.random.default_rng(1).uniform(-0.5, 0.5, (20000, 2)), 44100, "PCM_16")
    whole, cut = tmp_path / f"whole.{kind}", tmp_path / f"cut.{kind}"
    subprocess.run([sys.executable, "-c", TASKS, tmp_path, kind, whole, "0"], check=True, timeout=60)
    p = subprocess.run([sys.executable, "-c", TASKS, tmp_path, kind, cut, str(whole.stat().st_size - 1)],
                       capture_output=True, text=True, timeout=60)
    assert p.returncode == 1 and message in p.stderr and not cut.exists(), p.stderr
