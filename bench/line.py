"""10. Over a real line: a player's line has a round trip as well as a rate,
and every request pays it. The link of link.py with a one-way delay of 25 ms
and of 75 ms on top of its 50 Mbit/s, in front of nginx and the rsync
daemon alike, and the floor: the bytes the updater fetched on the wire at
the line's rate, plus one round trip.

(a) many changed small files beside an unchanged pack, (b) the game patch
of scenario 7, signed, with patches; many small files on loopback are
scenario 3."""

import shutil

from measure import files_below, run, sums_of, stats
from prepare import say
from servers import Link

DELAYS = (0.025, 0.075)  # one way


def floor(b, entries, delay):
    """The wire time of the bytes a run fetched, plus one round trip."""
    return sum(entry[1] for entry in entries) / b.link_rate + 2 * delay


def real_line(b):
    s = b.sizes
    say(f"10. Over a real line: {s.line_files} changed files of 4 KiB beside an unchanged pack, "
        "and scenario 7's game patch, at 50 Mbit/s with a round trip of "
        + " and ".join(f"{2000 * d:.0f} ms" for d in DELAYS))
    release, old = b.data / "line/release", b.data / "line/old"
    changed = [name for name in files_below(release) if name != "base.pak"]
    sums = sums_of(release, changed)
    game = b.work / "line-game"
    patch_site, patch_game = b.work / "site-patchgame", b.work / "line-patchgame"
    v1, v2 = b.data / "patchgame/v1", b.data / "patchgame/v2"
    from prepare import changed_files
    patch_changed = changed_files(v1, v2)
    patch_sums = sums_of(v2, patch_changed)
    b.notes["s10.files"] = len(changed)
    for delay in DELAYS:
        ms = f"{2000 * delay:.0f}"
        link = Link(b.work, b.link_rate, {"nginx": b.nginx.link_port, "rsync": b.rsyncd.port},
                    delay, name=f"link-{ms}")
        link.start()
        try:
            for _ in range(b.sizes.link_rounds):
                for site, label, updater, head in (
                        (b.sites / "line", f"s10.a{ms}.unsigned", b.updater, 1),
                        (b.sites / "line-signed", f"s10.a{ms}.signed", b.signed_updater, 3)):
                    b.serve(site)
                    b.make_game(game, old, link=True)
                    entries = b.updater_run(label, game, range(head, head + len(changed) + 1),
                                            sums, updater=updater, port=link.ports["nginx"])
                    b.samples.add(label + ".floor", floor(b, entries, delay))
                    b.samples.add(label + ".requests", len(entries))
                b.make_game(game, old, link=True)
                b.timed(f"s10.a{ms}.rsync", run(["rsync", "-a",
                                                 f"rsync://127.0.0.1:{link.ports['rsync']}/line/",
                                                 f"{game}/"]))
                b.check_sums(f"s10.a{ms}.rsync", game, sums)
                if not patch_site.exists():
                    continue
                # (b): the game patch of scenario 7, published with patches.
                b.serve(patch_site)
                b.make_game(patch_game, v1, link=True)
                label = f"s10.b{ms}.patched"
                entries = b.updater_run(label, patch_game, range(3, 5 + len(patch_changed)),
                                        patch_sums, updater=b.signed_updater,
                                        port=link.ports["nginx"])
                b.samples.add(label + ".floor", floor(b, entries, delay))
                b.make_game(patch_game, v1, link=True)
                b.timed(f"s10.b{ms}.rsync_z",
                        run(["rsync", "-a", "-z",
                             f"rsync://127.0.0.1:{link.ports['rsync']}/patchgame/",
                             f"{patch_game}/"]))
                b.check_sums(f"s10.b{ms}.rsync_z", patch_game, patch_sums)
        finally:
            link.stop()
    shutil.rmtree(game, ignore_errors=True)
    shutil.rmtree(patch_game, ignore_errors=True)


def report(w, b):
    """Scenario 10's section of results.md, and its goals."""
    n = b.notes.get("s10.files")
    if n is None:
        return
    w("## 10. Over a real line")
    w()
    w(f"The link of scenario 7 (50 Mbit/s) with a one-way delay on top, in front of nginx and",
      "the rsync daemon alike; a connection is usable a round trip after it opens, as over",
      f"TCP. (a) {n} changed files of 4 KiB beside an unchanged pack of 2 MiB; (b) scenario 7's",
      "game patch, signed, with patches. The floor: the bytes the updater fetched, at the",
      "line's rate, plus one round trip. rsync: its daemon through the same link, `rsync -a`",
      "for (a), `rsync -a -z` for (b).")
    w()
    w("| Round trip | Run | Time | Requests | / rsync | / floor |")
    w("|---|---|---|---|---|---|")
    for delay in DELAYS:
        ms = f"{2000 * delay:.0f}"
        for kind in ("unsigned", "signed"):
            label = f"s10.a{ms}.{kind}"
            if label not in w.s.values:
                continue
            requests = stats(w.s[label + ".requests"])[0]
            w(f"| {ms} ms | (a) brightwick-updater, {kind} | {w.seconds(label)} | {requests:.0f} |"
              f" {w.ratio(label, f's10.a{ms}.rsync')} | {w.ratio(label, label + '.floor')} |")
        w(f"| {ms} ms | (a) rsync daemon | {w.seconds(f's10.a{ms}.rsync')} | | | |")
        label = f"s10.b{ms}.patched"
        if label in w.s.values:
            w(f"| {ms} ms | (b) brightwick-updater, signed, patches | {w.seconds(label)} | |"
              f" {w.ratio(label, f's10.b{ms}.rsync_z')} | {w.ratio(label, label + '.floor')} |")
            w(f"| {ms} ms | (b) rsync daemon, -z | {w.seconds(f's10.b{ms}.rsync_z')} | | | |")
    w()
