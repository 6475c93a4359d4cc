"""The scenarios. Rounds alternate: the updater, then its baselines, then
the next round, so that anything else on the machine hits both sides; a
ratio is taken run by run."""

import os
import random
import re
import shutil
import signal
import subprocess
import time

import line
import prepare
from measure import BenchError, files_below, md5_of, run, shell, sums_of
from prepare import say


def prepare_games(b):
    """The game folders of scenarios 1 to 3 and what the updated ones must
    hold."""
    d = b.data
    if not (b.runs(1, 2, 3, 6) or b.profile):
        return
    b.make_game(b.work / "game-current", d / "game/release")
    b.make_game(b.work / "game-old", d / "game/release", d / "game/old")
    b.make_game(b.work / "small-game", d / "small/old")
    b.patched_names = files_below(d / "game/old")
    b.patched_sums = sums_of(d / "game/release", b.patched_names)
    b.small_names = files_below(d / "small/release")
    b.small_sums = sums_of(d / "small/release", b.small_names)


def run_all(b):
    # Scenario 6 is measured in the rounds of scenario 2.
    for numbers, scenario in (((1,), check_only), ((2, 6), patch), ((3,), small_files),
                              ((4,), memory), ((5,), engine), ((7,), patch_game),
                              ((8,), resume), ((9,), delta_memory), ((10,), line.real_line),
                              ((11,), republish)):
        if b.runs(*numbers):
            scenario(b)


def clean_up(b):
    """The copies of the games are made anew by every run; the samples and
    the servers' logs stay for a look."""
    for name in ("game-current", "game-old", "small-game", "patchgame", "resume-game", "tmp",
                 "download", "delta-memory", "site-patchgame", "republish"):
        shutil.rmtree(b.work / name, ignore_errors=True)


# ---------------------------------------------------------------------------
# 1. Check only


def check_only(b):
    s = b.sizes
    say(f"1. Check only: {s.game_files} files, {s.game_bytes}, already current")
    b.serve(b.sites / "game")
    current, release = b.work / "game-current", b.data / "game/release"
    for r in range(1, b.rounds_total + 1):
        b.updater_run(b.label_of(r, "s1.updater"), current, 1)
        b.timed(b.label_of(r, "s1.floor"), run([b.bench_data, "read", current]))
        b.timed(b.label_of(r, "s1.cat"),
                shell("find . -type f -print0 | xargs -0 cat >/dev/null", cwd=current))
        b.timed(b.label_of(r, "s1.rsync"),
                run(["rsync", "-a", "--checksum", "--dry-run", f"{release}/", f"{current}/"]))


# ---------------------------------------------------------------------------
# 2. Patch, and 6. its cost when signed


def curl_config(b, names, into, suffix=""):
    """A curl configuration fetching every listed file in one process (one
    connection), into `into`/NAME`suffix`."""
    return "".join(f'url = "http://127.0.0.1:{b.nginx.port}{b.url_path}{name}"\n'
                   f'output = "{into}/{name}{suffix}"\n' for name in names)


def split_sample(b, label, start, middle, end):
    b.samples.add(label, end - start)
    b.samples.add(label + ".fetch", middle - start)
    b.samples.add(label + ".inflate", end - middle)


def curl_and_inflate(b, label, config, names, download, game):
    """The stock pair: one curl for all the packed files, then zlib-flate
    for each one over the local file."""
    start = time.perf_counter()
    run(["curl", "-sS", "--fail", "--create-dirs", "-K", config])
    fetched = time.perf_counter()
    for name in names:
        with open(download / name, "rb") as packed, open(game / name, "wb") as out:
            subprocess.run(["zlib-flate", "-uncompress"], stdin=packed, stdout=out, check=True)
    split_sample(b, label, start, fetched, time.perf_counter())


def curl_and_pigz(b, label, config, packed_list):
    """The same with pigz, which inflates them all in one process: curl puts
    each packed file next to the local one as NAME.zz, pigz replaces NAME
    with it."""
    start = time.perf_counter()
    run(["curl", "-sS", "--fail", "--create-dirs", "-K", config])
    fetched = time.perf_counter()
    with open(packed_list) as names:
        subprocess.run(["xargs", "-d", "\n", "pigz", "-d", "-f"], stdin=names, check=True)
    split_sample(b, label, start, fetched, time.perf_counter())


def rsync_daemon(b, folder, *options):
    return run(["rsync", "-a", "--whole-file", *options,
                f"rsync://127.0.0.1:{b.rsyncd.port}/game/", f"{folder}/"])


def patch(b):
    s = b.sizes
    say(f"2. Patch: {s.patched} of those files changed ({s.patched_bytes}); "
        "6. the same signed")
    game, old, w = b.work / "game-old", b.data / "game/old", b.work
    names, sums = b.patched_names, b.patched_sums
    (w / "patched.curlrc").write_text(curl_config(b, names, w / "download"))
    (w / "patched.pigz.curlrc").write_text(curl_config(b, names, game, ".zz"))
    (w / "patched.zz").write_text("".join(f"{game}/{name}.zz\n" for name in names))
    for r in range(1, b.rounds_total + 1):
        label = lambda name: b.label_of(r, name)  # noqa: E731
        b.serve(b.sites / "game")
        b.restore_old(game, old)
        b.updater_run(label("s2.updater"), game, s.patched + 1, sums)

        # 6: the updater that requires signatures, on the signed folder:
        # update.dat.sig, then update.dat, then the files.
        b.serve(b.sites / "game-signed")
        b.restore_old(game, old)
        # Small files may come as stretches of a bundle: fewer requests, and
        # one for the bundle index.
        b.updater_run(label("s6.signed"), game, range(3, s.patched + 4), sums,
                      updater=b.signed_updater)
        b.serve(b.sites / "game")

        b.restore_old(game, old)
        shutil.rmtree(w / "download", ignore_errors=True)
        curl_and_inflate(b, label("s2.curl"), w / "patched.curlrc", names, w / "download", game)
        b.check_sums("s2.curl", game, sums)

        b.restore_old(game, old)
        curl_and_pigz(b, label("s2.pigz"), w / "patched.pigz.curlrc", w / "patched.zz")
        b.check_sums("s2.pigz", game, sums)

        for name, options in (("s2.rsync", ()), ("s2.rsync_checksum", ("--checksum",)),
                              ("s2.rsync_fsync", ("--fsync",))):
            b.restore_old(game, old)
            b.timed(label(name), rsync_daemon(b, game, *options))
            b.check_sums(name, game, sums)


# ---------------------------------------------------------------------------
# 3. Many small files


def small_files(b):
    s = b.sizes
    say(f"3. Many small files: {s.small_files} stale files of {s.small_size}")
    b.serve(b.sites / "small")
    game, old, w = b.work / "small-game", b.data / "small/old", b.work
    (w / "small.curlrc").write_text(curl_config(b, b.small_names, game, ".zz"))
    (w / "small.zz").write_text("".join(f"{game}/{name}.zz\n" for name in b.small_names))
    for r in range(1, b.rounds_total + 1):
        b.restore_old(game, old)
        b.updater_run(b.label_of(r, "s3.updater"), game, s.small_files + 1, b.small_sums)
        b.restore_old(game, old)
        curl_and_pigz(b, b.label_of(r, "s3.pigz"), w / "small.curlrc", w / "small.zz")
        b.check_sums("s3.pigz", game, b.small_sums)
    shutil.rmtree(w / "download", ignore_errors=True)


# ---------------------------------------------------------------------------
# 4. Memory

# Level 1 keeps twelve publishing runs inside the time budget; zlib's deflate
# state, and so the memory, is the same at every level.
PACK_LEVEL = 1


def memory(b):
    s = b.sizes
    say(f"4. Memory: checking, installing and publishing one file of {' '.join(s.single_sizes)}")
    current, install, site = b.work / "single-current", b.work / "single-install", \
        b.work / "site-single"
    for size in s.single_sizes:
        release = b.data / f"single-{size}/release"
        b.make_game(current)
        os.link(release / "big.pak", current / "big.pak")
        b.make_game(install)
        b.serve(site)
        for r in range(1, b.rounds_total + 1):
            label = lambda name: b.label_of(r, name)  # noqa: E731
            result = run([b.pack, "publish", "--force", "--level", PACK_LEVEL, release, site],
                         memory=True)
            b.samples.add(label(f"s4.pack.{size}"), result.seconds)
            b.samples.add(label(f"s4.pack.{size}.rss"), result.rss_kib)
            b.updater_run(label(f"s4.check.{size}"), current, 1, memory=True)
            for stale in ("big.pak", "update.dat"):
                (install / stale).unlink(missing_ok=True)
            b.updater_run(label(f"s4.install.{size}"), install, 2, memory=True)
            if subprocess.run(["cmp", "-s", release / "big.pak", install / "big.pak"]).returncode:
                raise BenchError(f"s4.install.{size}: big.pak was not installed intact")
        for folder in (current, install, site):
            shutil.rmtree(folder)


# ---------------------------------------------------------------------------
# 5. The engine


def engine(b):
    say("5. The engine: ZlibEngine::decompress against zlib's inflate")
    tmp = b.work / "tmp"
    tmp.mkdir(exist_ok=True)
    with open(b.work / "engine.txt", "w") as out:
        run([b.build / "engine_bench", b.sizes.engine_mib, b.sizes.rounds], stdout=out,
            env=dict(os.environ, TMPDIR=str(tmp)))
    print((b.work / "engine.txt").read_text(), end="")


# ---------------------------------------------------------------------------
# 7. A game patch: bytes, and time over a slow line


def rsync_stats(text):
    """Bytes received and sent, from `rsync --stats`."""
    def number(name):
        found = re.search(rf"^{name}: ([\d,.]+)", text, re.MULTILINE)
        if not found:
            raise BenchError(f"rsync --stats printed no '{name}'")
        return int(re.sub(r"[,.]", "", found.group(1)))
    return number("Total bytes received"), number("Total bytes sent")


def per_file_sizes(site, v1, v2, changed):
    """For each changed file: its size in version 1 (None if new) and 2, its
    packed size and its patch's (None if none) in the published folder."""
    packed = {}
    for line in (site / "update.dat").read_text().splitlines():
        fields = line.split(",")
        if len(fields) >= 4:
            packed[fields[0]] = int(fields[1])
    patches = {}
    index = site / "update.patches"
    if index.exists():
        # The smallest form of a file's patch: the one the updater fetches.
        for line in index.read_text().splitlines()[1:]:
            fields = line.split(",")
            patches[fields[0]] = min(int(fields[5]), patches.get(fields[0], 1 << 62))
    return [(name, (v1 / name).stat().st_size if (v1 / name).exists() else None,
             (v2 / name).stat().st_size, packed.get(name), patches.get(name)) for name in changed]


def patch_game(b):
    say("7. A game patch: bytes downloaded, and the update over a 50 Mbit/s line")
    v1, v2, w = b.data / "patchgame/v1", b.data / "patchgame/v2", b.work
    site, game = w / "site-patchgame", w / "patchgame"
    # The next version is published over a copy of the folder the players
    # have, as a studio would: with patches from the version before.
    shutil.rmtree(site, ignore_errors=True)
    subprocess.run(["cp", "-a", b.sites / "patchgame-v1", site], check=True)
    with open(w / "publish-v2.txt", "w") as out:
        published = run([b.pack, "publish", "--sign", b.key, *b.deltas_option(), v2, site],
                        stdout=out)
    b.samples.add("s7.publish", published.seconds)
    index = site / "update.patches"
    lines = index.read_text().splitlines()[1:] if index.exists() else []
    b.notes["s7.patches"] = sum(line.count(",") == 6 for line in lines)
    b.notes["s7.zlib_patches"] = len(lines) - b.notes["s7.patches"]
    changed = prepare.changed_files(v1, v2)
    b.notes["s7.per_file"] = per_file_sizes(site, v1, v2, changed)
    b.notes["s7.changed"] = len(changed)
    b.notes["s7.changed_bytes"] = sum((v2 / name).stat().st_size for name in changed)
    b.notes["s7.changes"] = (b.data / "patchgame/changes.txt").read_text().splitlines()
    b.notes["s7.full_size"] = sum(p.stat().st_size for p in v2.rglob("*") if p.is_file())
    b.notes["s7.files"] = len(files_below(v2))
    sums = sums_of(v2, changed)
    signed_expect = range(3 + index.exists(), 4 + index.exists() + len(changed))
    b.serve(site)

    def restore():
        b.make_game(game, v1, link=True)

    def updater(label, program, expect, port=None):
        restore()
        b.link.mark()
        entries = b.updater_run(label, game, expect, sums, updater=program, port=port)
        b.samples.add(label + ".bytes", sum(entry[1] for entry in entries))
        b.samples.add(label + ".patches", sum("/update.d/" in entry[4] for entry in entries))
        if port == b.link.ports["nginx"]:
            b.samples.add(label + ".line", b.link.carried()[0])

    def rsync(label, port, *options):
        restore()
        b.link.mark()
        with open(w / "rsync-stats.txt", "w") as out:
            result = run(["rsync", "-a", "--stats", *options,
                          f"rsync://127.0.0.1:{port}/patchgame/", f"{game}/"], stdout=out)
        received, sent = rsync_stats((w / "rsync-stats.txt").read_text())
        b.samples.add(label, result.seconds)
        b.samples.add(label + ".bytes", received)
        b.samples.add(label + ".up", sent)
        if port == b.link.ports["rsync"]:
            b.samples.add(label + ".line", b.link.carried()[0])
        b.check_sums(label, game, sums)

    if index.exists():
        pairs = []
        for line in index.read_text().splitlines()[1:]:
            fields = line.split(",")
            base = v1 / fields[0]
            # A zlib form holds its plain twin's bytes, which xdelta3 reads.
            if len(fields) == 7 and base.exists() and base.stat().st_size == int(fields[1]):
                pairs.append((base, site / fields[4], v2 / fields[0]))
        compare_decoders(b, "s7", pairs, b.sizes.rounds, b.sizes.warmup)
    for r in range(1, b.rounds_total + 1):
        label = lambda name: b.label_of(r, name)  # noqa: E731
        updater(label("s7.full"), b.updater, 1 + len(changed))
        updater(label("s7.patched"), b.signed_updater, signed_expect)
        rsync(label("s7.rsync"), b.rsyncd.port)
        rsync(label("s7.rsync_z"), b.rsyncd.port, "-z")
    # Over the line the pace is the line's: no warm-up round.
    line_nginx, line_rsync = b.link.ports["nginx"], b.link.ports["rsync"]
    bwlimit = f"--bwlimit={b.link_rate / 1024:.3f}"
    for _ in range(b.sizes.link_rounds):
        updater("s7.line.patched", b.signed_updater, signed_expect, port=line_nginx)
        rsync("s7.line.rsync", line_rsync)
        rsync("s7.line.rsync_z", line_rsync, "-z")
        updater("s7.limit.patched", b.signed_updater, signed_expect, port=b.nginx.limited_port)
        rsync("s7.limit.rsync", b.rsyncd.port, bwlimit)
    shutil.rmtree(game)


def compare_decoders(b, label, pairs, rounds, warmup):
    """Scenarios 7 and 9: the updater's own VCDIFF decoder against xdelta3's
    (what updaters used before), applying the same patches (`pairs` of
    base, patch and the file it makes) by `patch_bench compare`, each run a
    process of its own, alternating, the first `warmup` rounds not counted;
    and the patches' sizes had the publisher
    compressed their sections with xdelta3's DJW coder, as it used to."""
    out = b.work / "decoded"
    found = subprocess.run([str(part) for part in (b.patch_bench, "compare", "--rounds",
                                                   rounds + warmup,
                                                   out, *[p for pair in pairs for p in pair[:2]])],
                           capture_output=True, text=True, check=True).stdout
    out.unlink(missing_ok=True)
    for line in [line for line in found.splitlines() if line.startswith("compare: ")][warmup:]:
        _, _, ours, ours_kib, _, theirs, theirs_kib = line.split()
        b.samples.add(f"{label}.decode.ours", float(ours))
        b.samples.add(f"{label}.decode.ours.rss", int(ours_kib))
        b.samples.add(f"{label}.decode.xdelta3", float(theirs))
        b.samples.add(f"{label}.decode.xdelta3.rss", int(theirs_kib))
    plain = djw = 0
    for base, patch, new in pairs:
        made = b.work / "djw.vcdiff"
        run([b.patch_bench, "make", "--djw", base, new, made])
        plain += patch.stat().st_size
        djw += made.stat().st_size
        made.unlink()
    b.notes[f"{label}.decode"] = {"patches": len(pairs), "plain": plain, "djw": djw}


# ---------------------------------------------------------------------------
# 8. Resumed downloads


def part_size(folder):
    try:
        return (folder / "temp.partial").stat().st_size
    except FileNotFoundError:
        return 0


def cut_run(b, game, point, errors):
    """One updater run over the line, killed (SIGKILL) once its kept part
    has grown in this run and reached `point` bytes."""
    before = part_size(game)
    b.nginx.mark()
    b.link.mark()
    process = subprocess.Popen([b.updater], cwd=game, env=b.updater_env(b.link.ports["nginx"]),
                               stdout=subprocess.DEVNULL, stderr=errors)
    deadline = time.monotonic() + 300
    killed = False
    while process.poll() is None:
        size = part_size(game)
        if size != before and size >= point:
            os.kill(process.pid, signal.SIGKILL)
            killed = True
            break
        if time.monotonic() > deadline:
            process.kill()
            process.wait()
            raise BenchError("s8: the updater's transfer did not reach its cut in 5 minutes")
        time.sleep(0.001)
    process.wait()
    if not killed:
        raise BenchError(f"s8: the transfer ended before its cut at {point} bytes")
    return cut_entries(b, {"point": point, "before": before, "after": part_size(game)})


def cut_entries(b, run_facts):
    """What nginx and the line say of a run of scenario 8: what was asked
    for the file and answered, what was sent, and what the line carried to
    the player (less update.dat's body)."""
    entries = b.nginx.entries(2)
    big = [e for e in entries if e[4].endswith("/big.pak")]
    if len(big) != 1 or len(entries) != 2:
        raise BenchError(f"s8: {len(entries)} requests in a run, {len(big)} for big.pak; "
                         "not 2 and 1")
    status, sent, _, asked, _ = big[0]
    manifest = sum(e[1] for e in entries if e is not big[0])
    return dict(run_facts, sent=sent, status=status, asked=asked,
                line=b.link.carried()[0] - manifest)


def resume(b):
    s = b.sizes
    say(f"8. Resumed downloads: one file of {s.resume_bytes}, cut {s.cuts} times, "
        "then finished")
    site, game = b.sites / "resume", b.work / "resume-game"
    b.serve(site)
    packed = (site / "big.pak").stat().st_size
    b.notes["s8.packed"] = packed
    sums = sums_of(b.data / "resume/release", ["big.pak"])
    chooser = random.Random(b.seed)
    trials = []
    with open(b.work / "updater.stderr", "ab") as errors:
        for trial in range(s.resume_trials):
            b.make_game(game)
            points = sorted(chooser.randrange(1, packed) for _ in range(s.cuts))
            cuts = [cut_run(b, game, point, errors) for point in points]
            b.link.mark()
            b.nginx.mark()
            before = part_size(game)
            result = b.updater_in(game, port=b.link.ports["nginx"])
            b.samples.add("s8.finish", result.seconds)
            final = cut_entries(b, {"before": before})
            b.check_quiet("s8.finish", game)
            b.check_sums("s8.finish", game, sums)
            if (game / "temp.partial").exists():
                raise BenchError("s8: the finished run left its part behind")
            runs = cuts + [final]
            sent, line = sum(r["sent"] for r in runs), sum(r["line"] for r in runs)
            b.samples.add("s8.sent", sent)
            b.samples.add("s8.ratio", sent / packed)
            b.samples.add("s8.line", line)
            b.samples.add("s8.line_ratio", line / packed)
            b.samples.add("s8.resumed", sum(1 for r in runs[1:] if r["status"] == 206))
            trials.append(runs)
    b.notes["s8.trials"] = trials
    shutil.rmtree(game)


# ---------------------------------------------------------------------------
# 9. Memory of delta patches


def delta_memory(b):
    s = b.sizes
    if not b.has_deltas:
        say("9. Memory of delta patches: skipped, this brightwick-pack has no --deltas")
        return
    size = int(s.delta_bytes) if s.delta_bytes.isdigit() else prepare.parse_size(s.delta_bytes)
    say(f"9. Memory of delta patches: making and applying a patch to a file of {size} bytes")
    folder = b.work / "delta-memory"
    v1, v2, site, game = folder / "v1", folder / "v2", folder / "site", folder / "game"
    shutil.rmtree(folder, ignore_errors=True)
    used = [0]

    def note_disk():
        found = subprocess.run(["du", "-sb", folder], capture_output=True, text=True).stdout
        used.append(int(found.split()[0]))

    try:
        prepare.generate(b, "file", "--seed", b.seed + 9, "--bytes", size, v1 / "big.pak")
        note_disk()
        scale = 1 if b.quick else 10
        b.notes["s9.edit"] = prepare.generate(
            b, "edit", "--seed", b.seed + 10, "--scatter", 20 * scale, "--insert", 4,
            "--delete", 4, "--block-max", "64K" if b.quick else "1M", v1 / "big.pak",
            v2 / "big.pak").strip()
        note_disk()
        options = ["--sign", b.key, "--deltas", "1", "--level", PACK_LEVEL]
        first = run([b.pack, "publish", *options, v1, site])
        b.samples.add("s9.publish_v1", first.seconds)
        note_disk()
        made = run([b.pack, "publish", *options, v2, site], memory=True)
        b.samples.add("s9.publish", made.seconds)
        b.samples.add("s9.publish.rss", made.rss_kib)
        note_disk()
        index = (site / "update.patches").read_text().splitlines()
        patch_sizes = [int(line.split(",")[5]) for line in index[1:] if line.startswith("big.pak,")]
        if not patch_sizes:
            raise BenchError("s9: the publish made no patch for big.pak")
        b.notes["s9.patch"] = min(patch_sizes)
        b.notes["s9.packed"] = (site / "big.pak").stat().st_size
        b.notes["s9.size"] = size
        sums = {"big.pak": md5_of(v2 / "big.pak")}
        path = next(line.split(",")[4] for line in index[1:]
                    if line.startswith("big.pak,") and line.count(",") == 6)
        compare_decoders(b, "s9", [(v1 / "big.pak", site / path, v2 / "big.pak")],
                         s.delta_rounds, 0)
        note_disk()
        # The new version is in the served folder now; its release copy
        # would only take disk space.
        shutil.rmtree(v2)
        b.serve(site)
        for r in range(1, s.delta_rounds + 1):
            b.make_game(game)
            os.link(v1 / "big.pak", game / "big.pak")
            entries = b.updater_run("s9.apply", game, 4, sums, memory=True,
                                    updater=b.signed_updater)
            # The new version now stands beside the old (v1), as the scratch
            # file did before it replaced the old one's link.
            note_disk()
            if not any("/update.d/" in entry[4] for entry in entries):
                raise BenchError("s9: the updater did not fetch the patch")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    b.notes["s9.disk"] = max(used)


# ---------------------------------------------------------------------------
# 10. Republishing an unchanged release


def republish(b):
    """The same release published again over its own folder, nothing
    changed: unsigned and signed, by this brightwick-pack and, with --before,
    by the one built from that revision, each over a folder it published
    itself, alternating run by run."""
    s = b.sizes
    say(f"11. Republish: {s.republish_files} files of {s.republish_size}, unchanged, --level 6"
        + (f"; beside brightwick-pack at {b.before_revision}" if b.pack_before else ""))
    release, w = b.data / "republish/release", b.work / "republish"
    shutil.rmtree(w, ignore_errors=True)
    w.mkdir(parents=True)
    packs = [("now", b.pack)] + ([("before", b.pack_before)] if b.pack_before else [])
    runs = []
    for name, pack in packs:
        for kind, options in (("unsigned", []), ("signed", ["--sign", b.key])):
            # The state a signed publish keeps beside its key is per key:
            # each publisher signs with a copy of its own.
            if options:
                key = w / f"{name}.key"
                shutil.copyfile(b.key, key)
                options = ["--sign", key]
            command = [pack, "publish", "--level", "6", *options, release, w / f"{name}-{kind}"]
            run(command)
            runs.append((f"s11.{name}.{kind}", command))
    output = w / "publish.out"
    for r in range(1, b.rounds_total + 1):
        for label, command in runs:
            with open(output, "w") as out:
                result = run(command, stdout=out)
            said = output.read_text()
            if " 0 packed" not in said or "update.dat unchanged" not in said:
                raise BenchError(f"{label}: the republish was not one of an unchanged release: "
                                 + said.strip())
            b.timed(b.label_of(r, label), result)

