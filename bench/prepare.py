"""Everything before the measuring: packages, the builds, the data (made
from the seed, kept between full runs) and the published folders."""

import hashlib
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

from measure import BenchError, files_below

PACKAGES = ["cmake", "ninja-build", "g++", "pkg-config", "libcurl4-openssl-dev", "zlib1g-dev",
            "libsodium-dev", "dpkg-dev", "nginx-light", "rsync", "curl", "qpdf", "pigz", "time"]
PROFILE_PACKAGES = ["valgrind", "strace"]


_START = time.monotonic()


def say(text):
    """A step, with how far into the run it starts, so that a slow step
    shows in a CI log."""
    elapsed = int(time.monotonic() - _START)
    print(f"\n== {text}  [{elapsed // 60}m{elapsed % 60:02d}s]", flush=True)


def install_packages(profile):
    say("Packages")
    wanted = PACKAGES + (PROFILE_PACKAGES if profile else [])
    missing = [name for name in wanted if "install ok installed" not in subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", name], capture_output=True, text=True).stdout]
    if missing:
        sudo = [] if os.getuid() == 0 else ["sudo"]
        subprocess.run(sudo + ["apt-get", "update", "-q"], check=True)
        subprocess.run(sudo + ["apt-get", "install", "-y", "-q", "--no-install-recommends"]
                       + missing, check=True, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    print("all present: " + " ".join(wanted))


def cache_value(build, name):
    cache = Path(build) / "CMakeCache.txt"
    if not cache.exists():
        return None
    found = re.search(rf"^{name}:[A-Z]+=(.*)$", cache.read_text(), re.MULTILINE)
    return found.group(1) if found else None


def configure(repo, build, extra=()):
    # Without GTK: the headless updater a player without a desktop gets, and
    # no GTK start-up in every figure (the Windows updater has none either).
    subprocess.run(["cmake", "-S", repo, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DBRIGHTWICK_BUILD_TESTS=OFF", "-DBRIGHTWICK_GTK=OFF", *extra],
                   check=True, stdout=subprocess.DEVNULL)


def build_programs(b):
    """The programs in b.build (configured in Release if it is not yet), and
    an updater that requires signatures: the build's own test-keys updater
    if it has one (the tests' keys, so no second build), else the same
    program built in BUILD-signed with a key of the benchmark's own."""
    say(f"Building in {b.build}")
    if cache_value(b.build, "CMAKE_BUILD_TYPE") is None:
        configure(b.repo, b.build)
    targets = ["brightwick-updater", "brightwick-pack", "engine_bench", "bench_data", "what_if",
               "patch_bench"]
    test_keys = cache_value(b.build, "BRIGHTWICK_TEST_KEYS") == "ON"
    if test_keys:
        targets.append("brightwick-updater-test-keys")
    subprocess.run(["cmake", "--build", b.build, "-j", "2", "--target", *targets], check=True)
    b.updater = b.build / "brightwick-updater"
    b.pack = b.build / "brightwick-pack"
    b.bench_data = b.build / "bench_data"
    b.patch_bench = b.build / "patch_bench"
    b.build_type = cache_value(b.build, "CMAKE_BUILD_TYPE")
    if test_keys:
        b.signed_updater = b.build / "brightwick-updater-test-keys"
        # A copy: a signed publish keeps the last serial beside its key.
        b.key = b.build / "bench-test-key"
        shutil.copyfile(b.repo / "tests/data/signing-old.key", b.key)
        b.signed_how = "the build's brightwick-updater-test-keys, the tests' key signing-old"
    else:
        b.key = b.build / "bench-key"
        if not b.key.exists():
            subprocess.run([b.pack, "keygen", b.key], check=True, stdout=subprocess.DEVNULL)
        public = (b.key.parent / (b.key.name + ".pub")).read_text().strip()
        signed = Path(f"{b.build}-signed")
        if cache_value(signed, "UPDATE_PUBLIC_KEYS") != public:
            gtk = cache_value(b.build, "BRIGHTWICK_GTK") or "OFF"
            configure(b.repo, signed, [f"-DCMAKE_BUILD_TYPE={b.build_type}",
                                       f"-DBRIGHTWICK_GTK={gtk}", f"-DUPDATE_PUBLIC_KEYS={public}"])
        subprocess.run(["cmake", "--build", signed, "-j", "2", "--target", "brightwick-updater"],
                       check=True)
        b.signed_updater = signed / "brightwick-updater"
        b.signed_how = (f"brightwick-updater built in {signed.name}/ with UPDATE_PUBLIC_KEYS from "
                        f"`brightwick-pack keygen` ({b.key.name})")
    # The updater fetches from its built-in directory; nginx serves that
    # path, and the updater reaches nginx as its HTTP proxy, so any build
    # works unchanged.
    header = (b.build / "generated/shared/base_url.h").read_text()
    found = re.search(r'kUpdateBaseUrl\[\] = "(.*)";', header)
    if not found:
        raise BenchError(f"cannot read the updater's base URL from {b.build}")
    b.url_path = re.sub(r"^http://[^/]*", "", found.group(1))
    b.gtk_linked = "libgtk" in subprocess.run(["ldd", b.updater], capture_output=True,
                                               text=True).stdout
    b.has_deltas = "--deltas" in subprocess.run([b.pack, "--help"], capture_output=True,
                                                 text=True).stdout


def build_before(b):
    """With --before REV: brightwick-pack as it was at REV, built from `git
    archive` (no checkout, nothing else touched) in BUILD-before/, for
    scenario 10 to time beside this one."""
    if not b.before:
        return
    say(f"Building brightwick-pack at {b.before}")
    revision = subprocess.run(["git", "-C", b.repo, "rev-parse", "--verify", b.before + "^{commit}"],
                              capture_output=True, text=True, check=True).stdout.strip()
    source = Path(f"{b.build}-before-src")
    stamp = source / ".revision"
    if not stamp.exists() or stamp.read_text().strip() != revision:
        shutil.rmtree(source, ignore_errors=True)
        source.mkdir(parents=True)
        archive = subprocess.Popen(["git", "-C", b.repo, "archive", revision],
                                   stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "-C", source], stdin=archive.stdout, check=True)
        if archive.wait() != 0:
            raise BenchError(f"git archive {b.before} failed")
        stamp.write_text(revision + "\n")
    build = Path(f"{b.build}-before")
    if cache_value(build, "CMAKE_BUILD_TYPE") is None:
        configure(source, build)
    subprocess.run(["cmake", "--build", build, "-j", "2", "--target", "brightwick-pack"],
                   check=True)
    b.pack_before = build / "brightwick-pack"
    b.before_revision = revision[:7]


def _stamp(b, *parts):
    source = hashlib.sha256((b.repo / "bench/bench_data.cpp").read_bytes()).hexdigest()[:16]
    return " ".join([source, str(b.seed), *map(str, parts)])


def _made(folder, stamp, make):
    """Makes a data set with `make` unless `folder` holds one of `stamp`."""
    folder = Path(folder)
    stamp_file = folder / "stamp"
    if stamp_file.exists() and stamp_file.read_text().strip() == stamp:
        return
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    make(folder)
    stamp_file.write_text(stamp + "\n")


def generate(b, *args, out=None):
    result = subprocess.run([str(arg) for arg in (b.bench_data, *args)], check=True,
                            capture_output=True, text=True)
    if out is not None:
        Path(out).write_text(result.stdout)
    return result.stdout


DATA_SETS = ("game", "small", "resume", "patchgame", "line", "republish", "sites")


def make_data(b):
    say("Data")
    s = b.sizes
    if b.quick:
        shutil.rmtree(b.data, ignore_errors=True)
    b.data.mkdir(parents=True, exist_ok=True)
    # Anything else is left over from an older layout or size: it would only
    # take disk space.
    for entry in b.data.iterdir():
        known = entry.name in DATA_SETS or entry.name in (f"single-{size}" for size in
                                                          s.single_sizes)
        if not known:
            shutil.rmtree(entry) if entry.is_dir() else entry.unlink()
    game = ("game", "--seed", b.seed, "--files", s.game_files, "--bytes", s.game_bytes,
            "--patched", s.patched, "--patched-bytes", s.patched_bytes)
    if b.runs(1, 2, 3, 6, 7) or b.profile:
        _made(b.data / "game", _stamp(b, *game), lambda d: print(generate(
            b, *game, d / "release", d / "old", out=d / "game.txt"), end=""))
    small = ("uniform", "--seed", b.seed, "--files", s.small_files, "--size", s.small_size)
    if b.runs(3) or b.profile:
        _made(b.data / "small", _stamp(b, *small), lambda d: print(generate(
            b, *small, d / "release", d / "old", out=d / "small.txt"), end=""))
    for size in s.single_sizes if b.runs(4) else []:
        _made(b.data / f"single-{size}", _stamp(b, size), lambda d: generate(
            b, "file", "--seed", b.seed, "--bytes", size, d / "release/big.pak"))
    if b.runs(8):
        _made(b.data / "resume", _stamp(b, "resume", s.resume_bytes), lambda d: generate(
            b, "file", "--seed", b.seed + 7, "--bytes", s.resume_bytes, d / "release/big.pak"))
    if b.runs(7):
        _made(b.data / "patchgame", _stamp(b, "patchgame", *game, s.pak_bytes),
              lambda d: make_patch_game(b, d))
    # Scenario 10: many changed small files beside an unchanged pack.
    many = ("uniform", "--seed", b.seed + 10, "--files", s.line_files, "--size", "4K")
    def make_line(d):
        generate(b, *many, d / "release", d / "old")
        generate(b, "file", "--seed", b.seed + 11, "--bytes", "2M", d / "release/base.pak")
        os.link(d / "release/base.pak", d / "old/base.pak")
    if b.runs(10):
        _made(b.data / "line", _stamp(b, *many), make_line)
    republish = ("uniform", "--seed", b.seed + 12, "--files", s.republish_files, "--size",
                 s.republish_size)
    if b.runs(11):
        _made(b.data / "republish", _stamp(b, *republish), lambda d: print(generate(
            b, *republish, d / "release", d / "old", out=d / "republish.txt"), end=""))
    if b.quick and b.only is None:
        # The generator must give the same bytes for the same seed, or the
        # figures of two runs would not be comparable.
        for n in (1, 2):
            generate(b, "uniform", "--seed", b.seed, "--files", 20, "--size", "3K",
                     b.data / f"again-{n}", b.data / f"again-{n}o")
        if subprocess.run(["diff", "-r", b.data / "again-1", b.data / "again-2"],
                          stdout=subprocess.DEVNULL).returncode != 0:
            raise BenchError("bench_data is not deterministic")
        total = sum(p.stat().st_size for p in (b.data / "game/release").rglob("*") if p.is_file())
        if total != parse_size(s.game_bytes):
            raise BenchError("bench_data made a release of the wrong size")


def parse_size(text):
    text = str(text)
    shift = {"K": 10, "M": 20, "G": 30}.get(text[-1:], 0)
    return int(text[:-1] if shift else text) << shift


def link_tree(source, target):
    """`target` as hard links to `source`'s files: no bytes copied. Safe
    for what the updater, rsync and the publisher do to it, since they all
    replace a file by renaming a new one over it and never write into it."""
    subprocess.run(["cp", "-al", f"{source}/.", f"{target}/"], check=True)


def make_patch_game(b, folder):
    """Two versions of the game for scenario 7, with the changes of a real
    game patch. v1: the release of scenarios 1 and 2 (hard links) plus four
    pack files of mixed content. v2: the next version, sharing unchanged
    files with v1 (hard links), each change made by bench_data from the
    seed."""
    s = b.sizes
    v1, v2 = folder / "v1", folder / "v2"
    v1.mkdir()
    link_tree(b.data / "game/release", v1)
    pak = parse_size(s.pak_bytes)
    for i in range(4):
        generate(b, "file", "--seed", b.seed + 100 + i, "--bytes", pak, v1 / f"paks/data{i}.pak")
    v2.mkdir()
    link_tree(v1, v2)
    names = files_below(v1)
    changes = []

    def edit(name, what, *options):
        target = v2 / name
        target.unlink()
        out = generate(b, "edit", "--seed", b.seed + 200 + len(changes), *options, v1 / name,
                       target)
        changes.append(f"{name}: {what} ({out.strip()})")

    def new(name, what, size, *kind):
        target = v2 / name
        if target.exists():
            target.unlink()
        generate(b, "file", "--seed", b.seed + 300 + len(changes), "--bytes", size, *kind, target)
        changes.append(f"{name}: {what} ({size} bytes)")

    q = b.quick
    edit("paks/data0.pak", "small edits scattered in it", "--scatter", 20 if q else 200)
    edit("paks/data1.pak", "blocks inserted and deleted, shifting what follows",
         "--insert", 4 if q else 8, "--delete", 4 if q else 8, "--block-max", "16K" if q else "256K")
    edit("paks/data2.pak", "its directory rewritten, data appended", "--head", "4K" if q else "64K",
         "--append", pak // 8)
    texts = [n for n in names if n.startswith("scripts/") and (v1 / n).stat().st_size >= 4096]
    for name in texts[:3 if q else 20]:
        edit(name, "a few lines changed", "--scatter", 3, "--scatter-max", 256)
    media = [n for n in names if n.split("/")[0] in ("sounds", "video", "textures")
             and not n.startswith("paks/") and (v1 / n).stat().st_size <= 8 << 20]
    replaced = max(media, key=lambda n: ((v1 / n).stat().st_size, n))
    new(replaced, "replaced by a new asset", (v1 / replaced).stat().st_size * 11 // 10,
        "--kind", "noise")
    new("paks/data4.pak", "new pack file", pak // 4)
    new("paks/notes.txt", "new text file", 4096 if q else 65536, "--kind", "text")
    touched = {line.split(":")[0] for line in changes}
    gone = [n for n in names if n.startswith("data/") and n not in touched][:2 if q else 10]
    for name in gone:
        (v2 / name).unlink()
        changes.append(f"{name}: deleted")
    (folder / "changes.txt").write_text("\n".join(changes) + "\n")


def changed_files(old, new):
    """Names of `new` that are not the same file as in `old`: what an update
    from `old` to `new` must bring."""
    names = []
    for name in files_below(new):
        try:
            same = os.path.samefile(Path(old) / name, Path(new) / name)
        except FileNotFoundError:
            same = False
        if not same:
            names.append(name)
    return names


def publish(b, release, out, *options):
    """An incremental publish (only changed files are packed again); its
    output is kept for a look."""
    run = subprocess.run([b.pack, "publish", *options, release, out], capture_output=True,
                         text=True)
    if run.returncode != 0:
        raise BenchError(f"brightwick-pack publish {release} failed: {run.stderr.strip()}")
    return run.stdout


def publish_sites(b):
    """Incremental: after the first full run only the CRCs are read again.
    The signed folders serve every updater (an unsigned one ignores the
    signature and the patch index)."""
    say("Publishing with brightwick-pack")
    key = ["--sign", b.key]
    if b.runs(1, 2) or b.profile:
        publish(b, b.data / "game/release", b.sites / "game")
    if b.runs(3) or b.profile:
        publish(b, b.data / "small/release", b.sites / "small")
    if b.runs(6):
        publish(b, b.data / "game/release", b.sites / "game-signed", *key)
    if b.runs(8):
        publish(b, b.data / "resume/release", b.sites / "resume")
    if b.runs(7):
        publish(b, b.data / "patchgame/v1", b.sites / "patchgame-v1", *key, *b.deltas_option())
    if b.runs(10):
        publish(b, b.data / "line/release", b.sites / "line")
        publish(b, b.data / "line/release", b.sites / "line-signed", *key)
