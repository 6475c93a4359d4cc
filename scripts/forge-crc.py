#!/usr/bin/env python3
"""What an attacker on the network can do to a file that only a CRC-32
protects (used by scripts/demo.sh to show that a signed updater refuses it).

Usage: forge-crc.py TAMPERED ORIGINAL OUT

Writes to OUT, as the zlib stream a served file is, the file TAMPERED (which
must have ORIGINAL's size) with its last four bytes changed so that its
CRC-32 equals ORIGINAL's.
"""
import sys
import zlib


def crc_with(data, x):
    return zlib.crc32(data[:-4] + x.to_bytes(4, "little"))


def forge(data, target):
    # The CRC is affine in the last four bytes over GF(2): solve bit by bit.
    base = crc_with(data, 0)
    rows = []  # (pivot column value, combination of unit vectors)
    for bit in range(32):
        column, mix = crc_with(data, 1 << bit) ^ base, 1 << bit
        for value, combo in rows:
            if column & value & -value:
                column, mix = column ^ value, mix ^ combo
        if column:
            rows.append((column, mix))
    want, x = target ^ base, 0
    for value, combo in rows:
        if want & value & -value:
            want, x = want ^ value, x ^ combo
    return data[:-4] + x.to_bytes(4, "little")


def main():
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    tampered = open(sys.argv[1], "rb").read()
    original = open(sys.argv[2], "rb").read()
    if len(tampered) != len(original) or len(original) < 4:
        sys.stderr.write("forge-crc.py: TAMPERED must have ORIGINAL's size\n")
        return 2
    forged = forge(tampered, zlib.crc32(original))
    assert zlib.crc32(forged) == zlib.crc32(original)
    open(sys.argv[3], "wb").write(zlib.compress(forged, 9))
    return 0


if __name__ == "__main__":
    sys.exit(main())
