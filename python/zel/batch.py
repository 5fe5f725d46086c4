"""python3 -m zel.batch SOURCE DEST --rate R: converts every audio file under the directory SOURCE (or listed, one
path a line, in the manifest file SOURCE) to the same relative path under DEST, on a Dask cluster: a local one with
a worker process per core by default, or a running one with --scheduler ADDRESS.

A file whose output is longer than --segment-seconds is converted in segments, as separate tasks that each read
only the input they need, and joined in order: output frame t is computed at its exact position whatever segment it
falls in, so the result is the same, byte for byte, as the resample tool's for the whole file. Every output is
written under a temporary name beside its destination and renamed only when whole, so a rerun converts exactly the
files not yet complete; a task lost with its worker is run again elsewhere. Exit status: 0 when every file
converted, 1 when some failed (each reported with its reason), 2 for a usage error.
"""
import argparse
import errno
import glob
import json
import logging
import math
import os
import sys
import tempfile
import time
import uuid
from fractions import Fraction

import numpy as np
import soundfile

import zel

QUALITIES = zel.QUALITIES
TYPES = {"wav": "WAV", "rf64": "RF64", "w64": "W64", "aiff": "AIFF", "aif": "AIFF", "au": "AU", "snd": "AU",
         "caf": "CAF", "flac": "FLAC"}
FORMATS = {"float": 0, "pcm16": 16, "pcm24": 24}
WAV_LIMIT = 0xFFFFFFFF  # RIFF sizes are 32 bits; past this, RF64
READ_FRAMES = 1 << 16
TEMP = ".zel-batch-"
FLAC_BITS = "FLAC holds 16- or 24-bit PCM, not float; choose --format pcm16 or pcm24"


class UsageError(Exception):
    pass


def shown(path):
    """A file name as it can be printed: bytes that are not UTF-8 as \\xNN."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


# ---- the output's samples and containers, as the resample tool writes them ----

def to_pcm(y, bits):
    """Float frames to integers of `bits` bits: rounded to nearest (ties to even), clipped (NaN to the low end)."""
    scale = float(1 << (bits - 1))
    v = np.rint(y.astype(np.float64) * scale)
    clipped = int(np.count_nonzero(~((v <= scale - 1) & (v >= -scale))))
    v[np.isnan(v)] = -scale
    return np.clip(v, -scale, scale - 1).astype(np.int32), clipped


def wav_header(frames, channels, rate, bits, rf64=False):
    """The header the resample tool writes: a JUNK chunk that RF64 turns into ds64, the extensible fmt chunk for
    more than two channels or 24 bits, cbSize and a fact chunk for float."""
    width = bits // 8
    extensible = channels > 2 or bits == 24
    fmt_size = 40 if extensible else 18 if width == 4 else 16
    header_bytes = 12 + 36 + 8 + fmt_size + (12 if width == 4 else 0) + 8
    data = frames * channels * width
    pad = data & 1
    riff = header_bytes - 8 + data + pad
    rf64 = rf64 or header_bytes + data + pad > WAV_LIMIT
    tag = 3 if width == 4 else 1
    f = lambda v, n: int(v).to_bytes(n, "little")
    h = (b"RF64" if rf64 else b"RIFF") + f(0xFFFFFFFF if rf64 else riff, 4)
    h += (b"WAVEds64" if rf64 else b"WAVEJUNK") + f(28, 4)
    h += f(riff if rf64 else 0, 8) + f(data if rf64 else 0, 8) + f(frames if rf64 else 0, 8) + f(0, 4)
    h += b"fmt " + f(fmt_size, 4) + f(0xFFFE if extensible else tag, 2) + f(channels, 2) + f(rate, 4)
    h += f(rate * channels * width, 4) + f(channels * width, 2) + f(bits, 2)
    if extensible:
        h += f(22, 2) + f(bits, 2) + f(4 if channels == 1 else 3 if channels == 2 else 0, 4) + f(tag, 2)
        h += b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71"
    elif width == 4:
        h += f(0, 2)
    if width == 4:
        h += b"fact" + f(4, 4) + f(0xFFFFFFFF if rf64 else frames, 4)
    return h + b"data" + f(0xFFFFFFFF if rf64 else data, 4), pad


def encode(y, bits):
    """Frames as the bytes of a WAV data chunk, and the count of clipped samples."""
    if bits == 0:
        return y.astype("<f4").tobytes(), 0
    q, clipped = to_pcm(y, bits)
    if bits == 16:
        return q.astype("<i2").tobytes(), clipped
    return q.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3].tobytes(), clipped


# ---- the work of one task ----

class Unbounded:
    """A file as libsndfile sees a pipe, with no end in sight: it then takes the length its header gives, where for
    a file it trims that length to the bytes present, and a file cut short would pass for a shorter whole one."""
    END = (1 << 63) - 1

    def __init__(self, f):
        self.f, self.at = f, 0

    def seek(self, offset, whence=os.SEEK_SET):
        self.at = max(0, min(self.END, offset + (0, self.at, self.END)[whence]))
        return self.at

    def tell(self):
        return self.at

    def read(self, n):
        self.f.seek(self.at)
        data = self.f.read(n)
        self.at += len(data)
        return data


def promised_frames(f):
    """The frames the header of the open file `f` gives; -1 when it gives no length (libsndfile counts to the end)."""
    try:
        with soundfile.SoundFile(Unbounded(f)) as header:
            return header.frames if header.frames * 8 * header.channels < 1 << 56 else -1
    except (RuntimeError, ValueError):
        return -1


def frames_held(path, rel):
    """The header of the audio file at `path`; raises RuntimeError when it cannot be read or holds fewer frames
    than its header gives."""
    try:
        with open(path, "rb") as f:
            info = soundfile.info(os.fsencode(path))
            promised = promised_frames(f)
    except OSError as e:
        what = ("is a symlink loop" if e.errno == errno.ELOOP else "is a dangling link" if os.path.islink(path)
                else f"cannot be read: {e.strerror}")
        raise RuntimeError(f"'{shown(rel)}' {what}") from None
    except soundfile.LibsndfileError as e:
        raise RuntimeError(f"cannot read '{shown(rel)}': {e.error_string}") from None
    if promised > info.frames:
        raise RuntimeError(f"'{shown(rel)}' ends after {info.frames} of the {promised} frames its header gives")
    return info


def plan(path, rel, dest, args):
    """What converting one file involves, read from its header on the client; raises OSError or RuntimeError."""
    info = frames_held(path, rel)
    bits = args.bits
    if bits is None:
        bits = {"PCM_16": 16, "PCM_24": 24, "FLOAT": 0}.get(info.subtype)
        if bits is None:
            raise RuntimeError(f"'{shown(rel)}' is neither 16/24-bit PCM nor float; choose --format")
    if args.type_for(dest) == "FLAC" and bits == 0:
        raise RuntimeError(f"'{shown(rel)}': {FLAC_BITS}")
    total = zel.output_frames(info.frames, info.samplerate, args.rate)
    return {"path": path, "rel": shown(rel), "dest": dest, "type": args.type_for(dest), "bits": bits,
            "rate": args.rate, "header_rate": args.header_rate, "quality": args.quality,
            "bandwidth": args.bandwidth, "source_rate": info.samplerate,
            "channels": info.channels, "frames": info.frames, "total": total}


def sample_type(job):
    """float64 for the preset computing in double (as the tool passes frames), float32 for the others."""
    return np.float64 if job["quality"] == "max" else np.float32


def read_checked(f, job, want):
    block = f.read(want, dtype=sample_type(job), always_2d=True)
    if len(block) < want and f.tell() < job["frames"]:
        raise RuntimeError(f"'{job['rel']}' ends after {f.tell()} of the {job['frames']} frames its header gives")
    return block


def frames_of(job, first, count):
    """Output frames first .. first + count - 1 of a file, as blocks of float frames: a resampler started there
    by seek(), fed from the input frame it asks for."""
    with soundfile.SoundFile(os.fsencode(job["path"])) as f:
        r = zel.Resampler(job["source_rate"], job["rate"], job["channels"], job["quality"], sample_type(job),
                          job["bandwidth"])
        k = r.seek(first)
        if k < job["frames"]:
            f.seek(k)
        left, ended = count, k >= job["frames"]
        while left > 0:
            block = np.zeros((0, job["channels"]), sample_type(job)) if ended else read_checked(f, job, READ_FRAMES)
            ended = ended or len(block) < READ_FRAMES
            y = r.process(block, last=ended)
            if len(y) > left:
                y = y[:left]
            if len(y):
                yield y
            left -= len(y)
            if ended and left > 0 and not len(y):
                raise RuntimeError(f"'{job['rel']}' gave {count - left} of {count} frames")


def temporary(dest):
    d, name = os.path.split(dest)
    fd, path = tempfile.mkstemp(prefix=f".{name}{TEMP}", dir=d or ".")
    os.fchmod(fd, 0o666 & ~current_umask())
    return fd, path


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def pwrite_all(fd, data, at):
    """Writes all of data at offset `at`: pwrite may write less (a full disk), and the rest is written or fails."""
    data = memoryview(data)
    while data:
        n = os.pwrite(fd, data, at)
        data, at = data[n:], at + n


def wav_start(job):
    """A temporary WAV beside the destination holding the header for the whole output; its path."""
    fd, path = temporary(job["dest"])
    header, _ = wav_header(job["total"], job["channels"], job["header_rate"], job["bits"] or 32,
                           job["type"] == "RF64")
    try:
        try:
            pwrite_all(fd, header, 0)
        finally:
            os.close(fd)
    except OSError:
        os.remove(path)
        raise
    return path


def write_wav_segment(job, temp, first, count):
    """Writes output frames first .. first + count - 1 at their offset in the temporary WAV; returns clipped."""
    header, pad = wav_header(job["total"], job["channels"], job["header_rate"], job["bits"] or 32,
                             job["type"] == "RF64")
    width = job["channels"] * (job["bits"] // 8 if job["bits"] else 4)
    clipped, at = 0, len(header) + first * width
    fd = os.open(temp, os.O_WRONLY)
    try:
        for y in frames_of(job, first, count):
            data, c = encode(y, job["bits"])
            pwrite_all(fd, data, at)
            at, clipped = at + len(data), clipped + c
        if pad and first + count == job["total"]:
            pwrite_all(fd, b"\0", at)
    finally:
        os.close(fd)
    return clipped


def write_raw_segment(job, token, k, first, count):
    """Output frames of a segment as raw samples in a spool beside the destination, for a container that must be
    encoded in order; returns (the spool's path, clipped)."""
    path = f"{os.path.dirname(job['dest']) or '.'}/.{os.path.basename(job['dest'])}{TEMP}{token}.seg{k}"
    clipped = 0
    with open(path, "wb") as out:
        for y in frames_of(job, first, count):
            if job["bits"]:
                y, c = to_pcm(y, job["bits"])
                y, clipped = (y.astype(np.int64) << (32 - job["bits"])).astype(np.int32), clipped + c
            out.write(y.astype(np.float32 if not job["bits"] else np.int32).tobytes())
    return path, clipped


def finish_container(job, spools):
    """Encodes the spooled segments, in order, into a temporary file of the job's container; its path. The spools
    stay until the output is in place, for a rerun of this task."""
    fd, temp = temporary(job["dest"])
    os.close(fd)
    subtype = {0: "FLOAT", 16: "PCM_16", 24: "PCM_24"}[job["bits"]]
    dtype = np.float32 if job["bits"] == 0 else np.int32
    with soundfile.SoundFile(os.fsencode(temp), "w", job["header_rate"], job["channels"], subtype,
                             format=job["type"]) as f:
        for spool in spools:
            data = np.fromfile(spool, dtype).reshape(-1, job["channels"])
            if len(data):
                f.write(data)
    return temp


# Dask runs a task again when the worker holding its result dies before the result is used, even after the file
# was completed. The destination exists then (this run skipped every one that existed before it), and the task
# does nothing.

def convert_segment(job, token, k, first, count, temp):
    """One task: segment k of a file; returns clipped samples (and the spool, for containers other than WAV)."""
    if os.path.exists(job["dest"]):
        return None, 0
    if job["type"] in ("WAV", "RF64"):
        return None, write_wav_segment(job, temp, first, count)
    return write_raw_segment(job, token, k, first, count)


def complete_file(job, temp, parts):
    """The last task of a file: the container finished if it is not WAV, then the rename; returns its record."""
    clipped = sum(p[1] for p in parts)
    if os.path.exists(job["dest"]):
        return {"clipped": clipped}
    if job["type"] not in ("WAV", "RF64"):
        temp = finish_container(job, [p[0] for p in parts])
    # Read back before the rename: a write lost to a full disk that no call reported (libsndfile's close does
    # not) must not be taken for a complete file, here or by a rerun.
    try:
        whole = frames_held(temp, job["rel"]).frames == job["total"]
    except RuntimeError:
        whole = False
    if not whole:
        raise RuntimeError(f"cannot write '{shown(job['dest'])}': the output does not read back as its "
                           f"{job['total']} frames")
    os.replace(temp, job["dest"])
    return {"clipped": clipped}


# ---- the client ----

class Parser(argparse.ArgumentParser):
    """Usage errors in one line, as the project's other programs write them."""

    def error(self, message):
        print(f"zel.batch: {message} (see python3 -m zel.batch --help)", file=sys.stderr)
        sys.exit(2)


def parse(argv):
    p = Parser(prog="python3 -m zel.batch", description=__doc__.split("\n\n")[0])
    p.add_argument("source", metavar="SOURCE", help="a directory of audio files, or a manifest: one path a line")
    p.add_argument("dest", metavar="DEST", help="the directory the outputs go to, under the same relative paths")
    p.add_argument("-r", "--rate", required=True, help="the output rate: 48000 or an exact fraction 30000/1001")
    p.add_argument("-q", "--quality", default="high", choices=QUALITIES)
    p.add_argument("--bandwidth", type=float, help="keep this fraction of the lower Nyquist frequency, 0.80 to 0.99 "
                   "(default 0.90)")
    p.add_argument("-f", "--format", default="same", choices=["same", *FORMATS],
                   help="sample format of the outputs (same: as each input)")
    p.add_argument("-t", "--type", choices=sorted(set(TYPES)),
                   help="container of the outputs, whose extension they then take (default: as each input)")
    p.add_argument("--workers", type=int, default=os.cpu_count(), help="local worker processes (default: cores)")
    p.add_argument("--scheduler", help="the address of a running Dask scheduler (tcp://host:8786) to submit to")
    p.add_argument("--segment-seconds", type=float, default=300,
                   help="outputs longer than this are converted in segments of this length (default 300)")
    p.add_argument("--report", help="write a JSON report of every file to this path")
    p.add_argument("--timeout", type=float, default=20, help="seconds to wait for the scheduler (default 20)")
    a = p.parse_args(argv)
    try:
        a.rate = Fraction(a.rate)
        zel.output_frames(0, 1, a.rate)  # refuses what the library would
    except (ValueError, ZeroDivisionError) as e:
        p.error(f"--rate {a.rate!r}: {e}")
    try:
        zel.Resampler(1, 1, quality=a.quality, bandwidth=a.bandwidth)  # a bandwidth out of range, or with linear
    except ValueError as e:
        p.error(f"--bandwidth: {e}")
    a.header_rate = math.floor(a.rate + Fraction(1, 2))  # the whole rate a file header holds, as the tool rounds it
    if a.workers < 1 or a.segment_seconds <= 0:
        p.error("--workers and --segment-seconds must be positive")
    a.bits = None if a.format == "same" else FORMATS[a.format]
    if a.type == "flac" and a.bits == 0:
        p.error(FLAC_BITS)
    if a.scheduler:
        from distributed.comm import get_address_host_port
        try:
            get_address_host_port(a.scheduler)
        except ValueError as e:
            p.error(f"--scheduler {a.scheduler!r}: {e}")
    a.type_for = lambda dest: TYPES[a.type] if a.type else TYPES.get(os.path.splitext(dest)[1][1:].lower(), "WAV")
    return a


def sources(a):
    """(absolute path, relative path) of every file to convert."""
    if not os.path.exists(a.source):
        raise UsageError(f"SOURCE '{shown(a.source)}' does not exist")
    if os.path.isfile(a.source):
        root = os.path.dirname(os.path.abspath(a.source))
        with open(a.source) as f:
            listed = [line.strip() for line in f if line.strip()]
        found = []
        for line in listed:
            path = os.path.normpath(os.path.join(root, line))
            if os.path.relpath(path, root).startswith(".."):
                raise UsageError(f"'{shown(line)}' in the manifest is not under its directory '{shown(root)}'")
            found.append((path, os.path.relpath(path, root)))
        return root, found
    root = os.path.abspath(a.source)
    known = {e.lower() for e in soundfile.available_formats()} | {"aif", "snd", "oga"}
    found = []
    for d, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(files):
            if not name.startswith(".") and os.path.splitext(name)[1][1:].lower() in known:
                path = os.path.join(d, name)
                found.append((path, os.path.relpath(path, root)))
    return root, found


def destinations(a, root, found):
    dest_root = os.path.abspath(a.dest)
    # Compared with their links resolved: a DEST reached through a link into SOURCE would fill SOURCE.
    real, real_root = os.path.realpath(dest_root), os.path.realpath(root)
    if real == real_root or real.startswith(real_root.rstrip(os.sep) + os.sep):
        raise UsageError(f"DEST '{shown(a.dest)}' is inside SOURCE '{shown(a.source)}'; choose a directory outside "
                         f"it")
    probe = dest_root
    while not os.path.exists(probe):
        probe = os.path.dirname(probe)
    if not os.path.isdir(probe) or not os.access(probe, os.W_OK | os.X_OK):
        raise UsageError(f"DEST '{shown(a.dest)}' is not a directory this user can write")
    out, seen = [], {}
    for path, rel in found:
        dest_rel = os.path.splitext(rel)[0] + "." + a.type if a.type else rel
        if dest_rel in seen:
            raise UsageError(f"'{shown(seen[dest_rel])}' and '{shown(rel)}' would both be written to "
                             f"'{shown(dest_rel)}'")
        seen[dest_rel] = rel
        out.append((path, rel, os.path.join(dest_root, dest_rel)))
    return out


def remove_stale(dest):
    for stale in glob.glob(os.path.join(glob.escape(os.path.dirname(dest)),
                                        "." + glob.escape(os.path.basename(dest)) + TEMP + "*")):
        try:
            os.remove(stale)
        except OSError:
            pass


class Progress:
    def __init__(self, files, hours):
        self.files, self.hours, self.start = files, hours, time.monotonic()
        self.done_files, self.done_hours = 0, 0.0
        self.tty = sys.stderr.isatty()

    def update(self, hours):
        self.done_files += 1
        self.done_hours += hours
        if self.tty:
            width = 30
            filled = int(width * self.done_files / max(self.files, 1))
            speed = self.done_hours * 3600 / max(time.monotonic() - self.start, 1e-9)
            print(f"\rzel.batch [{'#' * filled}{'.' * (width - filled)}] {self.done_files}/{self.files} files, "
                  f"{self.done_hours:.2f}/{self.hours:.2f} h, {speed:.0f}x real time ", end="", file=sys.stderr,
                  flush=True)

    def summary(self, records):
        wall = time.monotonic() - self.start
        if self.tty:
            print(file=sys.stderr)
        count = lambda status: sum(r["status"] == status for r in records)
        rate = self.done_hours / (wall / 3600) if wall > 0 else 0
        print(f"zel.batch: {len(records)} files: {count('converted')} converted, {count('complete')} already "
              f"complete, {count('failed')} failed; {self.done_hours:.3f} hours of audio in {wall:.1f} s, "
              f"{rate:.0f} audio hours per wall hour", file=sys.stderr)


def quiet_task_failures(record):
    """A logging filter: a worker's log of a failed task, which batch reports itself in one line."""
    return not str(record.msg).startswith("Compute Failed")


class QuietTaskFailures:
    """Installs quiet_task_failures on each worker of the local cluster, whose logs share our stderr."""

    def setup(self, worker):
        logging.getLogger("distributed.worker").addFilter(quiet_task_failures)


def connect(a):
    from distributed import Client, LocalCluster
    if a.scheduler:
        try:
            return Client(a.scheduler, timeout=f"{a.timeout}s"), None
        except (OSError, TimeoutError) as e:
            raise UsageError(f"no Dask scheduler answers at {a.scheduler} within {a.timeout:g} s ({e})") from None
    cluster = LocalCluster(n_workers=a.workers, threads_per_worker=1, processes=True, dashboard_address=None)
    client = Client(cluster)
    client.register_worker_plugin(QuietTaskFailures(), name="zel-batch-quiet-task-failures")
    return client, cluster


def run(a):
    root, found = sources(a)
    if not found:
        raise UsageError(f"no audio files under SOURCE '{shown(a.source)}'")
    work = destinations(a, root, found)
    records, jobs = [], []
    for path, rel, dest in work:
        record = {"path": shown(rel), "output": shown(dest), "status": "converted", "frames": 0, "seconds": 0.0}
        records.append(record)
        if os.path.exists(dest):
            record["status"] = "complete"
            continue
        remove_stale(dest)
        try:
            job = plan(path, rel, dest, a)
        except (OSError, RuntimeError, ValueError) as e:
            record.update(status="failed", error=str(e).splitlines()[0])
            continue
        record.update(frames=job["total"], seconds=job["total"] / float(a.rate))
        jobs.append((record, job))

    progress = Progress(len(jobs), sum(r["seconds"] for r, _ in jobs) / 3600)
    if jobs:
        convert(a, jobs, progress)
    progress.summary(records)
    for record in records:
        if record["status"] == "failed":
            print(f"zel.batch: {record['path']}: {record['error']}", file=sys.stderr)
    if a.report:
        with open(a.report, "w") as f:
            json.dump({"files": records}, f, indent=1)
    return 1 if any(r["status"] == "failed" for r in records) else 0


def convert(a, jobs, progress):
    """Converts the planned files on the cluster, updating their records."""
    from distributed import as_completed, wait
    client, cluster = connect(a)
    token = uuid.uuid4().hex[:12]
    try:
        finals = {}
        for record, job in jobs:
            seg = max(1, int(a.segment_seconds * float(a.rate)))
            starts = list(range(0, job["total"], seg)) or [0]
            wav = job["type"] in ("WAV", "RF64")
            try:
                os.makedirs(os.path.dirname(job["dest"]), exist_ok=True)
                temp = wav_start(job) if wav else None
            except OSError as e:
                record.update(status="failed", error=f"cannot write '{shown(job['dest'])}': {e.strerror}")
                continue
            parts = [client.submit(convert_segment, job, token, k, first, min(seg, job["total"] - first), temp,
                                   pure=False) for k, first in enumerate(starts)]
            finals[client.submit(complete_file, job, temp, parts, pure=False)] = (record, job, parts)
        for future in as_completed(list(finals)):
            record, job, parts = finals[future]
            try:
                record["clipped"] = future.result()["clipped"]
            except Exception as e:  # the task's own exception, raised again here
                error = (f"cannot write '{shown(job['dest'])}': {e.strerror}" if isinstance(e, OSError) and
                         e.strerror else str(e).splitlines()[0] if str(e) else type(e).__name__)
                record.update(status="failed", error=error)
                wait(parts)  # the file's other segments, which may still be writing
            remove_stale(job["dest"])  # what failed or lost attempts left behind
            progress.update(0 if record["status"] == "failed" else record["seconds"] / 3600)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def main(argv=None):
    a = parse(sys.argv[1:] if argv is None else argv)
    try:
        return run(a)
    except UsageError as e:
        print(f"zel.batch: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    from zel import batch  # the tasks must travel to the workers by this name, not as __main__'s

    sys.exit(batch.main())
