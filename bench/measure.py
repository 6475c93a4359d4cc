"""Measuring: running a command for its wall time and peak memory, keeping
the samples, and the statistics the results show."""

import hashlib
import os
import subprocess
import tempfile
import time
from pathlib import Path


class BenchError(Exception):
    """A run that went wrong: the benchmark stops, since a figure of a
    broken run would lie."""


class Run:
    def __init__(self, seconds, usage, code, rss_kib=None):
        self.seconds, self.code = seconds, code
        self.rss_kib = rss_kib
        self.user, self.system = usage.ru_utime, usage.ru_stime


# Peak memory comes from GNU time, which forks the program from a small
# process. A child forked from this one would count this interpreter's own
# resident memory too (Linux keeps the largest resident set a process had,
# before its exec included), hiding anything smaller than about 26 MiB.
MEMORY_PROBE = "/usr/bin/time"


def run(command, cwd=None, env=None, stdout=subprocess.DEVNULL, stderr=None, check=True,
        memory=False):
    """Runs `command` and returns its wall time, its CPU time and, with
    `memory`, its peak resident memory in KiB."""
    command = [str(part) for part in command]
    probe = None
    if memory:
        probe = tempfile.NamedTemporaryFile(prefix="bench-rss-")
        command = [MEMORY_PROBE, "-f", "%M", "-o", probe.name, *command]
    start = time.perf_counter()
    process = subprocess.Popen(command, cwd=cwd, env=env, stdout=stdout, stderr=stderr)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if check and process.returncode != 0:
        raise BenchError(f"{Path(command[0]).name} failed (exit code {process.returncode}): "
                         + " ".join(command))
    rss = None
    if probe is not None:
        with probe:
            rss = int(Path(probe.name).read_text().split()[-1])
    return Run(seconds, usage, process.returncode, rss)


def shell(script, cwd=None, check=True):
    """A shell pipeline (the baselines a studio would type), timed."""
    return run(["/bin/sh", "-c", script], cwd=cwd, check=check)


def stats(values):
    """Median, minimum and maximum."""
    ordered = sorted(values)
    n = len(ordered)
    if n == 0:
        raise BenchError("no samples")
    middle = ordered[n // 2] if n % 2 else (ordered[n // 2 - 1] + ordered[n // 2]) / 2
    return middle, ordered[0], ordered[-1]


def show(values, scale=1.0, form="%.3f", unit=" s"):
    """"0.812 s (0.803–0.830)"."""
    m, lo, hi = (v * scale for v in stats(values))
    return f"{form % m}{unit} ({form % lo}–{form % hi})"


class Samples:
    """Figures by label, in the order measured. Warm-up runs are measured
    into labels of their own ("warmup.LABEL") and never reported. Each is
    also appended to a file of its name, kept for a look."""

    def __init__(self, folder):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.values = {}

    def add(self, label, value):
        self.values.setdefault(label, []).append(value)
        with open(self.folder / label, "a") as out:
            out.write(f"{value:.6f}\n" if isinstance(value, float) else f"{value}\n")

    def __getitem__(self, label):
        if label not in self.values:
            raise BenchError(f"no samples of {label}")
        return self.values[label]

    def __contains__(self, label):
        return label in self.values

    def ratios(self, numerator, denominator):
        """Run by run: the n-th run of one against the n-th of the other."""
        a, b = self[numerator], self[denominator]
        if len(a) != len(b):
            raise BenchError(f"{numerator} and {denominator} have different numbers of runs")
        return [x / y for x, y in zip(a, b)]


def md5_of(path):
    digest = hashlib.md5()
    with open(path, "rb") as data:
        for chunk in iter(lambda: data.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def sums_of(folder, names):
    """The MD5 of each named file below `folder`: what an updated folder
    must hold afterwards."""
    return {name: md5_of(Path(folder) / name) for name in names}


def files_below(folder):
    """Relative names of the regular files below `folder`, sorted."""
    root = Path(folder)
    return sorted(str(path.relative_to(root)) for path in root.rglob("*") if path.is_file()
                  and not path.is_symlink())
