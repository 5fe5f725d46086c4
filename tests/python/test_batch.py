"""python3 -m zel.batch on Dask: a tree of files, one of them long enough to be converted in segments and one whose
name is not UTF-8, gives the resample tool's bytes; a corrupt file is reported while the rest converts; a rerun
converts nothing; a full disk fails each file in one line, leaving nothing behind; on a separately started
scheduler and workers, a worker killed mid-run leaves every output whole, and one that cannot import zel is named."""
import json
import os
import resource
import signal
import subprocess
import sys
import time

import distributed
import numpy as np
import soundfile

RESAMPLE = os.environ["ZEL_RESAMPLE_TOOL"]
BATCH = [sys.executable, "-m", "zel.batch"]


def tree(root, files=4, seconds=1.0):
    """Short files of every sample format, one 6 s file, a corrupt file and a text file."""
    rng = np.random.default_rng(3)
    for k in range(files):
        rate, channels, subtype = [(44100, 2, "PCM_16"), (48000, 1, "PCM_24"), (32000, 3, "FLOAT")][k % 3]
        data = rng.uniform(-0.9, 0.9, (int(rate * seconds) + k, channels))
        os.makedirs(root / f"d{k % 2}", exist_ok=True)
        soundfile.write(root / f"d{k % 2}" / f"f{k}.wav", data, rate, subtype)
    soundfile.write(root / "long.flac", rng.uniform(-0.5, 0.5, (44100 * 6, 2)), 44100, "PCM_16")
    (root / "corrupt.wav").write_bytes(b"RIFF\x00\x10\x00\x00WAVEfmt garbage")
    (root / "notes.txt").write_text("not audio")


def same_as_tool(src, dest, rel, *args):
    out = dest.parent / ("tool" + os.path.splitext(rel)[1])
    subprocess.run([RESAMPLE, "--quiet", str(src / rel), str(out), "-r", "48000", *args], check=True)
    return (dest / rel).read_bytes() == out.read_bytes()


def test_a_tree_converts_as_the_tool_converts_each_file_and_a_rerun_converts_nothing(tmp_path):
    src, dest = tmp_path / "src", tmp_path / "dest"
    tree(src)
    soundfile.write(os.fsencode(src) + b"/d0/\xff.wav", np.full((4000, 1), 0.25), 8000, "PCM_16")  # not UTF-8
    run = [*BATCH, str(src), str(dest), "-r", "48000", "--workers", "2", "--segment-seconds", "1.5", "--bandwidth",
           "0.95"]
    p = subprocess.run([*run, "--report", str(tmp_path / "report.json")], capture_output=True, text=True,
                       timeout=120)
    assert p.returncode == 1, p.stderr
    assert "corrupt.wav: " in p.stderr and "7 files: 6 converted, 0 already complete, 1 failed" in p.stderr
    report = {r["path"]: r for r in json.loads((tmp_path / "report.json").read_text())["files"]}
    assert report["long.flac"]["frames"] == 48000 * 6 and report["corrupt.wav"]["status"] == "failed"
    for rel in ("d0/f0.wav", "d1/f1.wav", "d0/f2.wav", "d1/f3.wav", "long.flac", os.fsdecode(b"d0/\xff.wav")):
        assert same_as_tool(src, dest, rel, "--bandwidth", "0.95"), rel
    before = {f: f.stat().st_mtime_ns for f in dest.rglob("*")}
    p = subprocess.run(run, capture_output=True, text=True, timeout=120)
    assert "0 converted, 6 already complete, 1 failed" in p.stderr, p.stderr
    assert {f: f.stat().st_mtime_ns for f in dest.rglob("*")} == before


def test_a_full_disk_fails_each_file_in_one_line_and_a_rerun_converts_them(tmp_path):
    # A file-size limit with SIGXFSZ ignored, inherited by the workers, fails writes as a full disk does.
    src, dest = tmp_path / "src", tmp_path / "dest"
    tree(src, files=3)
    run = [*BATCH, str(src), str(dest), "-r", "48000", "--workers", "2", "--segment-seconds", "0.5"]
    p = subprocess.run(run, capture_output=True, text=True, timeout=120, preexec_fn=lambda: (
        resource.setrlimit(resource.RLIMIT_FSIZE, (10 ** 5, 10 ** 5)), signal.signal(signal.SIGXFSZ, signal.SIG_IGN)))
    assert "5 files: 0 converted, 0 already complete, 5 failed" in p.stderr and len(p.stderr.splitlines()) == 6 and \
        p.stderr.count("File too large") == 4, p.stderr
    assert not [f for f in dest.rglob("*") if f.is_file()], "a short file or a temporary file was left"
    p = subprocess.run(run, capture_output=True, text=True, timeout=120)
    assert "4 converted, 0 already complete, 1 failed" in p.stderr and same_as_tool(src, dest, "long.flac"), p.stderr


def test_separate_workers_one_killed_mid_run_give_the_tools_bytes_and_one_without_zel_is_named(tmp_path):
    src, dest, info = tmp_path / "src", tmp_path / "dest", tmp_path / "scheduler.json"
    tree(src, files=24, seconds=3)
    # SOURCE as a manifest: one path a line, relative to the manifest's directory.
    (src / "list.txt").write_text("".join(f"d{k % 2}/f{k}.wav\n" for k in range(24)) + "long.flac\n\ncorrupt.wav\n")
    common = ["--scheduler-file", str(info), "--no-dashboard"]
    worker = ["dask-worker", "--nthreads", "1", "--no-nanny", *common]
    cluster = [subprocess.Popen(["dask-scheduler", "--host", "127.0.0.1", "--port", "0", *common],
                                stderr=subprocess.DEVNULL)]
    try:
        while not info.exists():
            time.sleep(0.05)
        cluster += [subprocess.Popen(worker, stderr=subprocess.DEVNULL) for _ in range(2)]
        address = json.loads(info.read_text())["address"]
        run = [*BATCH, str(src / "list.txt"), str(dest), "-r", "48000", "--scheduler", address, "--segment-seconds",
               "2", "-q", "very-high"]
        batch = subprocess.Popen(run, stderr=subprocess.PIPE, text=True)
        while (not dest.exists() or len(list(dest.rglob("*.wav"))) < 2) and batch.poll() is None:
            time.sleep(0.02)
        cluster[1].kill()
        assert len(list(dest.rglob("*.wav"))) < 24, "the worker was killed after the run"
        _, err = batch.communicate(timeout=300)
        assert batch.returncode == 1 and "26 files: 25 converted" in err, err
        for rel in [f"d{k % 2}/f{k}.wav" for k in range(24)] + ["long.flac"]:
            assert same_as_tool(src, dest, rel, "-q", "very-high"), rel
        assert not [f for f in dest.rglob(".*") if f.name != ".zel-batch-manifest"], "a temporary file was left"
        cluster.append(subprocess.Popen(worker, stderr=subprocess.DEVNULL, env={"PATH": os.environ["PATH"]}))
        with distributed.Client(address) as client:
            client.wait_for_workers(2, timeout=60)
        p = subprocess.run([*run, "-r", "8000", "--force"], capture_output=True, text=True, timeout=120)
        assert p.returncode == 2 and len(p.stderr.splitlines()) == 1 and "No module named 'zel'" in p.stderr, p.stderr
    finally:
        for process in reversed(cluster):
            process.terminate()
            process.wait(timeout=30)
