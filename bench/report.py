"""results.md: the machine, the goals, each scenario's figures, the commands
and the raw samples."""

import re
import subprocess
import time
from pathlib import Path

import line
from measure import show, stats

MIB = 1048576


def sh(*command):
    return subprocess.run(command, capture_output=True, text=True).stdout.strip()


def goal(value, limit):
    return "met" if value <= limit else "**missed**"


def mib(count):
    return f"{count / MIB:.1f} MiB"


def megabytes(count):
    return f"{count / 1e6:.2f} MB"


def size_text(count):
    return f"{count / MIB:.1f} MiB" if count >= MIB else f"{count / 1024:.1f} KiB"


def describe(folder, summary):
    """"2000 files, 1024.0 MiB: sizes 1.3 KiB to 74.7 MiB (median 25.1
    KiB), 13 over 8 MiB; of the bytes 44% noise, ..."."""
    sizes = sorted(p.stat().st_size for p in Path(folder).rglob("*") if p.is_file())
    words = Path(summary).read_text().split()
    mix = ", ".join(f"{words[i + 1]} {words[i]}" for i in range(10, len(words) - 1, 2))
    return (f"{len(sizes)} files, {size_text(sum(sizes))}: sizes {size_text(sizes[0])} to "
            f"{size_text(sizes[-1])} (median {size_text(sizes[(len(sizes) + 1) // 2 - 1])}), "
            f"{sum(1 for s in sizes if s > 8 * MIB)} over 8 MiB; of the bytes {mix}")


class Writer:
    def __init__(self, b):
        self.b, self.s = b, b.samples
        self.lines = []

    def __call__(self, *parts):
        self.lines.append(" ".join(parts))

    def seconds(self, label):
        return show(self.s[label])

    def per_file(self, label):
        return show(self.s[label], 1000 / self.b.sizes.small_files, "%.3f", " ms")

    def ratio(self, a, b):
        return show(self.s.ratios(a, b), 1, "%.2f", "x")

    def median_ratio(self, a, b):
        return stats(self.s.ratios(a, b))[0]

    def ratio_row(self, text, a, b):
        self(f"| {text} | {self.ratio(a, b)} |")

    def bytes_of(self, label):
        """Bytes are the same run after run unless something changed; the
        range shows if it did."""
        m, lo, hi = stats(self.s[label])
        text = megabytes(m)
        return text if lo == hi else f"{text} ({megabytes(lo)}–{megabytes(hi)})"

    def fence(self, text):
        self("```")
        self.lines.extend(text.rstrip("\n").splitlines())
        self("```")


def goals_excerpt(out):
    text = Path(out).read_text()
    start = text.index("## Goals")
    return text[start:text.index("\n## 1.", start)].rstrip()


def write(b):
    w = Writer(b)
    s = b.sizes
    commit = sh("git", "-C", str(b.repo), "rev-parse", "--short", "HEAD") or "unknown"
    if subprocess.run(["git", "-C", str(b.repo), "diff", "--quiet", "HEAD", "--", "src", "tools"],
                      capture_output=True).returncode != 0:
        commit += " (with uncommitted changes in src/ or tools/)"
    name = b.build.name
    cpu = re.search(r"^model name\s*: (.*)$", Path("/proc/cpuinfo").read_text(), re.MULTILINE)
    memory = re.search(r"MemTotal:\s+(\d+)", Path("/proc/meminfo").read_text())
    system = re.search(r'PRETTY_NAME="(.*)"', Path("/etc/os-release").read_text())

    def version(package):
        # One line per architecture where several are installed.
        return (sh("dpkg-query", "-W", "-f=${Version}\n", package).splitlines() or ["?"])[0]

    w("# Benchmark results")
    w()
    if b.quick:
        w("**A --quick run: a few files, one run each; the figures mean nothing.**")
        w()
    w(f"Recorded {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} by "
      f"`bench/run.sh{' --quick' if b.quick else ''}` at commit {commit}, {b.build_type} build "
      f"in `{name}/` (GTK linked: {'yes' if b.gtk_linked else 'no'}).",
      f"Every scenario ran {s.warmup} time(s) to warm up, then {s.rounds} time(s) measured, the",
      "updater and its baselines alternating (scenarios 7 to 9 say where they differ). A figure",
      "is the median of the measured runs, with the minimum–maximum in brackets; a ratio is",
      "taken run by run (the updater's run against the baseline's run of the same round), then",
      "its median and range are shown. The page cache is warm throughout: every figure is CPU",
      f"and loopback, no disk. Measuring took {b.measure_seconds:.0f} s.")
    w()
    w("## Machine")
    w()
    w("| | |")
    w("|---|---|")
    w(f"| CPU | {cpu.group(1) if cpu else 'unknown'}, {sh('nproc')} cores |")
    w(f"| Memory | {int(memory.group(1)) / 1048576:.1f} GiB |")
    w(f"| Kernel | {sh('uname', '-sr')} |")
    w(f"| System | {system.group(1) if system else 'unknown'} |")
    w(f"| Load average (1, 5, 15 min) | before measuring: {b.load_before}; after: {b.load_after} |")
    if b.nginx:
        nginx = re.sub(r".*: ", "", subprocess.run([b.nginx.binary, "-v"], capture_output=True,
                                                   text=True).stderr.strip())
        w(f"| Tools | {nginx}, rsync {sh('rsync', '--version').split()[2]}, curl "
          f"{sh('curl', '--version').split()[1]}, qpdf (zlib-flate) {version('qpdf')}, pigz "
          f"{version('pigz')}, zlib {version('zlib1g')}, libsodium {version('libsodium23')} |")
    w()
    if b.only is not None:
        w(f"Only scenarios {', '.join(str(n) for n in sorted(b.only))} ran (`--only`).")
        w()
    goals(w, b)
    # With --only, a section whose scenarios did not all run is left out.
    for numbers, section in (((1, 2, 3, 4, 5), scenario_1_to_5), ((6,), scenario_6),
                             ((7,), scenario_7), ((8,), scenario_8), ((9,), scenario_9),
                             ((10,), line.report), ((11,), scenario_11)):
        if b.only is None or all(n in b.only for n in numbers):
            section(w, b)
    if b.only is None:
        commands(w, b)
    w("## Raw samples")
    w()
    w("Seconds, in the order measured; `.rss`: KiB; `.bytes`, `.up`, `.line`, `s8.sent`: bytes.")
    w()
    w("```")
    for label in sorted(k for k in b.samples.values if not k.startswith("warmup.")):
        values = " ".join(f"{v:.6f}" if isinstance(v, float) else str(v) for v in b.samples[label])
        w(f"{label:<28} {values}")
    w("```")
    Path(b.out).parent.mkdir(parents=True, exist_ok=True)
    Path(b.out).write_text("\n".join(w.lines) + "\n")


def goals(w, b):
    w("## Goals")
    w()
    w("| Scenario | Goal | Measured | |")
    w("|---|---|---|---|")
    if "s1.updater" in w.s:
        s1 = w.median_ratio("s1.updater", "s1.floor")
        w(f"| 1. Check only | within 2x the read floor | {s1:.2f}x | {goal(s1, 2)} |")
    if "s2.updater" in w.s:
        s2 = w.median_ratio("s2.updater", "s2.rsync")
        w(f"| 2. Patch | no slower than rsync | {s2:.2f}x rsync's time | {goal(s2, 1)} |")
    if "s3.updater" in w.s:
        s3 = stats(w.s["s3.updater"])[0] * 1000 / b.sizes.small_files
        w(f"| 3. Many small files | under 2 ms per file | {s3:.2f} ms | {goal(s3, 2)} |")
    rss4 = [k for k in w.s.values if k.startswith("s4.") and k.endswith(".rss")]
    if rss4:
        s4 = max(max(w.s[k]) for k in rss4)
        w(f"| 4. Memory | under 32 MiB, whatever the file size | at most {s4 / 1024:.1f} MiB |"
          f" {goal(s4, 32768)} |")
    if "s6.signed" in w.s:
        s6 = w.median_ratio("s6.signed", "s2.updater")
        w(f"| 6. Signing | at most 5% over the unsigned run | {s6:.3f}x the unsigned time |"
          f" {goal(s6, 1.05)} |")
    if "s7.patched.bytes" in w.s:
        s7_bytes = w.median_ratio("s7.patched.bytes", "s7.rsync.bytes")
        s7_line = w.median_ratio("s7.line.patched", "s7.line.rsync")
        what = "patches" if b.has_deltas else "signed full files (no --deltas yet)"
        w(f"| 7. Game patch: bytes | fewer than rsync's delta transfer | {s7_bytes:.2f}x rsync's"
          f" bytes ({what}) | {goal(s7_bytes, 0.99999)} |")
        w(f"| 7. Game patch: over 50 Mbit/s | no slower than rsync | {s7_line:.2f}x rsync's time |"
          f" {goal(s7_line, 1)} |")
    if "s8.line_ratio" in w.s:
        s8, s8_sent = stats(w.s["s8.line_ratio"])[0], stats(w.s["s8.ratio"])[0]
        w(f"| 8. Resume, cut {b.sizes.cuts} times | (as little over the file as can be) |"
          f" fetched {s8:.3f}x the file's packed size (nginx sent {s8_sent:.3f}x) | — |")
    if "s9.apply.rss" in w.s:
        s9 = max(w.s["s9.apply.rss"])
        w(f"| 9. Applying a patch to a {size_text(b.notes['s9.size'])} file | at most 64 MiB |"
          f" {s9 / 1024:.1f} MiB | {goal(s9, 65536)} |")
    elif b.runs(9):
        w("| 9. Applying a patch | at most 64 MiB | not measured: no --deltas | — |")
    big = size_text(b.notes["s9.size"]) if "s9.size" in b.notes else "large"
    for label, what in (("s7", "7. The game's patches"), ("s9", f"9. The {big} file's patch")):
        if f"{label}.decode.ours" in w.s:
            time = w.median_ratio(f"{label}.decode.ours", f"{label}.decode.xdelta3")
            rss = max(w.s[f"{label}.decode.ours.rss"])
            w(f"| {what}, the updater's decoder | no slower than xdelta3's, at most 24.6 MiB |"
              f" {time:.2f}x xdelta3's time, {rss / 1024:.1f} MiB |"
              f" {goal(max(time, rss / (24.6 * 1024)), 1)} |")
    if "s11.now.unsigned" in w.s:
        if "s11.before.unsigned" in w.s:
            s11 = max(w.median_ratio(f"s11.now.{kind}", f"s11.before.{kind}")
                      for kind in ("unsigned", "signed"))
            w(f"| 11. Republish, unchanged | within 1.5x the publisher at {b.before_revision} |"
              f" {s11:.2f}x its time (the larger of unsigned and signed) | {goal(s11, 1.5)} |")
        else:
            w(f"| 11. Republish, unchanged | (within 1.5x the publisher before; --before REV) |"
              f" {stats(w.s['s11.now.unsigned'])[0]:.3f} s unsigned | — |")
    w()


def scenario_1_to_5(w, b):
    s, data = b.sizes, b.data
    w("## 1. Check only")
    w()
    w(f"A game folder that is already current, "
      f"{describe(data / 'game/release', data / 'game/game.txt')}.",
      "The updater fetches update.dat and reads every file for its CRC-32; it downloads nothing",
      "(checked: one request per run).")
    w()
    w("| Run | Time |")
    w("|---|---|")
    w(f"| brightwick-updater, whole run | {w.seconds('s1.updater')} |")
    w(f"| read floor: every file read once (`bench_data read`, one 256 KiB buffer) |"
      f" {w.seconds('s1.floor')} |")
    w(f"| cat of every file (for reference) | {w.seconds('s1.cat')} |")
    w(f"| rsync --checksum --dry-run between two local copies | {w.seconds('s1.rsync')} |")
    w()
    w("| Ratio, run by run | median (min–max) |")
    w("|---|---|")
    w.ratio_row("updater / read floor", "s1.updater", "s1.floor")
    w.ratio_row("updater / cat", "s1.updater", "s1.cat")
    w.ratio_row("updater / rsync --checksum", "s1.updater", "s1.rsync")
    w()
    patched = int((data / "game/game.txt").read_text().split()[7])
    w("## 2. Patch")
    w()
    w(f"The same game at the old version: {s.patched} files differ,",
      f"{mib(patched)} unpacked in the new release.",
      "Every run starts from the same old folder, restored outside the timed part, and is",
      "checked afterwards (MD5 of every patched file).")
    w()
    w("| Run | Time |")
    w("|---|---|")
    w("| brightwick-updater, whole run: checks every file, fetches and inflates the changed"
      f" ones | {w.seconds('s2.updater')} |")
    w(f"| curl (one process, all packed files) + zlib-flate for each | {w.seconds('s2.curl')} |")
    w(f"| &nbsp;&nbsp;of which curl | {w.seconds('s2.curl.fetch')} |")
    w(f"| &nbsp;&nbsp;of which zlib-flate | {w.seconds('s2.curl.inflate')} |")
    w(f"| curl (one process) + pigz (one process) | {w.seconds('s2.pigz')} |")
    w(f"| &nbsp;&nbsp;of which pigz | {w.seconds('s2.pigz.inflate')} |")
    w(f"| rsync daemon, --whole-file (its size-and-date check) | {w.seconds('s2.rsync')} |")
    w("| rsync daemon, --whole-file --checksum (reads every file on both sides) |"
      f" {w.seconds('s2.rsync_checksum')} |")
    w("| rsync daemon, --whole-file --fsync (each new file on the disk, as the updater does) |"
      f" {w.seconds('s2.rsync_fsync')} |")
    w()
    w("| Ratio, run by run | median (min–max) |")
    w("|---|---|")
    w.ratio_row("updater / curl + zlib-flate", "s2.updater", "s2.curl")
    w.ratio_row("updater / curl + pigz", "s2.updater", "s2.pigz")
    w.ratio_row("updater / rsync", "s2.updater", "s2.rsync")
    w.ratio_row("updater / rsync --checksum", "s2.updater", "s2.rsync_checksum")
    w.ratio_row("updater / rsync --fsync", "s2.updater", "s2.rsync_fsync")
    w()
    w("## 3. Many small files")
    w()
    w(f"{describe(data / 'small/release', data / 'small/small.txt')}; every one stale (same size,",
      "other contents). zlib-flate is left out here: one process per file costs tens of",
      "milliseconds each (scenario 2 shows it), so pigz inflates them all in one process.")
    w()
    w("| Run | Time | Per file |")
    w("|---|---|---|")
    w(f"| brightwick-updater, whole run | {w.seconds('s3.updater')} | {w.per_file('s3.updater')} |")
    w(f"| curl (one process) + pigz (one process) | {w.seconds('s3.pigz')} |"
      f" {w.per_file('s3.pigz')} |")
    w(f"| &nbsp;&nbsp;of which curl | {w.seconds('s3.pigz.fetch')} |"
      f" {w.per_file('s3.pigz.fetch')} |")
    w(f"| &nbsp;&nbsp;of which pigz | {w.seconds('s3.pigz.inflate')} |"
      f" {w.per_file('s3.pigz.inflate')} |")
    w()
    w("| Ratio, run by run | median (min–max) |")
    w("|---|---|")
    w.ratio_row("updater / curl + pigz", "s3.updater", "s3.pigz")
    w.ratio_row("updater / curl alone", "s3.updater", "s3.pigz.fetch")
    w()
    w("## 4. Memory")
    w()
    w("Peak resident memory of the whole process (`/usr/bin/time -f %M`, the maximum",
      "resident set size) for one file of each size: checking it when it is current,",
      "installing it when it is missing (download and inflate), publishing it",
      "(`--force --level 1`).")
    w()
    w("| Operation | File | Peak memory | Time |")
    w("|---|---|---|---|")
    for op in ("check", "install", "pack"):
        for size in s.single_sizes:
            label = f"s4.{op}.{size}"
            w(f"| {'publish' if op == 'pack' else op} | {size} |"
              f" {show(w.s[label + '.rss'], 1 / 1024, '%.1f', ' MiB')} | {w.seconds(label)} |")
    w()
    w("## 5. The engine")
    w()
    w(f"`engine_bench {s.engine_mib} {s.rounds}`:")
    w()
    w.fence((b.work / "engine.txt").read_text())
    w()


def scenario_6(w, b):
    w("## 6. Signing cost")
    w()
    w("Scenario 2's patch again, in the same rounds: the updater that requires signatures",
      f"({b.signed_how}) on the same release published with `--sign`, against the unsigned",
      "updater on the unsigned folder. The signed run fetches update.dat.sig before update.dat",
      "(one request more), checks the signature and the serial, and hashes each download",
      "(SHA-256) against the manifest's fifth field.")
    w()
    w("| Run | Time |")
    w("|---|---|")
    w(f"| brightwick-updater, unsigned folder | {w.seconds('s2.updater')} |")
    w(f"| brightwick-updater with a public key, signed folder | {w.seconds('s6.signed')} |")
    w()
    w("| Ratio, run by run | median (min–max) |")
    w("|---|---|")
    w.ratio_row("signed / unsigned", "s6.signed", "s2.updater")
    w()


def scenario_7(w, b):
    n = b.notes
    rate = b.link_rate
    w("## 7. A game patch: bytes, and time over a 50 Mbit/s line")
    w()
    w(f"Version 1 is scenario 1's game with four pack files of {b.sizes.pak_bytes} of mixed",
      f"content added (`paks/`); version 2, {n['s7.files']} files and {mib(n['s7.full_size'])},",
      f"changes {n['s7.changed']} files ({mib(n['s7.changed_bytes'])} in version 2) and deletes",
      "some, as a real patch does (all from the seed, by `bench_data edit` and `file`):")
    w()
    for change in n["s7.changes"]:
        if change.startswith("scripts/"):
            continue
        w(f"- {change}")
    scripts = sum(1 for change in n["s7.changes"] if change.startswith("scripts/"))
    w(f"- {scripts} scripts: a few lines changed in each (3 rewrites of 16–256 bytes)")
    w()
    deltas = ("`--deltas 3`, so it also made a patch from version 1 for each changed file "
              f"({n['s7.patches']} in update.patches, {n.get('s7.zlib_patches', 0)} of them "
              "also as a zlib stream, which the updater fetches)") if b.has_deltas else \
        "no `--deltas` (this brightwick-pack has none), so no patches"
    w("Both versions are published with `brightwick-pack publish --sign KEY`, version 2 over a",
      f"copy of version 1's folder with {deltas}; that publish took"
      f" {w.seconds('s7.publish')}.",
      "Every run starts from version 1 (hard links, made anew outside the timed part) and is",
      "checked afterwards (MD5 of every changed or new file). The updater does not delete",
      "files the manifest no longer lists, and rsync without `--delete` neither.")
    w()
    w("| Changed file | Version 1 | Version 2 | Packed | Patch |")
    w("|---|---|---|---|---|")
    rows = n["s7.per_file"]
    scripts = [row for row in rows if row[0].startswith("scripts/")]
    for name, old, new, packed, patch in [row for row in rows if row not in scripts]:
        w(f"| {name} | {old if old is not None else '(new)'} | {new} | {packed} |"
          f" {patch if patch is not None else '—'} |")
    if scripts:
        w(f"| {len(scripts)} scripts | {sum(r[1] for r in scripts)} | {sum(r[2] for r in scripts)}"
          f" | {sum(r[3] for r in scripts)} | {sum(r[4] or 0 for r in scripts)} |")
    w()
    w("Bytes: nginx's `$body_bytes_sent` summed over the run's responses (manifest, signature,",
      "patch index, files or patches; headers not counted), and rsync's `--stats` (\"Total",
      "bytes received\": file list, checksums' answers, literal data; what it sent up, the",
      "block checksums of the player's files, in brackets).")
    w()
    w("| Run | Downloaded | vs rsync (run by run) | Time on loopback |")
    w("|---|---|---|---|")
    w(f"| brightwick-updater, full files (unsigned) | {w.bytes_of('s7.full.bytes')} |"
      f" {w.ratio('s7.full.bytes', 's7.rsync.bytes')} | {w.seconds('s7.full')} |")
    patches = int(stats(w.s["s7.patched.patches"])[0])
    w(f"| brightwick-updater, signed, with patches ({patches} fetched) |"
      f" {w.bytes_of('s7.patched.bytes')} | {w.ratio('s7.patched.bytes', 's7.rsync.bytes')} |"
      f" {w.seconds('s7.patched')} |")
    w(f"| rsync daemon, its delta transfer (no -W) | {w.bytes_of('s7.rsync.bytes')}"
      f" (up: {w.bytes_of('s7.rsync.up')}) | 1 | {w.seconds('s7.rsync')} |")
    w(f"| rsync daemon, delta transfer, -z | {w.bytes_of('s7.rsync_z.bytes')}"
      f" (up: {w.bytes_of('s7.rsync_z.up')}) | {w.ratio('s7.rsync_z.bytes', 's7.rsync.bytes')} |"
      f" {w.seconds('s7.rsync_z')} |")
    w()
    full = stats(w.s["s7.full.bytes"])[0]
    w(f"The line: `bench/link.py` between the player and the servers, {rate * 8 / 1e6:.0f}",
      "Mbit/s in each direction, shared by every connection, with small socket buffers (nginx's",
      "port for it has `sndbuf=64k`); no delay added. The whole update is timed, the",
      f"updater's check of every file included; {b.sizes.link_rounds} run(s) each, alternating,",
      "without a warm-up (the line sets the pace). Full files would take",
      f"{full / rate:.1f} s on the wire alone.")
    w()
    w("| Run | Time over the line | Bytes on the line (to the player) |")
    w("|---|---|---|")
    w(f"| brightwick-updater, signed, with patches | {w.seconds('s7.line.patched')} |"
      f" {w.bytes_of('s7.line.patched.line')} |")
    w(f"| rsync daemon, delta transfer | {w.seconds('s7.line.rsync')} |"
      f" {w.bytes_of('s7.line.rsync.line')} |")
    w(f"| rsync daemon, delta transfer, -z | {w.seconds('s7.line.rsync_z')} |"
      f" {w.bytes_of('s7.line.rsync_z.line')} |")
    w()
    w("| Ratio, run by run | median (min–max) |")
    w("|---|---|")
    w.ratio_row("updater / rsync", "s7.line.patched", "s7.line.rsync")
    w.ratio_row("updater / rsync -z", "s7.line.patched", "s7.line.rsync_z")
    w()
    decoders(w, b, "s7")
    w(f"With the servers' own limits instead: nginx `limit_rate {rate}` (per response) and",
      f"`rsync --bwlimit={rate / 1024:.3f}` (KiB/s). nginx lets each response send a second's",
      "worth before it holds back, so every file or patch under "
      f"{rate / 1e6:.2f} MB crosses at loopback speed:",
      "these times flatter the updater, which makes a request per file.")
    w()
    w("| Run | Time |")
    w("|---|---|")
    w(f"| brightwick-updater, signed, with patches, nginx limit_rate |"
      f" {w.seconds('s7.limit.patched')} |")
    w(f"| rsync daemon, delta transfer, --bwlimit | {w.seconds('s7.limit.rsync')} |")
    w(f"| ratio, run by run | {w.ratio('s7.limit.patched', 's7.limit.rsync')} |")
    w()


def scenario_8(w, b):
    n = b.notes
    packed = n["s8.packed"]
    w("## 8. Resumed downloads")
    w()
    w(f"One file of {b.sizes.resume_bytes} (mixed content, {packed} bytes packed) missing from",
      "the game folder, fetched by the unsigned updater over the line of scenario 7. Each of",
      f"the first {b.sizes.cuts} runs is killed (SIGKILL, from outside: no cleanup) once its",
      "kept part (temp.partial) has grown in that run and reached the next of",
      f"{b.sizes.cuts} random points (uniform over the packed size, sorted; fixed seed), polled",
      "every millisecond; the sixth run finishes, and the file is checked (MD5).",
      f"{b.sizes.resume_trials} trial(s), each with points of its own.")
    w()
    w("Fetched: what the line carried to the player over the six runs, update.dat's bodies",
      "left out (HTTP headers are in). Sent: nginx's `$body_bytes_sent` for the file; it also",
      "counts what was still in the socket buffers between nginx and the line when the updater",
      "was killed (a few hundred KB: nginx's 64 KiB send buffer and the line's receive buffer,",
      "each doubled by the kernel), which never reached the player. A real server's buffers",
      "hold as much or more.")
    w()
    w("| | median (min–max) |")
    w("|---|---|")
    w(f"| fetched, against the packed size | {show(w.s['s8.line_ratio'], 1, '%.3f', 'x')} |")
    w(f"| fetched | {show(w.s['s8.line'], 1e-6, '%.2f', ' MB')} |")
    w(f"| sent by nginx, against the packed size | {show(w.s['s8.ratio'], 1, '%.3f', 'x')} |")
    w(f"| runs that continued the part (206), of {b.sizes.cuts} |"
      f" {show(w.s['s8.resumed'], 1, '%.0f', '')} |")
    w()
    for number, runs in enumerate(n["s8.trials"], 1):
        w(f"Trial {number}, bytes:")
        w()
        w("| Run | Cut at | Part before → after | Asked | Status | Sent | Fetched |")
        w("|---|---|---|---|---|---|---|")
        for index, r in enumerate(runs, 1):
            cut = r["point"] if "point" in r else "(finished)"
            after = f" → {r['after']}" if "after" in r else ""
            asked = "all" if r["asked"] == "-" else r["asked"]
            w(f"| {index} | {cut} | {r['before']}{after} | {asked} | {r['status']} |"
              f" {r['sent']} | {r['line']} |")
        w()


def decoders(w, b, label):
    """The updater's decoder against xdelta3's on the scenario's patches."""
    n = b.notes.get(f"{label}.decode")
    if not n or f"{label}.decode.ours" not in w.s:
        return
    rss = lambda name: show(w.s[f"{label}.decode.{name}.rss"], 1 / 1024, "%.1f", " MiB")  # noqa
    w(f"**Decoders.** The same {n['patches']} patch(es) applied by the updater's own VCDIFF",
      "decoder and by xdelta3's (what updaters used before), each run a process of its own",
      "(`patch_bench compare`, alternating); peak memory is the process's resident set:")
    w()
    w("| Decoder | Time | Peak memory |")
    w("|---|---|---|")
    w(f"| the updater's own | {w.seconds(label + '.decode.ours')} | {rss('ours')} |")
    w(f"| xdelta3's | {w.seconds(label + '.decode.xdelta3')} | {rss('xdelta3')} |")
    w(f"| ratio, run by run | {w.ratio(label + '.decode.ours', label + '.decode.xdelta3')} |"
      f" {w.ratio(label + '.decode.ours.rss', label + '.decode.xdelta3.rss')} |")
    w()
    w(f"Patch sizes: {n['plain']} bytes as served (plain sections); {n['djw']} had the",
      f"sections been DJW-coded as before ({n['plain'] / max(n['djw'], 1):.3f}x).")
    w()


def scenario_9(w, b):
    n = b.notes
    w("## 9. Memory of delta patches")
    w()
    if "s9.apply.rss" not in w.s:
        w("Not measured: this brightwick-pack has no `--deltas`.")
        w()
        return
    w(f"One file of {n['s9.size']} bytes (mixed content), published with `publish --sign KEY",
      "--deltas 1 --level 1`, then its next version (`bench_data edit`:",
      f"{n['s9.edit']}) published the same way, which makes the patch; then the updater that",
      "requires signatures, in a folder holding the first version, fetches the patch and",
      "applies it (checked: the patch fetched, not the file; MD5 of the result). Peak",
      "resident memory from `/usr/bin/time -f %M`. Made anew by each run and removed at its end:",
      f"at most {n['s9.disk'] / 2**30:.1f} GiB of disk while it lasted.")
    w()
    w("| Operation | Peak memory | Time |")
    w("|---|---|---|")
    w(f"| publish the next version, making the patch ({n['s9.patch']} bytes; the whole file"
      f" packed: {n['s9.packed']}) | {show(w.s['s9.publish.rss'], 1 / 1024, '%.1f', ' MiB')} |"
      f" {w.seconds('s9.publish')} |")
    w(f"| the updater applying it ({b.sizes.delta_rounds} run(s)) |"
      f" {show(w.s['s9.apply.rss'], 1 / 1024, '%.1f', ' MiB')} | {w.seconds('s9.apply')} |")
    w()
    w("The encoder's own bound (tools/pack/patch_make.h): about 1.5 times the source window",
      "plus 5 times the target window, 142 MiB of resident memory with the defaults (64 MiB",
      "and 8 MiB), whatever the files' sizes. The publish of the first version (no patch)",
      f"took {w.seconds('s9.publish_v1')}.")
    w()
    decoders(w, b, "s9")


def scenario_11(w, b):
    s = b.sizes
    w("## 11. Republishing an unchanged release")
    w()
    w(f"{s.republish_files} files of {s.republish_size} (`bench_data uniform`, mixed text,",
      "binary and noise), published once with `publish --level 6` (and once more with",
      "`--sign KEY`) into folders of their own, then published again, nothing changed: the",
      "publisher reads every release file and every packed file once and writes nothing",
      "(checked: \"0 packed\", \"update.dat unchanged\"). Signed, it takes both files'",
      "SHA-256 as well, and checks each record's MAC.")
    w()
    before = "s11.before.unsigned" in w.s
    w("| Run | unsigned | signed |")
    w("|---|---|---|")
    w(f"| brightwick-pack, this build | {w.seconds('s11.now.unsigned')} |"
      f" {w.seconds('s11.now.signed')} |")
    if before:
        w(f"| brightwick-pack at {b.before_revision} (`--before`) |"
          f" {w.seconds('s11.before.unsigned')} | {w.seconds('s11.before.signed')} |")
        w(f"| this build / {b.before_revision}, run by run |"
          f" {w.ratio('s11.now.unsigned', 's11.before.unsigned')} |"
          f" {w.ratio('s11.now.signed', 's11.before.signed')} |")
    w()


def commands(w, b):
    s = b.sizes
    name = b.build.name
    port, rsync_port = b.nginx.port, b.rsyncd.port
    w("## Commands")
    w()
    w(f"`$DATA` is `{name}/{b.data.name}`, `$SITES` `{b.sites.relative_to(b.build.parent)}`,"
      f" `$WORK` `{name}/bench-work`. nginx served `$WORK/www` on 127.0.0.1:{port}",
      f"(`$WORK/nginx/nginx.conf`: one worker, sendfile, access log), `{b.url_path}` being a link",
      f"to the scenario's published folder; the rsync daemon listened on 127.0.0.1:{rsync_port}",
      "(module `game` = `$DATA/game/release`, `patchgame` = `$DATA/patchgame/v2`). The line of",
      f"scenarios 7 and 8: `bench/link.py` on {b.link.ports['nginx']} (to nginx's port",
      f"{b.nginx.link_port}) and {b.link.ports['rsync']} (to rsync).")
    w()
    w("```sh")
    w("# Data and sites (not timed)")
    w(f"bench_data game --seed {b.seed} --files {s.game_files} --bytes {s.game_bytes} --patched"
      f" {s.patched} --patched-bytes {s.patched_bytes} $DATA/game/release $DATA/game/old")
    w(f"bench_data uniform --seed {b.seed} --files {s.small_files} --size {s.small_size}"
      " $DATA/small/release $DATA/small/old")
    w(f"bench_data file --seed {b.seed} --bytes SIZE $DATA/single-SIZE/release/big.pak")
    w("bench_data file|edit ...   # scenario 7's versions: $DATA/patchgame/changes.txt")
    w("brightwick-pack publish $DATA/game/release $SITES/game          # level 9, the default")
    w("brightwick-pack publish $DATA/small/release $SITES/small")
    w("brightwick-pack publish --sign KEY $DATA/game/release $SITES/game-signed")
    deltas = " ".join(b.deltas_option())
    w(f"brightwick-pack publish --sign KEY {deltas} $DATA/patchgame/v1 $SITES/patchgame-v1")
    w("# The updater, in the game folder GAME (tdx.exe there is 'exit 0')")
    w("cd GAME && env -u DISPLAY -u WAYLAND_DISPLAY -u no_proxy -u NO_PROXY -u all_proxy"
      " -u ALL_PROXY -u https_proxy \\")
    w(f"  http_proxy=http://127.0.0.1:{port} brightwick-updater >/dev/null")
    w("# 1.")
    w("bench_data read $WORK/game-current")
    w("cd $WORK/game-current && find . -type f -print0 | xargs -0 cat >/dev/null")
    w("rsync -a --checksum --dry-run $DATA/game/release/ $WORK/game-current/")
    w(f"# 2. and 3. (a config holds url = \"http://127.0.0.1:{port}{b.url_path}NAME\" and"
      " output = \"...\" for each file)")
    w("curl -sS --fail --create-dirs -K patched.curlrc                 # into $WORK/download/NAME")
    w("for NAME in PATCHED; do zlib-flate -uncompress <$WORK/download/NAME >GAME/NAME; done")
    w("curl -sS --fail --create-dirs -K LIST.curlrc                    # into GAME/NAME.zz")
    w("xargs -d '\\n' pigz -d -f <LIST.zz                             # GAME/NAME.zz -> GAME/NAME")
    w(f"rsync -a --whole-file [--checksum | --fsync] rsync://127.0.0.1:{rsync_port}/game/"
      " $WORK/game-old/")
    w("# between runs (not timed)")
    w("rm -f GAME/update.dat && cp -a OLD_VERSIONS/. GAME/")
    w("# 4.")
    w("brightwick-pack publish --force --level 1 $DATA/single-SIZE/release $WORK/site-single")
    w("brightwick-updater     # (as above) with big.pak current, then without it")
    w("# 5.")
    w(f"engine_bench {s.engine_mib} {s.rounds}")
    w("# 6. (as 2., on $SITES/game-signed)")
    w("brightwick-updater     # built with UPDATE_PUBLIC_KEYS")
    w("# 7.")
    w(f"cp -a $SITES/patchgame-v1 $WORK/site-patchgame && brightwick-pack publish --sign KEY"
      f" {deltas} $DATA/patchgame/v2 $WORK/site-patchgame")
    w("cp -al $DATA/patchgame/v1/. GAME/  # before each run")
    w("rsync -a --stats [-z] rsync://127.0.0.1:PORT/patchgame/ GAME/")
    w(f"rsync -a --stats --bwlimit={b.link_rate / 1024:.3f} rsync://127.0.0.1:{rsync_port}/patchgame/"
      " GAME/")
    w(f"python3 bench/link.py --rate {b.link_rate} --log LOG"
      f" {b.link.ports['nginx']}:{b.nginx.link_port} {b.link.ports['rsync']}:{rsync_port}")
    w("# 8. the updater through the line, killed with SIGKILL at each cut; then once more")
    w("# 9.")
    w("bench_data file --seed S --bytes SIZE v1/big.pak && bench_data edit --seed S ... v1/big.pak"
      " v2/big.pak")
    w("brightwick-pack publish --sign KEY --deltas 1 --level 1 v1 SITE && brightwick-pack publish"
      " --sign KEY --deltas 1 --level 1 v2 SITE")
    w("# 11. (once, not timed, then timed again; also with BUILD-before's brightwick-pack)")
    w(f"bench_data uniform --seed {b.seed + 12} --files {s.republish_files} --size"
      f" {s.republish_size} $DATA/republish/release $DATA/republish/old")
    w("brightwick-pack publish --level 6 [--sign KEY] $DATA/republish/release"
      " $WORK/republish/now-KIND")
    w("```")
    w()
