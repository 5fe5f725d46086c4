"""python3 -m zel.batch SOURCE DEST --rate R: converts every audio file under the directory SOURCE (or listed, one
path a line, in the manifest file SOURCE) to the same relative path under DEST: on threads of this process by
default, or on a running Dask cluster with --scheduler ADDRESS.

Small files go to the workers in groups, whole; a file whose output is longer than --segment-seconds is converted
in segments, as separate tasks that each read only the input they need, and joined in order: output frame t is
computed at its exact position whatever segment it falls in, so the result is the same, byte for byte, as the
resample tool's for the whole file. An output's name keeps its input's extension where that names a container the
tool writes, else takes that of what it holds (.wav). Every output is written under a temporary name beside its
destination and renamed only when whole; DEST's manifest (.zel-batch-manifest) records the options each output was
made with, so a rerun converts exactly the files not yet complete, and refuses outputs made with other options
unless --force. A task lost with its worker is run again elsewhere. Exit status: 0 when every file converted, 1 when
some failed (each reported with its reason), 2 for a usage error.
"""
import argparse
import concurrent.futures
import errno
import fcntl
import json
import math
import os
import re
import signal
import stat
import sys
import threading
import time
import uuid
from fractions import Fraction


def _process_start():
    """When this process started, on time.monotonic()'s clock: the wall time reported counts the interpreter's
    start and every import."""
    try:
        with open("/proc/self/stat") as f:
            ticks = int(f.read().rsplit(")", 1)[1].split()[19])
        with open("/proc/uptime") as f:
            uptime = float(f.read().split()[0])
        return time.monotonic() - max(0.0, uptime - ticks / os.sysconf("SC_CLK_TCK"))
    except (OSError, ValueError, IndexError):
        return time.monotonic()


START = _process_start()

import zel  # noqa: E402 (after the clock starts)
from zel import _files  # noqa: E402

QUALITIES = zel.QUALITIES
# The resample tool's --format names; "same" is each input's own.
FORMATS = ("float", "double", "pcm16", "pcm24", "pcm32")
TEMP = ".zel-batch-"
MANIFEST = ".zel-batch-manifest"


class UsageError(Exception):
    pass


def shown(path):
    """A file name as it can be printed on one line: bytes that are not UTF-8 as \\xNN, control characters (a
    newline) as escapes."""
    text = os.fsencode(path).decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() or c == " " else repr(c)[1:-1] for c in text)


def identity(path):
    """[inode, mtime in ns, mode, owner, group] of the file at path, or None: what a task compares to tell a
    finished output from the one it replaces, and what a replaced output keeps."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return None
    return [st.st_ino, st.st_mtime_ns, st.st_mode & 0o7777, st.st_uid, st.st_gid]


# ---- the work of one file, in tasks; the files are written by the resample tool's own code in zel._files ----

def readable(path, rel):
    """Raises RuntimeError naming what stops `path` from being opened: a dangling link, a loop, its permissions, or
    its not being a regular file (a FIFO would block the open for ever)."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            raise RuntimeError(f"'{shown(rel)}' is not a regular file")
        open(path, "rb").close()
    except OSError as e:
        what = ("is a symlink loop" if e.errno == errno.ELOOP else "is a dangling link" if os.path.islink(path)
                else f"cannot be read: {e.strerror}")
        raise RuntimeError(f"'{shown(rel)}' {what}") from None


def plan(path, rel, dest, args):
    """What converting one file involves, read from its header on the client; raises OSError or RuntimeError."""
    readable(path, rel)
    kind = args.type_for(dest)
    info = _files.open_input(path, shown(rel), kind)  # refuses a file cut short of the frames its header gives
    fmt = info["format"] if args.format == "same" else args.format
    if _files.refusal(kind, fmt):
        raise RuntimeError(f"'{shown(rel)}': {_files.refusal(kind, fmt)}")
    total = zel.output_frames(info["frames"], info["rate"], args.rate)
    return {"path": path, "rel": shown(rel), "dest": dest, "output_name": shown(dest), "type": kind, "format": fmt,
            "rate": (args.rate.numerator, args.rate.denominator), "quality": args.quality,
            "preset": QUALITIES.index(args.quality), "bandwidth": args.bandwidth, "source_rate": info["rate"],
            "channels": info["channels"], "frames": info["frames"], "total": total, "tag": TEMP,
            "replaces": identity(dest)}


def wav_start(job):
    """The temporary file beside the destination that WAV segments are written into, holding the header for the
    whole output; None for other containers, whose segments are spooled and encoded at the end."""
    temp = _files.start_output(job)
    return None if temp is None else os.fsdecode(temp)


def done(job):
    """Whether the destination is this run's output: there, and not the file it replaces (with --force)."""
    now = identity(job["dest"])
    return now is not None and (job["replaces"] is None or now[:2] != job["replaces"][:2])


# Dask runs a task again when the worker holding its result dies before the result is used, even after the file
# was completed: the task then finds the output done and does nothing.

def convert_segment(job, token, k, first, count, temp):
    """One task: segment k of a file, at its offset in the temporary WAV, or else spooled beside the destination;
    returns (the spool or None, clipped samples)."""
    if done(job):
        return None, 0
    if temp is not None:
        return None, _files.convert_segment(job, first, count, temp)
    spool = f"{os.path.dirname(job['dest']) or '.'}/.{os.path.basename(job['dest'])}{TEMP}{token}.seg{k}"
    return spool, _files.convert_segment(job, first, count, spool)


def complete_file(job, temp, parts):
    """The last task of a file: the container encoded from the spools if it is not WAV, the output read back (a
    write a full disk cut short must not pass for a complete file, here or in a rerun), then the rename. The spools
    stay until the output is in place, for a rerun of this task. Returns the samples clipped."""
    clipped = sum(p[1] for p in parts)  # counted by each segment's resampler
    if not done(job):
        _files.complete_output(job, temp, [p[0] for p in parts if p[0] is not None])
        if job["replaces"] is not None:  # a replaced output keeps its owner (where allowed) and permissions
            try:
                os.chown(job["dest"], *job["replaces"][3:5])
            except (OSError, TypeError):
                pass
            os.chmod(job["dest"], job["replaces"][2])
    return clipped


def convert_files(jobs, token):
    """One task: small files converted whole, one after another, each failing alone; returns for each its clipped
    samples or its error."""
    results = []
    for job in jobs:
        try:
            temp = None if done(job) else wav_start(job)
            results.append(complete_file(job, temp, [convert_segment(job, token, 0, 0, job["total"], temp)]))
        except Exception as e:  # reported as the file's, in one line
            results.append(e)
    return results


def failure(job, e):
    if isinstance(e, OSError) and e.strerror:
        return f"cannot write '{shown(job['dest'])}': {e.strerror}"
    return str(e).splitlines()[0] if str(e) else type(e).__name__


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
                   help="sample format of the outputs (same: as the tool gives it, each input's own, else float, or "
                   "pcm24 in FLAC)")
    p.add_argument("-t", "--type", choices=sorted(_files.CONTAINERS),
                   help="container of the outputs, whose extension they then take (default: as each input's "
                   "extension names, else wav)")
    p.add_argument("--force", action="store_true",
                   help="convert again the outputs in DEST made with other options (or not by zel.batch)")
    p.add_argument("--workers", type=int, default=os.cpu_count(), help="local worker threads (default: cores)")
    p.add_argument("--scheduler", help="the address of a running Dask scheduler (tcp://host:8786) to submit to")
    p.add_argument("--segment-seconds", type=float, default=300,
                   help="outputs longer than this are converted in segments of this length (default 300)")
    p.add_argument("--report", help="write a JSON report of every file to this path")
    p.add_argument("--timeout", type=float, default=20,
                   help="seconds to wait for the scheduler and a worker (default 20)")
    a = p.parse_args(argv)
    try:
        # Digits, or digits / digits, as the tool takes them: a decimal such as 29.97 is refused, not rounded.
        if not re.fullmatch(r"[0-9]+(/[0-9]+)?", a.rate):
            raise ValueError("give a whole number of hertz or an exact fraction N/D")
        a.rate = Fraction(a.rate)
        zel.output_frames(0, 1, a.rate)  # refuses what the library would
    except (ValueError, ZeroDivisionError) as e:
        p.error(f"--rate {a.rate!r}: {e}")
    try:
        zel.Resampler(1, 1, quality=a.quality, bandwidth=a.bandwidth)  # a bandwidth out of range, or with linear
    except ValueError as e:
        p.error(f"--bandwidth: {e}")
    if a.workers < 1:
        p.error(f"--workers must be 1 or more, not {a.workers}")
    if not math.isfinite(a.segment_seconds) or a.segment_seconds < 0.1:
        p.error(f"--segment-seconds must be a number of seconds from 0.1, not {a.segment_seconds}")
    if not math.isfinite(a.timeout) or a.timeout <= 0:
        p.error(f"--timeout must be a positive number of seconds, not {a.timeout}")
    if a.type and a.format != "same" and _files.refusal(a.type, a.format):
        p.error(_files.refusal(a.type, a.format))
    if a.scheduler:
        from distributed.comm import get_address_host_port
        try:
            get_address_host_port(a.scheduler)
        except ValueError as e:
            p.error(f"--scheduler {a.scheduler!r}: {e}")
    a.type_for = lambda dest: _files.container_for(a.type or "", dest) or "wav"
    return a


def sources(a):
    """(absolute path, relative path) of every file to convert."""
    if not os.path.exists(a.source):
        raise UsageError(f"SOURCE '{shown(a.source)}' does not exist")
    if os.path.isfile(a.source):
        root = os.path.dirname(os.path.abspath(a.source))
        with open(a.source, "rb") as f:
            data = f.read()
        if b"\0" in data:
            raise UsageError(f"SOURCE '{shown(a.source)}' is a file but not a list of paths (an audio file? give its "
                             f"directory)")
        # Names as bytes, so that any name works; only the line ending is taken off (names may hold spaces).
        listed = [os.fsdecode(line.rstrip(b"\r")) for line in data.split(b"\n") if line.strip()]
        found = []
        for line in listed:
            path = os.path.normpath(os.path.join(root, line))
            if os.path.relpath(path, root).split(os.sep)[0] == "..":
                raise UsageError(f"'{shown(line)}' in the manifest is not under its directory '{shown(root)}'")
            found.append((path, os.path.relpath(path, root)))
        return root, found
    root = os.path.abspath(a.source)
    # Raw samples are not audio files to find: nothing says their rate or format.
    known = (_files.EXTENSIONS | set(_files.CONTAINERS) | {"ogg", "opus", "mp3"}) - {"raw", "pcm"}
    found = []
    for d, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(files):
            if not name.startswith(".") and os.path.splitext(name)[1][1:].lower() in known:
                path = os.path.join(d, name)
                found.append((path, os.path.relpath(path, root)))
    return root, found


def destinations(a, root, found):
    """(path, relative path, destination, the destination relative to DEST) of every file."""
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
        # An output is named for what it holds: a container the extension does not name is written as WAV.
        stem, ext = os.path.splitext(rel)
        dest_rel = stem + "." + a.type if a.type else rel if _files.container_for("", rel) else stem + ".wav"
        if dest_rel in seen:
            raise UsageError(f"'{shown(seen[dest_rel])}' and '{shown(rel)}' would both be written to "
                             f"'{shown(dest_rel)}'")
        seen[dest_rel] = rel
        out.append((path, rel, os.path.join(dest_root, dest_rel), dest_rel))
    # No output may land on an input, nor anywhere in a directory SOURCE: DEST holding SOURCE, or a link in DEST
    # into SOURCE, would put it there.
    inputs = {_file_key(path): rel for path, rel in found}
    inputs.pop(None, None)
    for _, rel, dest, dest_rel in out:
        real = _resolved(dest)
        if _file_key(real) in inputs:
            raise UsageError(f"'{shown(dest_rel)}' in DEST is the input '{shown(inputs[_file_key(real)])}'; choose "
                             f"a DEST apart from SOURCE")
        if os.path.isdir(a.source) and real.startswith(real_root.rstrip(os.sep) + os.sep):
            raise UsageError(f"'{shown(dest_rel)}' in DEST lies inside SOURCE '{shown(a.source)}'; choose a DEST "
                             f"apart from it")
    return out


def _resolved(path):
    """path with the links of its directories resolved; the file itself, even a link, stays as named (an output
    replaces a link rather than writing through it)."""
    return os.path.join(os.path.realpath(os.path.dirname(os.path.abspath(path))), os.path.basename(path))


def _file_key(path):
    """(device, inode) of the file at path, following links; None when there is none."""
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


# ---- DEST's manifest: the options of each output ----
#
# One JSON line for each output a run is about to write: its options, and the file it replaces, if any. It is
# written before any conversion starts, so an output is accounted for however the run ends (Ctrl-C, a client lost
# while its cluster completes files): an output is as the latest line about it says unless it is still the very
# file that line's run was to replace (that run did not complete it), in which case the line before decides.

def options(a, rel, path):
    """What an output is made from: its input (as its size and modification time) and the options."""
    try:
        st = os.stat(path)
        source = [st.st_size, st.st_mtime_ns]
    except OSError:
        source = None
    return {"source": os.fsdecode(rel), "input": source, "rate": str(a.rate), "quality": a.quality,
            "bandwidth": a.bandwidth, "format": a.format, "type": a.type}


def _spelled(key, value, quality):
    """An option as it acts: no --bandwidth is the filtered presets' own 0.90."""
    return 0.9 if key == "bandwidth" and value is None and quality != "linear" else value


def _differing(made, wanted):
    """The options in which `made` and `wanted` differ (lines from before inputs were recorded match any input)."""
    return [k for k, v in wanted.items() if (k != "input" or "input" in made) and
            _spelled(k, made.get(k), wanted["quality"]) != _spelled(k, v, wanted["quality"])]


def same(made, wanted):
    """Whether an output made with `made` is the one `wanted`."""
    return made is not None and not _differing(made, wanted)


def recorded(dest_root):
    """Every output's lines in the manifest, oldest first; an unreadable line (a torn last write) is skipped."""
    lines = {}
    try:
        with open(os.path.join(dest_root, MANIFEST), "rb") as f:
            for line in f:
                try:
                    entry = json.loads(line)
                    lines.setdefault(entry["output"], []).append(entry)
                except (ValueError, KeyError, TypeError):
                    pass
    except FileNotFoundError:
        pass
    except OSError as e:
        raise UsageError(f"DEST's manifest '{shown(os.path.join(dest_root, MANIFEST))}' cannot be read: "
                         f"{e.strerror}") from None
    return lines


def made_with(entries, now):
    """The options of the output whose identity is `now`, or None when no line accounts for it."""
    for entry in reversed(entries):
        replaces = entry.get("replaces")
        if not isinstance(replaces, list) or replaces[:2] != now[:2]:
            return entry.get("options") if isinstance(entry.get("options"), dict) else None
    return None


def differs(rel, made, wanted):
    if made is None:
        return f"'{shown(rel)}' was not made by zel.batch, or before DEST had a manifest"
    if made["source"] != wanted["source"]:
        return f"'{shown(rel)}' was made from '{shown(made['source'])}'"
    key = _differing(made, wanted)[0]
    if key == "input":
        return f"'{shown(rel)}' was made from an earlier '{shown(made['source'])}'"
    return f"'{shown(rel)}' was made with --{key} {made.get(key)}, not {wanted[key]}"


def record(dest_root, entries):
    """Appends lines to the manifest, in one write."""
    os.makedirs(dest_root, exist_ok=True)
    with open(os.path.join(dest_root, MANIFEST), "a") as f:
        f.write("".join(json.dumps(e) + "\n" for e in entries))


def compact(dest_root):
    """Rewrites the manifest with one line for each output there, atomically: a run's lines would otherwise pile
    up."""
    lines, kept = recorded(dest_root), []
    for rel, entries in lines.items():
        now = identity(os.path.join(dest_root, rel))
        made = None if now is None else made_with(entries, now)
        if made is not None:
            kept.append({"output": rel, "options": made, "replaces": None})
    if not kept:  # a run that made nothing leaves nothing
        os.remove(os.path.join(dest_root, MANIFEST))
        return
    temp = os.path.join(dest_root, f".{MANIFEST}.{uuid.uuid4().hex[:8]}")
    try:
        with open(temp, "w") as f:
            f.write("".join(json.dumps(e) + "\n" for e in kept))
        os.replace(temp, os.path.join(dest_root, MANIFEST))
    except OSError:
        if os.path.exists(temp):
            os.remove(temp)
        raise


def remove_stale(dests):
    """Removes what failed or lost attempts at these outputs left beside them: one listing of each directory."""
    by_dir = {}
    for dest in dests:
        by_dir.setdefault(os.path.dirname(dest), set()).add(os.path.basename(dest))
    for d, names in by_dir.items():
        try:
            entries = list(os.scandir(d))
        except OSError:
            continue
        for e in entries:
            at = e.name.find(TEMP, 1)
            if e.name.startswith(".") and at > 0 and e.name[1:at] in names:
                try:
                    os.remove(e.path)
                except OSError:
                    pass


class Progress:
    def __init__(self, files, hours):
        self.files, self.hours = files, hours
        self.done_files, self.done_hours = 0, 0.0
        self.tty = sys.stderr.isatty()

    def update(self, hours):
        self.done_files += 1
        self.done_hours += hours
        if self.tty:
            width = 30
            filled = int(width * self.done_files / max(self.files, 1))
            speed = self.done_hours * 3600 / max(time.monotonic() - START, 1e-9)
            print(f"\rzel.batch [{'#' * filled}{'.' * (width - filled)}] {self.done_files}/{self.files} files, "
                  f"{self.done_hours:.2f}/{self.hours:.2f} h, {speed:.0f}x real time ", end="", file=sys.stderr,
                  flush=True)

    def summary(self, records):
        wall = time.monotonic() - START  # from the command's start: the interpreter, imports and cluster too
        if self.tty:
            print(file=sys.stderr)
        count = lambda status: sum(r["status"] == status for r in records)
        rate = self.done_hours / (wall / 3600) if wall > 0 else 0
        print(f"zel.batch: {len(records)} files: {count('converted')} converted, {count('complete')} already "
              f"complete, {count('failed')} failed; {self.done_hours:.3f} hours of audio in {wall:.1f} s, "
              f"{rate:.0f} audio hours per wall hour", file=sys.stderr)


class Threads:
    """Tasks on threads of this process, which the conversions leave free of the interpreter lock: a local run
    starts no cluster and sends nothing between processes."""

    def __init__(self, workers):
        self.pool, self.workers = concurrent.futures.ThreadPoolExecutor(workers), workers
        self.as_completed, self.wait = concurrent.futures.as_completed, concurrent.futures.wait

    def submit(self, fn, *args):
        return self.pool.submit(fn, *args)

    def after(self, fn, job, temp, parts):
        # Queued behind its segments, so every one of them is running or done when this waits for them.
        return self.pool.submit(lambda: fn(job, temp, [p.result() for p in parts]))

    def close(self):
        self.pool.shutdown(cancel_futures=True)


class Cluster:
    """Tasks on a running Dask cluster, once every worker has shown that it can import zel.batch."""

    def __init__(self, a):
        from distributed import Client, as_completed, wait
        self.as_completed, self.wait = as_completed, wait
        try:
            self.client = Client(a.scheduler, timeout=f"{a.timeout}s")
        except (OSError, TimeoutError) as e:
            raise UsageError(f"no Dask scheduler answers at {a.scheduler} within {a.timeout:g} s ({e})") from None
        try:
            self.client.wait_for_workers(1, timeout=a.timeout)
        except TimeoutError:
            self.close()
            raise UsageError(f"the Dask scheduler at {a.scheduler} has no worker after {a.timeout:g} s") from None
        missing = []
        for address, worker in self.client.scheduler_info()["workers"].items():
            try:  # eval, a builtin, reaches a worker that cannot unpickle anything of zel's
                self.client.run(eval, "__import__('zel.batch') and None", workers=[address])
            except Exception as e:
                missing.append(f"the Dask worker {worker.get('name', address)} at {address} cannot import zel.batch "
                               f"({type(e).__name__}: {e}); install python3-zel-batch there")
        if missing:
            self.close()
            raise UsageError("\nzel.batch: ".join(missing))
        self.workers = sum(self.client.nthreads().values())

    def submit(self, fn, *args):
        return self.client.submit(fn, *args, pure=False)

    def after(self, fn, job, temp, parts):
        return self.client.submit(fn, job, temp, parts, pure=False)

    def close(self):
        self.client.close()


_held = []  # the lock of the run in progress, released when main() returns


def _lock(dest_root):
    """An exclusive lock on DEST for this run, once taken kept: a second run into the same DEST would remove the
    first's temporary files. Raises UsageError when another run holds it."""
    if _held:
        return
    fd = os.open(dest_root, os.O_RDONLY | os.O_CLOEXEC)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        raise UsageError(f"DEST '{shown(dest_root)}' is in use by another zel.batch run; run again when it ends")
    _held.append(fd)


def report_check(report, found, work):
    """Refuses a --report path that is an input or an output, or whose directory cannot take it."""
    real, key = _resolved(report), _file_key(report)
    taken = {_file_key(path) for path, _ in found} | {_file_key(dest) for _, _, dest, _ in work}
    if real in {_resolved(dest) for _, _, dest, _ in work} or (key is not None and key in taken):
        raise UsageError(f"--report '{shown(report)}' is an input or an output; choose another path")
    directory = os.path.dirname(real)
    if not os.path.isdir(directory) or not os.access(directory, os.W_OK | os.X_OK):
        raise UsageError(f"--report '{shown(report)}': its directory does not exist or cannot be written")


def run(a):
    root, found = sources(a)
    if not found:
        raise UsageError(f"no audio files under SOURCE '{shown(a.source)}'")
    work = destinations(a, root, found)
    dest_root = os.path.abspath(a.dest)
    if a.report:
        report_check(a.report, found, work)
    lines = recorded(dest_root)
    records, jobs, conflicts = [], [], []
    for path, rel, dest, dest_rel in work:
        record_ = {"path": shown(rel), "output": shown(dest), "status": "converted", "frames": 0, "seconds": 0.0}
        records.append(record_)
        now = identity(dest)
        if now is not None:
            wanted = options(a, rel, path)
            made = made_with(lines.get(os.fsdecode(dest_rel), []), now)
            if same(made, wanted):
                record_["status"] = "complete"
                continue
            conflicts.append(differs(dest_rel, made, wanted))
        jobs.append((record_, path, rel, dest, dest_rel))
    if conflicts and not a.force:
        raise UsageError(f"{len(conflicts)} output{'s' * (len(conflicts) > 1)} in DEST made otherwise ("
                         f"{conflicts[0]}); --force converts {'them' if len(conflicts) > 1 else 'it'} again")
    if os.path.isdir(dest_root):  # before another run's files could go
        _lock(dest_root)
    remove_stale(dest for _, _, _, dest, _ in jobs)
    planned = []
    for record_, path, rel, dest, dest_rel in jobs:
        try:
            job = plan(path, rel, dest, a)
        except (OSError, RuntimeError, ValueError) as e:
            record_.update(status="failed", error=str(e).splitlines()[0])
            continue
        record_.update(frames=job["total"], seconds=job["total"] / float(a.rate))
        planned.append((record_, job, {"output": os.fsdecode(dest_rel), "options": options(a, rel, path),
                                       "replaces": job["replaces"]}))

    progress = Progress(len(planned), sum(r["seconds"] for r, _, _ in planned) / 3600)
    if planned:
        runner = Cluster(a) if a.scheduler else Threads(a.workers)  # a cluster that fails has DEST untouched
        try:
            os.makedirs(dest_root, exist_ok=True)
            _lock(dest_root)
            record(dest_root, [line for _, _, line in planned])
            convert(runner, [(r, job) for r, job, _ in planned], a, progress)
        except KeyboardInterrupt as e:
            # The tasks running finish (a file or a segment), the rest are cancelled, and what they left beside
            # their outputs goes: an output is in place whole, or as it was.
            runner.close()
            remove_stale(job["dest"] for _, job, _ in planned)
            signum = e.args[0] if e.args and isinstance(e.args[0], int) else signal.SIGINT
            print(f"zel.batch: interrupted by {signal.Signals(signum).name}: the outputs completed are in place, "
                  f"the others as they were", file=sys.stderr)
            return 128 + signum
        finally:
            runner.close()
        try:
            compact(dest_root)
        except OSError as e:  # a full disk: the lines appended stand, and say the same
            print(f"zel.batch: DEST's manifest was not compacted: {e.strerror}", file=sys.stderr)
    progress.summary(records)
    for r in records:
        if r["status"] == "failed":
            print(f"zel.batch: {r['path']}: {r['error']}", file=sys.stderr)
    if a.report:
        try:
            with open(a.report, "w") as f:
                json.dump({"files": records}, f, indent=1)
        except OSError as e:  # a full disk: the outputs stand, the report does not
            print(f"zel.batch: cannot write the report '{shown(a.report)}': {e.strerror}", file=sys.stderr)
            return 1
    return 1 if any(r["status"] == "failed" for r in records) else 0


def convert(runner, jobs, a, progress):
    """Converts the planned files, updating their records: small ones whole, in groups, and long ones in
    segments."""
    token = uuid.uuid4().hex[:12]
    seg = max(1, int(a.segment_seconds * float(a.rate)))
    unwritable = {}
    for d in {os.path.dirname(job["dest"]) for _, job in jobs}:
        try:
            os.makedirs(d, exist_ok=True)
        except OSError as e:
            unwritable[d] = e
    for r, job in jobs:
        if os.path.dirname(job["dest"]) in unwritable:
            r.update(status="failed", error=failure(job, unwritable[os.path.dirname(job["dest"])]))
    jobs = [(r, job) for r, job in jobs if r["status"] != "failed"]
    pending = {}
    small = [(r, job) for r, job in jobs if job["total"] <= seg]
    # A group holds about a quarter of a worker's share of the small files' audio, at most a segment's, so
    # that a task's overhead is spread over many files yet every worker keeps busy to the end.
    share = sum(job["total"] for _, job in small) // (4 * runner.workers)
    group, frames = [], 0
    for k, (r, job) in enumerate(small):
        group.append((r, job))
        frames += job["total"]
        if frames >= min(seg, share) or k == len(small) - 1:
            pending[runner.submit(convert_files, [job for _, job in group], token)] = (group, [])
            group, frames = [], 0
    for r, job in jobs:
        if job["total"] <= seg:
            continue
        try:
            temp = wav_start(job)
        except (OSError, RuntimeError) as e:
            r.update(status="failed", error=failure(job, e))
            continue
        parts = [runner.submit(convert_segment, job, token, k, first, count, temp)
                 for k, (first, count) in enumerate(_files.segments(job["total"], -(-job["total"] // seg)))]
        pending[runner.after(complete_file, job, temp, parts)] = ([(r, job)], parts)
    for future in runner.as_completed(list(pending)):
        group, parts = pending[future]
        try:
            results = future.result()
            results = results if isinstance(results, list) else [results]
        except Exception as e:  # the task's own exception, raised again here, for each of its files
            results = [e] * len(group)
            runner.wait(parts)  # the file's other segments, which may still be writing
        for (r, job), result in zip(group, results):
            if isinstance(result, Exception):
                r.update(status="failed", error=failure(job, result))
            else:
                r["clipped"] = result
            progress.update(0 if r["status"] == "failed" else r["seconds"] / 3600)
    remove_stale(job["dest"] for _, job in jobs)


def _interrupt(signum, frame):
    raise KeyboardInterrupt(signum)


def main(argv=None):
    a = parse(sys.argv[1:] if argv is None else argv)
    # SIGTERM and SIGHUP end a run as Ctrl-C does, cleaning up (where the main thread is, not in a task).
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGTERM, signal.SIGHUP):
            if signal.getsignal(signum) is signal.SIG_DFL:
                signal.signal(signum, _interrupt)
    try:
        return run(a)
    except UsageError as e:
        print(f"zel.batch: {e}", file=sys.stderr)
        return 2
    finally:
        while _held:
            os.close(_held.pop())


if __name__ == "__main__":
    from zel import batch  # the tasks must travel to the workers by this name, not as __main__'s

    sys.exit(batch.main())
