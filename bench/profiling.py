"""bench/run.sh --profile: where the updater's time goes, into
BUILD/bench-profile/summary.md. callgrind counts the instructions of every
thread; strace the time in each system call, summed over the threads (wall
time: how long the calls took; CPU: what the kernel spent on them); and a
few experiments, each changing one thing, alternate with the plain run."""

import shutil
import subprocess
import time
from pathlib import Path

from measure import Samples, run, stats
from prepare import publish, say


def profile(b):
    prof = b.build / "bench-profile"
    shutil.rmtree(prof, ignore_errors=True)
    prof.mkdir(parents=True)
    say(f"Profiles into {prof}")
    samples = Samples(b.work / "samples-profile")
    w = b.work
    game_old, old = w / "game-old", b.data / "game/old"
    small_game, small_old = w / "small-game", b.data / "small/old"
    what_if_library = b.build / "bench/libwhat_if.so"

    def callgrind(name, folder):
        out = prof / f"{name}.callgrind"
        b.updater_in(folder, wrapper=["valgrind", "--tool=callgrind",
                                      f"--callgrind-out-file={out}"])
        for suffix, extra in (("inclusive", ["--inclusive=yes"]), ("self", [])):
            with open(prof / f"{name}.{suffix}.txt", "w") as text:
                subprocess.run(["callgrind_annotate", *extra, out], stdout=text, check=True)

    def syscalls(name, folder, restore=None):
        b.updater_in(folder, wrapper=["strace", "-f", "-c", "-w", "-o",
                                      prof / f"{name}.strace-wall.txt"])
        if restore:
            restore()
        b.updater_in(folder, wrapper=["strace", "-f", "-c", "-o", prof / f"{name}.strace-cpu.txt"])

    def cpu(name, folder):
        result = b.updater_in(folder)
        (prof / f"{name}.cpu.txt").write_text(
            f"{result.seconds:.2f} s wall, {result.user:.2f} s user, {result.system:.2f} s system")

    def alternate(restore, *variants):
        """The variants of an experiment in turn, one round unmeasured and
        then five measured, restoring the folder before each run, so that
        noise hits every variant alike."""
        for round_number in range(6):
            for name, variant in variants:
                if restore:
                    restore()
                start = time.perf_counter()
                variant()
                if round_number:
                    samples.add(name, time.perf_counter() - start)

    def what_if(variable, folder):
        env = b.updater_env()
        env.update(LD_PRELOAD=str(what_if_library), **{variable: "1"})
        return lambda: b.updater_in(folder, env=env)

    def curl(config, new_connections=False):
        extra = ["-H", "Connection: close"] if new_connections else []
        return lambda: run(["curl", "-sS", "--fail", "--create-dirs", *extra, "-K", config])

    def restore_game():
        b.restore_old(game_old, old)

    def restore_small():
        b.restore_old(small_game, small_old)

    def updater(folder):
        return lambda: b.updater_in(folder)

    say("Profile 0: nothing to do (an empty update.dat)")
    (w / "empty-release").mkdir(exist_ok=True)
    publish(b, w / "empty-release", w / "site-empty")
    b.serve(w / "site-empty")
    b.make_game(w / "empty-game")
    alternate(None, ("p0_updater", updater(w / "empty-game")))

    say("Profile 1: check only")
    b.serve(b.sites / "game")
    current = w / "game-current"
    variants = [("p1_updater", updater(current)),
                ("p1_read", lambda: run([b.bench_data, "read", current])),
                ("p1_read_crc", lambda: run([b.bench_data, "read", "--crc", current]))]
    if run([b.bench_data, "read", "--crc-libdeflate", w / "empty-game"],
           stderr=subprocess.DEVNULL, check=False).code == 0:
        variants.append(("p1_read_crc_libdeflate",
                         lambda: run([b.bench_data, "read", "--crc-libdeflate", current])))
    alternate(None, *variants)
    cpu("p1", current)
    callgrind("p1", current)

    say("Profile 2: patch")
    from scenarios import curl_config
    alternate(restore_game, ("p2_updater", updater(game_old)),
              ("p2_no_sync", what_if("BENCH_NO_SYNC", game_old)))
    (w / "patched.curlrc").write_text(curl_config(b, b.patched_names, w / "download"))
    alternate(None, ("p2_curl_reuse", curl(w / "patched.curlrc")),
              ("p2_curl_new", curl(w / "patched.curlrc", True)))
    restore_game()
    cpu("p2", game_old)
    restore_game()
    callgrind("p2", game_old)
    restore_game()
    syscalls("p2", game_old, restore_game)

    say("Profile 3: many small files")
    b.serve(b.sites / "small")
    alternate(restore_small, ("p3_updater", updater(small_game)),
              ("p3_short_poll", what_if("BENCH_SHORT_POLL", small_game)),
              ("p3_no_sync", what_if("BENCH_NO_SYNC", small_game)))
    (w / "small.plain.curlrc").write_text(curl_config(b, b.small_names, w / "download"))
    alternate(None, ("p3_curl_reuse", curl(w / "small.plain.curlrc")),
              ("p3_curl_new", curl(w / "small.plain.curlrc", True)))
    restore_small()
    cpu("p3", small_game)
    restore_small()
    callgrind("p3", small_game)
    restore_small()
    syscalls("p3", small_game, restore_small)

    load = " ".join(open("/proc/loadavg").read().split()[:3])
    lines = [f"# Profile of the updater ({time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
             f"load {load})", "",
             "Median (min–max) of five runs after one unmeasured, the variants of each group "
             "alternating; seconds:", ""]
    for name in sorted(samples.values):
        m, lo, hi = stats(samples[name])
        lines.append(f"- {name}: {m:.3f} ({lo:.3f}–{hi:.3f})")
    lines.append("")
    for name in ("p1", "p2", "p3"):
        lines += [f"## {name}", "", f"CPU of one run: {(prof / f'{name}.cpu.txt').read_text()}",
                  "", "```"]
        listing = (prof / f"{name}.self.txt").read_text().splitlines()
        start = next((i for i, line in enumerate(listing) if "PROGRAM TOTALS" in line), 0)
        lines += [line[:160] for line in listing[start:start + 26]]
        lines.append("```")
        for kind in ("wall", "cpu"):
            path = prof / f"{name}.strace-{kind}.txt"
            if not path.exists():
                continue
            flag = " -w" if kind == "wall" else ""
            lines += ["", f"System calls, {kind} time summed over the threads "
                      f"(strace -f -c{flag}):", "", "```"]
            lines += Path(path).read_text().splitlines()[:22]
            lines.append("```")
        lines.append("")
    (prof / "summary.md").write_text("\n".join(lines) + "\n")
    print(f"Profile written to {prof}/summary.md")
