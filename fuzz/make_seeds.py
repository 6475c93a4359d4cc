#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into OUT/<target>/.

Usage: make_seeds.py OUT [--patch-maker PATCH_BENCH]

With --patch-maker (bench/patch_bench, the publisher's own encoder), the
patch targets also get patches made by it from edited versions of their
base; without, only the hand-made ones.
"""

import os
import struct
import subprocess
import sys
import tempfile
import zlib

# Seeds are made here rather than kept in the repository as binaries: each is
# a small, typical or edge-case input that gives the fuzzer a head start.


def crc_text(data):
    crc = zlib.crc32(data)
    return str(crc - (1 << 32) if crc >= 1 << 31 else crc)


def line(name, data, level=9):
    packed = zlib.compress(data, level)
    return "%s,%d,%d,%s" % (name, len(packed), len(data), crc_text(data))


def manifest_seeds():
    game = b"tdx game data " * 40
    seeds = {
        "typical": "\n".join([line("tdx.exe", game), line("data/map 1.pak", game[:100]),
                              line("sounds\\a.wav", b"")]) + "\n",
        "crlf": "\r\n".join([line("a.bin", b"abc"), "", line("b.bin", b"de")]) + "\r\n",
        "eof-byte": line("a", b"x") + "\n\x1a" + line("b", b"y") + "\n",
        "no-final-break": line("last.pak", game),
        "numbers": "a,+12,  -7,4294967295\nb,0x10,99999999999999999999,-2147483649\n"
                   "c,\t\v 5junk,,\n",
        "extra-fields": "a,1,2,3,4,5,6\n,,,\n,1,2,3\nonly,three,fields\n",
        "hostile": "\n".join(n + ",1,2,3" for n in [
            "../x", "..\\x", "/x", "\\x", "C:\\x", "C:x", "\\\\host\\share\\x", "a/../../x",
            "a/.. /x", "a/.../x", "dir/", "file:stream", "nul", "data/CON.txt", "LPT9.log",
            "update.dat", "TEMP", "temp.download", "./temp", "temp.", "x\ty", "x\x7fy"]) + "\n",
        "cr-only": "a,1,2,3\rb,4,5,6\r",
        "long-name": "n" * 1100 + ",1,2,3\n" + "n" * 1024 + ",1,2,3\n",
    }
    return {k: v.encode("latin-1") for k, v in seeds.items()}


def bound_prefix(limit):
    """The three leading bytes inflate_fuzz reads as its output bound."""
    return struct.pack("<I", (limit - 1) % (1 << 20))[:3]


def pseudo_random(size, seed=12345):
    """Deterministic bytes deflate cannot shrink, the same on every run."""
    out = bytearray()
    for _ in range(size):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        out.append(seed >> 16 & 0xFF)
    return bytes(out)


def inflate_seeds():
    text = b"tdx map level sprite sound\n" * 300
    noise = pseudo_random(5000)
    big = 1 << 20
    with_dict = zlib.compressobj(zdict=b"tdx map level")
    dict_stream = with_dict.compress(text[:200]) + with_dict.flush()
    stream = zlib.compress(text, 9)
    seeds = {
        "text-9": bound_prefix(big) + stream,
        "text-1": bound_prefix(big) + zlib.compress(text, 1),
        "stored": bound_prefix(big) + zlib.compress(noise, 0),
        "noise-6": bound_prefix(big) + zlib.compress(noise, 6),
        "empty-data": bound_prefix(16) + zlib.compress(b""),
        "trailing": bound_prefix(big) + stream + b"trailing bytes",
        "truncated": bound_prefix(big) + stream[:len(stream) // 2],
        "corrupt": bound_prefix(big) + stream[:40] + bytes([stream[40] ^ 0x55]) + stream[41:],
        "bad-adler": bound_prefix(big) + stream[:-1] + bytes([stream[-1] ^ 1]),
        "bomb": bound_prefix(64 * 1024) + zlib.compress(b"\0" * (4 << 20), 9),
        "exact-bound": bound_prefix(len(text)) + stream,
        "one-short": bound_prefix(len(text) - 16) + stream,
        "preset-dictionary": bound_prefix(big) + dict_stream,
        "raw-deflate": bound_prefix(big) + zlib.compress(text)[2:-4],
        "html": bound_prefix(big) + b"<html><body>Please log in</body></html>",
    }
    return seeds


def pack_seeds():
    """Inputs of pack_fuzz: level, file count, then per file a name length,
    the name, a two-byte length and the bytes; then what changes."""
    def release(level, files, change=b""):
        out = bytes([level, len(files) - 1])
        for name, data in files:
            out += bytes([len(name)]) + name + struct.pack("<H", len(data)) + data
        return out + change
    text = b"tdx map level sprite sound\n" * 20
    return {
        "one-file": release(9, [(b"tdx.exe", text)]),
        "folders": release(6, [(b"data/a.pak", text), (b"maps/deep/b.map", text[:50]),
                               (b"c.txt", b"")], b"\x00\x05extra"),
        "stored": release(0, [(b"a", pseudo_random(700)), (b"b/c", text)], b"\x01"),
        "excluded": release(9, [(b"update.dat", text), (b"x.log", b"log"), (b"temp", b"t"),
                                (b"ok.bin", text)], b"\x02\x03new\x04four"),
        "bad-names": release(9, [(b"a,b", text), (b"c d", text), (b"nul", text),
                                 (b"e\\f", text)], b"\x04"),
        "long-name": release(9, [(b"n" * 31, text)]),
        # The rest after a change byte is read as the publisher's state files.
        "records-mac": release(9, [(b"a", text)], b"\x01brightwick-records 1\n\nname a\n"
                               b"packed-size 10\npacked-crc32 0000abcd\nsize 20\ncrc32 12345678\n"
                               b"sha256 " + b"ab" * 32 + b"\npacked-sha256 " + b"cd" * 32 +
                               b"\nprevious 5 00000001 " + b"ef" * 32 + b"\nmac " + b"12" * 32 +
                               b"\n"),
        "key-state": release(9, [(b"a", text)],
                             b"\x01brightwick-key-state 1\nserial 9223372036854775807\n"),
    }


def signature_seeds():
    # Well-formed but signed by nobody: the fuzzer starts from the shape.
    head = "brightwick-signature 1\nkey 0b3ebf4f560e2c61\nserial 1765185600\n"
    dat = "update.dat " + "5f" * 32 + "\n"
    sig = "signature " + "0d" * 64 + "\n"
    return {
        "plain": (head + dat + sig).encode(),
        "with-patches": (head + dat + "update.patches " + "91" * 32 + "\n" + sig).encode(),
        "unknown-line": (head + dat + "note x\n" + sig).encode(),
        "public-key": ("ed25519:" + "0b3e" * 16 + " (key id " + "0b3e" * 4 + ")\n").encode(),
        "hashed-manifest": ("a.pak,10,5,0," + "ab" * 32 + "\n\nb.pak,1,1,1," + "cd" * 32).encode(),
        "patch-index": ("brightwick-patches 1\nmaps/a.pak,1000,-5," + "ab" * 32 +
                        ",update.d/patches/" + "cd" * 32 + ".vcdiff,40," + "cd" * 32 + "\n").encode(),
        # Dots inside a component, which the reader refuses.
        "patch-index-dots": ("brightwick-patches 1\nmaps/a.pak,1000,-5," + "ab" * 32 +
                             ",update.d/patches/cd..cd.vcdiff,40," + "cd" * 32 + "\n").encode(),
    }


def vcdiff_integer(value):
    """A VCDIFF integer (RFC 3284, 2.2): base 128, most significant first."""
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.insert(0, 0x80 | (value & 0x7F))
        value >>= 7
    return bytes(out)


def vcdiff_window(source_length, instructions, target, checksum=True):
    """One window copying from the whole base (when source_length is not
    None): instructions are ("add", bytes), ("run", byte, size) or ("copy",
    address, size), written with the default code table's size-follows
    opcodes and absolute (VCD_SELF) addresses."""
    data, inst, addr = b"", b"", b""
    for op in instructions:
        if op[0] == "add":
            data += op[1]
            inst += bytes([1]) + vcdiff_integer(len(op[1]))
        elif op[0] == "run":
            data += bytes([op[1]])
            inst += bytes([0]) + vcdiff_integer(op[2])
        else:
            inst += bytes([19]) + vcdiff_integer(op[2])
            addr += vcdiff_integer(op[1])
    indicator = (1 if source_length is not None else 0) | (4 if checksum else 0)
    out = bytes([indicator])
    if source_length is not None:
        out += vcdiff_integer(source_length) + vcdiff_integer(0)
    body = (vcdiff_integer(len(target)) + b"\0" + vcdiff_integer(len(data)) +
            vcdiff_integer(len(inst)) + vcdiff_integer(len(addr)))
    if checksum:
        body += struct.pack(">I", zlib.adler32(target))
    body += data + inst + addr
    return out + vcdiff_integer(len(body)) + body


def brightwick_patch(base, target, windows, length=None, crc=None):
    """A patch as brightwick-pack writes them: the VCDIFF header with the
    application header (base length, target length, target CRC-32)."""
    app = b"BWP1" + struct.pack("<QQI", len(base), len(target) if length is None else length,
                                zlib.crc32(target) if crc is None else crc)
    return b"\xd6\xc3\xc4\x00\x04" + vcdiff_integer(len(app)) + app + b"".join(windows)


def patch_seeds():
    """Inputs of patch_fuzz: two bytes of output bound, then a patch for
    its fixed base (pseudo_random(64 KiB, 777))."""
    base = pseudo_random(64 * 1024, 777)
    n = len(base)

    def bound(limit):
        return struct.pack("<H", min((limit - 1) // 16, 0xFFFF))

    def seed(instructions_per_window, limit=1 << 20, **kwargs):
        windows, target = [], b""
        for instructions in instructions_per_window:
            piece = b""
            for op in instructions:
                if op[0] == "add":
                    piece += op[1]
                elif op[0] == "run":
                    piece += bytes([op[1]]) * op[2]
                else:  # a copy: from the base, or from this window beyond it
                    address, size = op[1], op[2]
                    for i in range(size):
                        at = address + i
                        piece += base[at:at + 1] if at < n else piece[at - n:at - n + 1]
            windows.append(vcdiff_window(n, instructions, piece))
            target += piece
        return bound(limit) + brightwick_patch(base, target, windows, **kwargs)

    text = b"tdx map level sprite sound\n" * 20
    edits = [("copy", 0, 10000), ("add", text), ("copy", 12000, 8000), ("run", 0x20, 300),
             ("copy", 50000, 15000)]
    target = base[:3000] + text
    return {
        "whole-base": seed([[("copy", 0, n)]]),
        "edits": seed([edits]),
        "windows": seed([edits[:2], edits[2:], [("copy", 100, 5000)]]),
        "moved": seed([[("copy", 40000, 20000), ("copy", 0, 20000), ("copy", 60000, 5536)]]),
        "target-copy": seed([[("add", b"abcd"), ("copy", n, 4000), ("copy", 10, 10)]]),
        "add-only": bound(1 << 20) + brightwick_patch(
            base, text, [vcdiff_window(None, [("add", text)], text)]),
        "empty": bound(16) + brightwick_patch(base, b"", [vcdiff_window(None, [], b"")]),
        "no-checksum": bound(1 << 20) + brightwick_patch(
            base, target, [vcdiff_window(n, [("copy", 0, 3000), ("add", text)], target, False)]),
        "over-bound": seed([edits], limit=1000),
        "wrong-length": seed([edits], length=100),
        "wrong-crc": seed([edits], crc=1),
        # A source window announced past the base's end, copied from there.
        "past-base": bound(1 << 20) + brightwick_patch(
            base, b"\0" * 50, [vcdiff_window(n + 100, [("copy", n - 10, 50)], b"\0" * 50)]),
    }


def edited_versions(base):
    """New versions of a patch target's base, as a publisher makes them:
    each (name, new bytes, target window in KiB)."""
    text = b"tdx map level sprite sound\n" * 40
    moved = base[40000:50000] + base[:40000] + base[50000:]
    periodic = base[:1000] + b"abcabcabd" * 300 + base[1000:30000]
    return [
        ("edits", base[:5000] + text + base[5100:30000] + pseudo_random(300, 9) + base[30300:], 4),
        ("inserted", base[:20000] + pseudo_random(5000, 3) + base[20000:], 1),
        ("deleted", base[:10000] + base[30000:], 64),
        ("moved", moved, 4),
        ("appended", base + text + pseudo_random(2000, 4), 1),
        ("periodic", periodic, 1),
        ("unrelated", pseudo_random(20000, 5) + text, 4),
        ("empty", b"", 1),
        ("one-byte", b"x", 1),
        ("same", base, 16),
    ]


def made_patches(maker, base):
    """(name, patch) made by the publisher's encoder from `base`."""
    patches = []
    with tempfile.TemporaryDirectory() as folder:
        old = os.path.join(folder, "old")
        with open(old, "wb") as f:
            f.write(base)
        for name, data, window in edited_versions(base):
            new, patch = os.path.join(folder, "new"), os.path.join(folder, "patch")
            with open(new, "wb") as f:
                f.write(data)
            subprocess.run([maker, "make", "--source-window", "1", "--target-window-kib",
                            str(window), old, new, patch], check=True, stdout=subprocess.DEVNULL)
            with open(patch, "rb") as f:
                patches.append(("made-" + name, f.read()))
    return patches


def vcdiff_seeds(hand_made, made):
    """Inputs of vcdiff_fuzz: a byte choosing the updater's base cache, then
    a patch for the same base as patch_fuzz's."""
    seeds = {name: bytes([index % 32]) + data[2:] for index, (name, data)
             in enumerate(sorted(hand_made.items()))}
    for index, (name, patch) in enumerate(made):
        seeds[name] = bytes([index * 7 % 32]) + patch
    return seeds


def bundle_index_seeds():
    """Indexes as the publisher writes them, and the edges the reader skips."""
    bundle = "bundle update.d/bundles/" + "ab" * 32 + ".bundle 9000\n"
    head = "brightwick-bundles 1\n"
    seeds = {
        "two": head + bundle + "member 0 4000 5a0c9e11 maps/a.txt\n"
               "member 4000 5000 0badf00d maps/b c.txt\n",
        "past_end": head + bundle + "member 8999 2 00000000 a\n",
        "outside": head + "bundle update.d/../x.bundle 10\nmember 0 1 00000000 a\n",
        "reserved": head + bundle + "member 0 1 00000000 update.dat\nmember 0 1 00000000 temp.ahead.1\n",
        "big": head + "bundle update.d/bundles/" + "cd" * 32 + ".bundle 9223372036854775807\n"
               "member 9223372036854775807 0 ffffffff z\n",
        "crlf": head.replace("\n", "\r\n") + bundle + "member 0 1 00000000 a\r\n",
    }
    return {name: text.encode() for name, text in seeds.items()}


def main():
    args = sys.argv[1:]
    maker = None
    if len(args) == 3 and args[1] == "--patch-maker":
        maker = args[2]
        args = args[:1]
    if len(args) != 1:
        sys.stderr.write(__doc__)
        return 2
    out = args[0]
    hand_made = patch_seeds()
    made = made_patches(maker, pseudo_random(64 * 1024, 777)) if maker else []
    patches = dict(hand_made)
    patches.update((name, struct.pack("<H", 0xFFFF) + patch) for name, patch in made)
    for target, seeds in (("manifest_fuzz", manifest_seeds()), ("inflate_fuzz", inflate_seeds()),
                          ("pack_fuzz", pack_seeds()), ("signature_fuzz", signature_seeds()),
                          ("bundle_index_fuzz", bundle_index_seeds()),
                          ("patch_fuzz", patches), ("vcdiff_fuzz", vcdiff_seeds(hand_made, made))):
        folder = os.path.join(out, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
