"""python3 -m zel.batch on the file system, without a cluster: inputs that cannot be converted (cut short, a dangling
link, a symlink loop, a name that is not UTF-8) and bad command lines each fail with one line before any cluster
starts; a write cut short, as on a full disk, is never renamed into place; outputs take the tool's formats and
names, and DEST's manifest makes a rerun with other options ask for --force."""
import os
import subprocess
import sys
import time

import numpy as np
import pytest
import soundfile

BATCH = [sys.executable, "-m", "zel.batch"]


def run(*args, **kwargs):
    return subprocess.run([*BATCH, *map(str, args)], capture_output=True, text=True, timeout=60, **kwargs)


def test_inputs_that_cannot_be_converted_are_reported_each_in_one_line(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    soundfile.write(os.fsencode(src) + b"/cut\xff.wav", np.zeros((30000, 1)), 8000, "PCM_16")
    os.truncate(os.fsencode(src) + b"/cut\xff.wav", 44 + 30000)  # 15000 of its 30000 frames
    os.symlink("nowhere.wav", src / "dangling.wav")
    os.symlink("loop.wav", src / "loop.wav")
    p = run(src, tmp_path / "dest", "-r", "16000")
    assert p.returncode == 1, p.stderr
    assert p.stderr.splitlines()[1:] == [
        "zel.batch: cut\\xff.wav: 'cut\\xff.wav' ends after 15000 of the 30000 frames its header gives",
        "zel.batch: dangling.wav: 'dangling.wav' is a dangling link",
        "zel.batch: loop.wav: 'loop.wav' is a symlink loop"]
    assert not (tmp_path / "dest").exists()


@pytest.mark.parametrize("args, message", [
    (["{tmp}/missing", "{tmp}/dest"], "does not exist"),
    (["{tmp}/empty", "{tmp}/dest"], "no audio files"),
    (["{tmp}/src", "{tmp}/src/out"], "inside SOURCE"),
    (["{tmp}/src", "{tmp}/src/a.wav/out"], "inside SOURCE"),
    (["{tmp}/src", "{tmp}/out"], "DEST '{tmp}/out' is inside SOURCE"),  # a link into SOURCE
    (["{tmp}/src", "{tmp}/dest", "--scheduler", "tcp://host:port"], "--scheduler 'tcp://host:port': invalid literal"),
    (["{tmp}/src", "{tmp}/dest", "-t", "flac", "-f", "float"], "FLAC holds 16- or 24-bit PCM, not float; choose"),
    (["{tmp}/src", "{tmp}/file/out"], "not a directory this user can write"),
    (["{tmp}/src", "{tmp}/dest", "-t", "flac"], "would both be written to 'a.flac'"),
    (["{tmp}/src", "{tmp}/dest", "--scheduler", "tcp://127.0.0.1:9", "--timeout", "2"], "no Dask scheduler"),
    (["{tmp}/src", "{tmp}/dest", "-r", "29.97x"], "--rate"),
    (["{tmp}/src", "{tmp}/dest", "-r", "44.1"], "--rate '44.1': give a whole number of hertz or an exact fraction"),
    (["{tmp}/src", "{tmp}/dest", "--segment-seconds", "nan"], "--segment-seconds must be a number of seconds"),
    (["{tmp}/src", "{tmp}/dest", "--timeout", "-5"], "--timeout must be a positive number of seconds"),
    (["{tmp}/src", "{tmp}/dest", "--bandwidth", "0.5"], "--bandwidth: bandwidth 0.5 is outside 0.80 to 0.99"),
])
def test_bad_command_lines_fail_with_one_line_and_lose_nothing(tmp_path, args, message):
    (tmp_path / "empty").mkdir()
    (tmp_path / "src").mkdir()
    (tmp_path / "file").write_text("a file")
    os.symlink(tmp_path / "src" / "inner", tmp_path / "out")
    for name in ("a.wav", "a.flac"):
        soundfile.write(tmp_path / "src" / name, np.zeros((100, 1)), 8000, "PCM_16")
    args, message = [a.format(tmp=tmp_path) for a in args], message.format(tmp=tmp_path)
    start = time.monotonic()
    p = subprocess.run([*BATCH, *args, *([] if "-r" in args else ["-r", "16000"])], capture_output=True,
                       text=True, timeout=60)
    assert p.returncode == 2 and message in p.stderr and p.stderr.count("\n") <= 2, p.stderr
    assert time.monotonic() - start < 20
    assert sorted(os.listdir(tmp_path / "src")) == ["a.flac", "a.wav"] and not (tmp_path / "dest").exists()


def test_no_output_or_report_lands_on_an_input_or_in_source_and_a_fifo_is_not_waited_for(tmp_path):
    (tmp_path / "in" / "in").mkdir(parents=True)
    (tmp_path / "s" / "sub").mkdir(parents=True)
    (tmp_path / "o").mkdir()
    for path in ("in/a.wav", "in/in/a.wav", "s/sub/b.wav"):
        soundfile.write(tmp_path / path, np.zeros((100, 1)), 8000, "PCM_16")
    os.symlink("../s/sub", tmp_path / "o" / "sub")
    before = (tmp_path / "in" / "a.wav").read_bytes()
    for args, message in (([tmp_path / "in", tmp_path, "--force"], "'in/a.wav' in DEST is the input 'a.wav'"),
                          ([tmp_path / "s", tmp_path / "o"], "'sub/b.wav' in DEST is the input 'sub/b.wav'"),
                          ([tmp_path / "in", tmp_path / "o", "--report", tmp_path / "in" / "a.wav"], "--report")):
        p = run(*args, "-r", "16000")
        assert p.returncode == 2 and message in p.stderr and p.stderr.count("\n") == 1, p.stderr
    assert (tmp_path / "in" / "a.wav").read_bytes() == before and not (tmp_path / "a.wav").exists()
    p = run(tmp_path / "in", tmp_path / "o", "-r", "16000", "--report", "/dev/full")
    assert p.returncode == 1 and p.stderr.endswith("cannot write the report '/dev/full': No space left on device\n")
    os.mkfifo(tmp_path / "s" / "fifo.wav")
    p = run(tmp_path / "s", tmp_path / "d", "-r", "16000")
    assert p.returncode == 1 and "zel.batch: fifo.wav: 'fifo.wav' is not a regular file" in p.stderr, p.stderr


def test_a_manifest_lists_any_name_and_every_message_stays_on_one_line(tmp_path):
    src = tmp_path / "s"
    src.mkdir()
    for name in (b" sp .wav", b"n\xffb.wav"):
        soundfile.write(os.fsencode(src) + b"/" + name, np.zeros((800, 1)), 8000, "PCM_16")
    (src / "bro\nken.wav").write_bytes(b"junk")
    (src / "list.txt").write_bytes(b" sp .wav\nn\xffb.wav\n")
    p = run(src / "list.txt", tmp_path / "d", "-r", "16000")
    made = sorted(n for n in os.listdir(os.fsencode(tmp_path / "d")) if not n.startswith(b"."))
    assert p.returncode == 0 and made == [b" sp .wav", b"n\xffb.wav"], p.stderr
    p = run(src / " sp .wav", tmp_path / "e", "-r", "16000")
    assert p.returncode == 2 and "not a list of paths" in p.stderr, p.stderr
    p = run(src, tmp_path / "f", "-r", "16000")
    assert p.returncode == 1 and "zel.batch: bro\\nken.wav: cannot read 'bro\\nken.wav'" in p.stderr, p.stderr


def test_a_dest_in_use_by_another_run_is_refused(tmp_path):
    import fcntl
    (tmp_path / "s").mkdir()
    (tmp_path / "d").mkdir()
    soundfile.write(tmp_path / "s" / "a.wav", np.zeros((800, 1)), 8000, "PCM_16")
    fd = os.open(tmp_path / "d", os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)  # as a run in progress holds it
    p = run(tmp_path / "s", tmp_path / "d", "-r", "16000")
    os.close(fd)
    assert p.returncode == 2 and "is in use by another zel.batch run" in p.stderr, p.stderr
    assert os.listdir(tmp_path / "d") == []


def test_an_output_of_an_input_changed_since_is_not_complete_but_one_of_a_spelled_out_default_is(tmp_path):
    (tmp_path / "s").mkdir()
    soundfile.write(tmp_path / "s" / "a.wav", np.zeros((800, 1)), 8000, "PCM_16")
    assert run(tmp_path / "s", tmp_path / "d", "-r", "16000").returncode == 0
    assert run(tmp_path / "s", tmp_path / "d", "-r", "16000", "--bandwidth", "0.9").returncode == 0  # the default
    soundfile.write(tmp_path / "s" / "a.wav", np.zeros((2400, 1)), 8000, "PCM_16")
    p = run(tmp_path / "s", tmp_path / "d", "-r", "16000")
    assert p.returncode == 2 and "'a.wav' was made from an earlier 'a.wav'" in p.stderr, p.stderr
    assert run(tmp_path / "s", tmp_path / "d", "-r", "16000", "--force").returncode == 0
    assert soundfile.info(tmp_path / "d" / "a.wav").frames == 4800


def test_a_run_ended_by_a_signal_says_so_in_one_line_and_leaves_no_partial_file(tmp_path):
    (tmp_path / "s").mkdir()
    soundfile.write(tmp_path / "s" / "long.wav", np.zeros((48000 * 240, 1), np.float32), 48000, "PCM_16")
    p = subprocess.Popen([*BATCH, tmp_path / "s", tmp_path / "d", "-r", "44100", "-q", "max", "-t", "flac",
                          "--segment-seconds", "10", "--workers", "1"], stderr=subprocess.PIPE, text=True)
    partial = lambda: [n for n in os.listdir(tmp_path / "d") if ".zel-batch-" in n and "manifest" not in n]
    deadline = time.monotonic() + 30
    while not ((tmp_path / "d").exists() and partial()) and time.monotonic() < deadline:
        time.sleep(0.005)
    p.send_signal(15)
    assert p.wait(60) == 143
    assert p.stderr.read() == ("zel.batch: interrupted by SIGTERM: the outputs completed are in place, the others "
                               "as they were\n")
    assert partial() == []


# One file converted by the tasks themselves, as the cluster runs them, writing its output under a file-size limit
# with SIGXFSZ ignored: writes then fail past the limit as on a full disk.
TASKS = """
import resource, signal, sys
from zel import batch
src, kind, dest, limit = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
job = batch.plan(src + "/a.wav", "a.wav", dest, batch.parse([src, dest + ".d", "-r", "48000", "-t", kind]))
def limited(now):
    if now and limit:
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
limited(kind == "wav")
temp = batch.wav_start(job) if kind == "wav" else None
part = batch.convert_segment(job, "t", 0, 0, job["total"], temp)
limited(True)
batch.complete_file(job, temp, [part])
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


def test_outputs_take_the_tools_formats_and_names_and_a_rerun_with_other_options_needs_force(tmp_path):
    src, tool = tmp_path / "src", os.environ["ZEL_RESAMPLE_TOOL"]
    src.mkdir()
    noise = np.random.default_rng(2).uniform(-0.5, 0.5, (22050, 2))
    soundfile.write(src / "v.oga", noise, 44100, format="OGG", subtype="VORBIS")  # no PCM depth
    soundfile.write(src / "s.voc", noise, 44100, "PCM_16")  # a container the tool reads but does not write
    soundfile.write(src / "w.wav", noise, 44100, "PCM_16")

    def same_as_tool(dest, *args):
        for rel, out in (("v.oga", "v.oga"), ("s.voc", "s.wav"), ("w.wav", "w.wav")):
            subprocess.run([tool, "--quiet", src / rel, tmp_path / out, *args], check=True)
            if out.endswith(".oga"):  # lossy: the encoder's blocks differ from the tool's, and Ogg serials differ
                ours, its = soundfile.info(dest / out), soundfile.info(tmp_path / out)
                assert (ours.format, ours.frames, ours.samplerate) == (its.format, its.frames, its.samplerate), args
            else:
                assert (dest / out).read_bytes() == (tmp_path / out).read_bytes(), (out, args)

    for fmt in ("same", "pcm32", "double"):
        assert run(src, tmp_path / fmt, "-r", 16000, "-f", fmt).returncode == 0
        same_as_tool(tmp_path / fmt, "-r", "16000", "-f", fmt)
    dest = tmp_path / "same"
    os.chmod(dest / "w.wav", 0o640)
    before = {f: f.stat().st_mtime_ns for f in dest.iterdir()}
    p = run(src, dest, "-r", 8000)
    assert p.returncode == 2 and "was made with --rate 16000, not 8000); --force" in p.stderr, p.stderr
    assert {f: f.stat().st_mtime_ns for f in dest.iterdir()} == before
    assert run(src, dest, "-r", 8000, "--force").returncode == 0
    same_as_tool(dest, "-r", "8000")
    assert (dest / "w.wav").stat().st_mode & 0o777 == 0o640 and sorted(os.listdir(dest)) == [
        ".zel-batch-manifest", "s.wav", "v.oga", "w.wav"]
    assert "0 converted, 3 already complete" in run(src, dest, "-r", 8000).stderr
