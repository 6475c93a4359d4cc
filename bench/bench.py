"""Benchmarks brightwick-updater and brightwick-pack against the tools a
studio would use instead, on loopback, and writes bench/results.md. What
each scenario measures and why: bench/README.md. Started by bench/run.sh.

  bench/run.sh              the full run: installs the Debian packages it
                            needs, builds in build-bench/ (Release; the
                            signed updater in build-bench-signed/), makes
                            and publishes the data (kept in build-bench/ for
                            the next run), runs every scenario once to warm
                            up and 5 times measured, writes bench/results.md
  bench/run.sh --quick      the same scenarios on a few small files, one run
                            each: checks that the benchmark still works;
                            writes BUILD/bench-quick.md
Options:
  --build DIR     take the programs from DIR (configured here in Release if
                  it is not configured yet)
  --out FILE      write the results there instead
  --wait-quiet    before measuring, wait (up to 30 minutes) until the load
                  average is below 0.5
  --profile       instead of measuring: where the updater's time goes, with
                  callgrind, strace and a few experiments, into
                  BUILD/bench-profile/ (summary.md); about 6 minutes
  --before REV    also build brightwick-pack at git revision REV (in
                  BUILD-before/) and time it beside this one in scenario 10
  --only N[,N]    run only these scenarios (and make only their data);
                  writes BUILD/bench-only.md unless --out says otherwise

A benchmark measures and never judges: a figure that misses its goal is
reported, not failed. The run fails only when something did not work (a
server that does not start, an updater that left a file wrong).
"""

import sys

sys.dont_write_bytecode = True

import argparse  # noqa: E402
import os  # noqa: E402
import shutil  # noqa: E402
import signal  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import prepare  # noqa: E402
import profiling  # noqa: E402
import report  # noqa: E402
import scenarios  # noqa: E402
from measure import BenchError, Samples, run  # noqa: E402
from servers import Link, Nginx, Rsyncd  # noqa: E402

SEED = 20261207
# The player's line in scenarios 7 and 8: 50 Mbit/s.
LINK_RATE = 50_000_000 // 8


class Sizes:
    """The full run is what the README describes; --quick is the same shape
    in miniature."""

    def __init__(self, quick):
        self.cuts = 5  # scenario 8: cuts before the run that finishes
        self.deltas = 3  # publish --deltas: patches from the last 3 versions
        if quick:
            self.rounds, self.warmup = 1, 0
            self.game_files, self.game_bytes, self.patched, self.patched_bytes = 40, "4M", 5, "512K"
            self.small_files, self.small_size = 50, "1K"
            self.single_sizes = ["2M", "8M"]
            self.engine_mib = 4
            self.pak_bytes = "1M"
            self.link_rounds = 1
            self.line_files = 40
            self.resume_bytes, self.resume_trials = "2M", 1
            self.delta_bytes, self.delta_rounds = "8M", 1
            self.republish_files, self.republish_size = 20, "16K"
        else:
            self.rounds, self.warmup = 5, 1
            self.game_files, self.game_bytes = 2000, "1G"
            self.patched, self.patched_bytes = 100, "100M"
            self.small_files, self.small_size = 5000, "1K"
            self.single_sizes = ["256M", "1G"]
            self.engine_mib = 256
            self.pak_bytes = "64M"
            self.link_rounds = 3
            self.line_files = 500
            self.resume_bytes, self.resume_trials = "64M", 3
            # Just under 2 GiB, the largest file the publisher takes.
            self.delta_bytes, self.delta_rounds = "2000000000", 3
            # 250 MiB in 1,000 files, the release the publisher's own figures use.
            self.republish_files, self.republish_size = 1000, "256K"


class Bench:
    """What every scenario needs: paths, programs, servers, samples, and
    running the updater with the checks that make a figure trustworthy."""

    def __init__(self, args):
        self.repo = Path(__file__).resolve().parent.parent
        self.quick, self.profile, self.wait_quiet = args.quick, args.profile, args.wait_quiet
        self.before = args.before
        self.only = {int(n) for n in args.only.split(",")} if args.only else None
        self.pack_before = None
        self.build = self._absolute(args.build or "build-bench")
        self.out = self._absolute(args.out) if args.out else (
            self.build / "bench-quick.md" if self.quick else
            self.build / "bench-only.md" if self.only else self.repo / "bench/results.md")
        self.sizes = Sizes(self.quick)
        self.seed = SEED
        self.link_rate = LINK_RATE
        self.data = self.build / ("bench-quick-data" if self.quick else "bench-data")
        self.sites = self.data / "sites" if self.quick else self.build / "bench-sites"
        self.work = self.build / "bench-work"
        self.nginx = self.rsyncd = self.link = None
        self.notes = {}  # what a scenario found besides its samples, for the report

    def _absolute(self, path):
        path = Path(path)
        return path if path.is_absolute() else self.repo / path

    def runs(self, *scenarios):
        """Whether any of `scenarios` is to run."""
        return self.only is None or any(n in self.only for n in scenarios)

    def deltas_option(self):
        return ["--deltas", str(self.sizes.deltas)] if self.has_deltas else []

    @property
    def rounds_total(self):
        return self.sizes.warmup + self.sizes.rounds

    def label_of(self, round_number, label):
        """Warm-up runs are measured into a label of their own and not
        reported."""
        return f"warmup.{label}" if round_number <= self.sizes.warmup else label

    # -- folders --------------------------------------------------------

    def make_game(self, folder, *sources, link=False):
        """The game as it stands on a player's machine: a folder with the
        stand-in game (tdx.exe: `exit 0`), holding copies of, or hard links
        to, `sources`."""
        folder = Path(folder)
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for source in sources:
            if link:
                prepare.link_tree(source, folder)
            else:
                subprocess.run(["cp", "-a", f"{source}/.", f"{folder}/"], check=True)
        game = folder / "tdx.exe"
        game.write_text("#!/bin/sh\nexit 0\n")
        game.chmod(0o755)

    def restore_old(self, folder, old):
        """Between runs (not timed): the old versions back, the manifest
        gone."""
        (Path(folder) / "update.dat").unlink(missing_ok=True)
        subprocess.run(["cp", "-a", f"{old}/.", f"{folder}/"], check=True)

    def serve(self, folder):
        """The site nginx serves at the updater's path: one published folder
        at a time."""
        link = Path(f"{self.work}/www{self.url_path.rstrip('/')}")
        link.parent.mkdir(parents=True, exist_ok=True)
        fresh = link.with_name(link.name + ".new")
        fresh.unlink(missing_ok=True)
        fresh.symlink_to(folder)
        fresh.rename(link)

    # -- servers --------------------------------------------------------

    def start_servers(self, rsync_modules):
        prepare.say("Servers")
        www = self.work / "www"
        www.mkdir(parents=True, exist_ok=True)
        (www / "ready").write_text("ok\n")
        self.nginx = Nginx(shutil.which("nginx") or "/usr/sbin/nginx", self.work, www,
                           self.link_rate)
        self.nginx.start()
        self.rsyncd = Rsyncd(self.work, rsync_modules)
        self.rsyncd.start()
        self.link = Link(self.work, self.link_rate,
                         {"nginx": self.nginx.link_port, "rsync": self.rsyncd.port})
        self.link.start()
        print(f"nginx on 127.0.0.1:{self.nginx.port} (limit_rate on {self.nginx.limited_port}), "
              f"rsync daemon on 127.0.0.1:{self.rsyncd.port}, the 50 Mbit/s link on "
              f"{self.link.ports['nginx']} (to nginx) and {self.link.ports['rsync']} (to rsync)")

    def stop_servers(self):
        for server in (self.link, self.rsyncd, self.nginx):
            if server is not None:
                server.stop()

    # -- the updater ----------------------------------------------------

    def updater_env(self, port=None):
        """Headless, nginx (or the link) as its proxy for the built-in
        server; nothing else in the environment may divert or slow it."""
        env = {k: v for k, v in os.environ.items() if k not in (
            "DISPLAY", "WAYLAND_DISPLAY", "no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY",
            "https_proxy")}
        env["http_proxy"] = f"http://127.0.0.1:{port or self.nginx.port}"
        return env

    def updater_in(self, folder, updater=None, port=None, wrapper=(), env=None, memory=False):
        """One run of the real updater in `folder`, through `wrapper` if
        given; its stderr is kept for the checks."""
        with open(self.work / "updater.stderr", "ab") as errors:
            return run([*wrapper, updater or self.updater], cwd=folder,
                       env=env or self.updater_env(port), stderr=errors, memory=memory)

    def updater_run(self, label, folder, expect, sums=None, memory=False, updater=None,
                    port=None):
        """Measures one updater run and checks that it did what it should:
        `expect` responses from nginx (a number, or a range where small files
        may come as stretches of a bundle), nothing on stderr, no log, every
        file of `sums` right afterwards. Returns nginx's entries of the run."""
        self.nginx.mark()
        result = self.updater_in(folder, updater=updater, port=port, memory=memory)
        self.samples.add(label, result.seconds)
        if memory:
            self.samples.add(label + ".rss", result.rss_kib)
        allowed = expect if isinstance(expect, range) else range(expect, expect + 1)
        entries = self.nginx.entries(allowed.start)
        if len(entries) not in allowed:
            raise BenchError(f"{label}: the updater made {len(entries)} requests, not "
                             f"{allowed.start}" + (f" to {allowed.stop - 1}" if len(allowed) > 1
                                                   else ""))
        self.check_quiet(label, folder)
        if sums:
            self.check_sums(label, folder, sums)
        return entries

    def check_quiet(self, label, folder):
        stderr = (self.work / "updater.stderr").read_text(errors="replace")
        if stderr:
            raise BenchError(f"{label}: the updater complained: {stderr.strip()}")
        logs = sorted(Path(folder).glob("*.log"))
        if logs:
            raise BenchError(f"{label}: the updater logged a problem: "
                             + logs[0].read_text(errors="replace").strip())

    def check_sums(self, label, folder, sums):
        from measure import md5_of
        for name, digest in sums.items():
            path = Path(folder) / name
            if not path.is_file() or md5_of(path) != digest:
                raise BenchError(f"{label}: {folder} was not brought up to date ({name})")

    def timed(self, label, result):
        """Adds a finished Run's wall time to `label`."""
        self.samples.add(label, result.seconds)
        return result


def parse_arguments():
    parser = argparse.ArgumentParser(prog="bench/run.sh", add_help=False)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--build")
    parser.add_argument("--out")
    parser.add_argument("--wait-quiet", action="store_true")
    parser.add_argument("--profile", action="store_true")
    parser.add_argument("--before")
    parser.add_argument("--only")
    parser.add_argument("-h", "--help", action="store_true")
    args, unknown = parser.parse_known_args()
    if args.help:
        print(__doc__.strip())
        sys.exit(0)
    if unknown:
        print(f"bench/run.sh: unknown argument '{unknown[0]}' (try --help)", file=sys.stderr)
        sys.exit(2)
    return args


def wait_for_quiet():
    prepare.say("Waiting for a quiet machine (1-minute load below 0.5; up to 30 minutes)")
    for _ in range(180):
        if os.getloadavg()[0] < 0.5:
            return
        time.sleep(10)


def load_average():
    return " ".join(open("/proc/loadavg").read().split()[:3])


def main():
    os.environ["LC_ALL"] = "C"
    args = parse_arguments()
    start = time.monotonic()
    b = Bench(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        prepare.install_packages(b.profile)
        prepare.build_programs(b)
        prepare.build_before(b)
        prepare.make_data(b)
        shutil.rmtree(b.work, ignore_errors=True)
        b.work.mkdir(parents=True)
        b.samples = Samples(b.work / "samples")
        prepare.publish_sites(b)
        scenarios.prepare_games(b)
        if b.profile or b.runs(1, 2, 3, 4, 6, 7, 8, 9, 10):
            b.start_servers({"game": b.data / "game/release",
                             "patchgame": b.data / "patchgame/v2",
                             "line": b.data / "line/release"})
        if b.profile:
            profiling.profile(b)
            return 0
        b.load_before = load_average()
        if b.wait_quiet:
            wait_for_quiet()
            b.load_before = load_average()
        print(f"load average before measuring: {b.load_before}")
        measure_start = time.monotonic()
        scenarios.run_all(b)
        b.measure_seconds = time.monotonic() - measure_start
        b.load_after = load_average()
        prepare.say("Results")
        report.write(b)
        scenarios.clean_up(b)
        print(f"Results written to {b.out}")
        if b.only is None:
            print(report.goals_excerpt(b.out))
        print(f"bench/run.sh took {time.monotonic() - start:.0f} s")
        return 0
    except BenchError as error:
        print(f"bench/run.sh: {error}", file=sys.stderr)
        return 1
    except subprocess.CalledProcessError as error:
        command = " ".join(str(part) for part in error.cmd)
        print(f"bench/run.sh: {command} failed (exit code {error.returncode})", file=sys.stderr)
        if error.stderr:
            print(error.stderr.strip(), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    finally:
        b.stop_servers()


if __name__ == "__main__":
    sys.exit(main())
