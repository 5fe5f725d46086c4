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
import os
import sys
import time
import uuid
from fractions import Fraction

import soundfile

import zel
from zel import _native

QUALITIES = zel.QUALITIES
FORMATS = ("float", "pcm16", "pcm24")
TEMP = ".zel-batch-"


class UsageError(Exception):
    pass


def shown(path):
    """A file name as it can be printed: bytes that are not UTF-8 as \\xNN."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


# ---- the work of one file, in tasks; the files are written by the resample tool's own code in zel._native ----

def readable(path, rel):
    """Raises RuntimeError naming what stops `path` from being opened: a dangling link, a loop, its permissions."""
    try:
        open(path, "rb").close()
    except OSError as e:
        what = ("is a symlink loop" if e.errno == errno.ELOOP else "is a dangling link" if os.path.islink(path)
                else f"cannot be read: {e.strerror}")
        raise RuntimeError(f"'{shown(rel)}' {what}") from None


def plan(path, rel, dest, args):
    """What converting one file involves, read from its header on the client; raises OSError or RuntimeError."""
    readable(path, rel)
    info = _native.open_input(path, shown(rel))  # refuses a file cut short of the frames its header gives
    fmt = info["format"] if args.format == "same" else args.format
    if fmt not in FORMATS:
        raise RuntimeError(f"'{shown(rel)}' is neither 16/24-bit PCM nor float; choose --format")
    kind = args.type_for(dest)
    if _native.refusal(kind, fmt):
        raise RuntimeError(f"'{shown(rel)}': {_native.refusal(kind, fmt)}")
    total = zel.output_frames(info["frames"], info["rate"], args.rate)
    return {"path": path, "rel": shown(rel), "dest": dest, "output_name": shown(dest), "type": kind, "format": fmt,
            "rate": (args.rate.numerator, args.rate.denominator), "quality": args.quality,
            "preset": QUALITIES.index(args.quality), "bandwidth": args.bandwidth, "source_rate": info["rate"],
            "channels": info["channels"], "frames": info["frames"], "total": total, "tag": TEMP}


def wav_start(job):
    """The temporary file beside the destination that WAV segments are written into, holding the header for the
    whole output; None for other containers, whose segments are spooled and encoded at the end."""
    temp = _native.start_output(job)
    return None if temp is None else os.fsdecode(temp)


# Dask runs a task again when the worker holding its result dies before the result is used, even after the file
# was completed. The destination exists then (this run skipped every one that existed before it), and the task
# does nothing.

def convert_segment(job, token, k, first, count, temp):
    """One task: segment k of a file, at its offset in the temporary WAV, or else spooled beside the destination;
    returns (the spool or None, clipped samples)."""
    if os.path.exists(job["dest"]):
        return None, 0
    if temp is not None:
        return None, _native.convert_segment(job, first, count, temp)
    spool = f"{os.path.dirname(job['dest']) or '.'}/.{os.path.basename(job['dest'])}{TEMP}{token}.seg{k}"
    return spool, _native.convert_segment(job, first, count, spool)


def complete_file(job, temp, parts):
    """The last task of a file: the container encoded from the spools if it is not WAV, the output read back (a
    write a full disk cut short must not pass for a complete file, here or in a rerun), then the rename. The spools
    stay until the output is in place, for a rerun of this task. Returns its record."""
    clipped = sum(p[1] for p in parts)  # counted by each segment's resampler
    if not os.path.exists(job["dest"]):
        _native.complete_output(job, temp, [p[0] for p in parts if p[0] is not None])
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
    p.add_argument("-t", "--type", choices=sorted(_native.CONTAINERS),
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
    if a.workers < 1 or a.segment_seconds <= 0:
        p.error("--workers and --segment-seconds must be positive")
    if a.type and a.format != "same" and _native.refusal(a.type, a.format):
        p.error(_native.refusal(a.type, a.format))
    if a.scheduler:
        from distributed.comm import get_address_host_port
        try:
            get_address_host_port(a.scheduler)
        except ValueError as e:
            p.error(f"--scheduler {a.scheduler!r}: {e}")
    a.type_for = lambda dest: _native.container_for(a.type or "", dest) or "wav"  # an extension it does not know: WAV
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
            try:
                os.makedirs(os.path.dirname(job["dest"]), exist_ok=True)
                temp = wav_start(job)
            except OSError as e:
                record.update(status="failed", error=f"cannot write '{shown(job['dest'])}': {e.strerror}")
                continue
            except RuntimeError as e:
                record.update(status="failed", error=str(e))
                continue
            parts = [client.submit(convert_segment, job, token, k, first, count, temp, pure=False)
                     for k, (first, count) in enumerate(_native.segments(job["total"], -(-job["total"] // seg)))]
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
