#!/usr/bin/env python3
"""The converters against Python's codecs: random text encoded by Python
as UTF-16 (both byte orders), Latin-1 and Windows-1252 must come back as
the text's UTF-8; random bytes, damaged UTF-16 and UTF-8 among them, must
come back as Python decodes them with errors='replace'. Each input is fed
in blocks of several sizes, from one byte up.

Usage: transcode_python_test.py TRANSCODE_PRINT
"""

import random
import subprocess
import sys

PROGRAM = sys.argv[1]
BLOCK_SIZES = (1, 2, 3, 5, 64, 4099, 1 << 20)
CP1252 = [c for c in bytes(range(256)).decode("cp1252", "ignore")]


def converted(encoding, data, block_size):
    return subprocess.run([PROGRAM, encoding, str(block_size)], input=data, stdout=subprocess.PIPE,
                          check=True).stdout


def random_text(rng, length):
    """Mostly CSV-like ASCII, with characters from every plane."""
    out = []
    for _ in range(length):
        pick = rng.random()
        if pick < 0.7:
            out.append(rng.choice('abcxyz019,"\n\r '))
        elif pick < 0.8:
            out.append(chr(rng.randrange(0x80, 0x800)))
        elif pick < 0.9:
            c = rng.randrange(0x800, 0x10000 - 0x800)
            out.append(chr(c + 0x800 if c >= 0xD800 else c))
        else:
            out.append(chr(rng.randrange(0x10000, 0x110000)))
    return "".join(out)


def damaged(rng, data, count):
    data = bytearray(data)
    for _ in range(count):
        if data:
            data[rng.randrange(len(data))] = rng.randrange(256)
    if rng.random() < 0.5:
        data = data[: rng.randrange(len(data) + 1)]
    return bytes(data)


def main():
    rng = random.Random(20)
    failures = 0

    def expect(what, encoding, data, want):
        nonlocal failures
        for block_size in BLOCK_SIZES:
            got = converted(encoding, data, block_size)
            if got != want:
                failures += 1
                at = next((k for k in range(min(len(got), len(want))) if got[k] != want[k]),
                          min(len(got), len(want)))
                print(f"FAIL {what} as {encoding} in blocks of {block_size}: differs at byte {at}: "
                      f"{got[at:at + 12]!r} for {want[at:at + 12]!r}")
                return

    for round in range(4):
        text = random_text(rng, 3000)
        for codec in ("utf-16-le", "utf-16-be"):
            expect("random text", codec, text.encode(codec), text.encode("utf-8"))
            broken = damaged(rng, text.encode(codec), 40)
            expect("damaged UTF-16", codec + "-replace", broken,
                   broken.decode(codec, "replace").encode("utf-8"))
        latin1 = "".join(chr(rng.randrange(256)) for _ in range(3000))
        expect("random text", "latin-1", latin1.encode("latin-1"), latin1.encode("utf-8"))
        cp1252 = "".join(rng.choice(CP1252) for _ in range(3000))
        expect("random text", "cp1252", cp1252.encode("cp1252", "strict"), cp1252.encode("utf-8"))
        broken = damaged(rng, text.encode("utf-8"), 60)
        expect("damaged UTF-8", "utf-8-replace", broken, broken.decode("utf-8", "replace").encode("utf-8"))
        noise = bytes(rng.randrange(256) for _ in range(3000))
        expect("random bytes", "utf-8-replace", noise, noise.decode("utf-8", "replace").encode("utf-8"))
        expect("random bytes", "utf-16-le-replace", noise, noise.decode("utf-16-le", "replace").encode("utf-8"))

    # Short UTF-16 of surrogates in every order, and odd ends, where
    # replacement meets the end of the input.
    units = [0x41, 0xE9, 0xD800, 0xDBFF, 0xDC00, 0xDFFF]
    for _ in range(60):
        data = b"".join(rng.choice(units).to_bytes(2, "little") for _ in range(rng.randrange(4)))
        data += bytes(rng.randrange(256) for _ in range(rng.randrange(2)))
        want = data.decode("utf-16-le", "replace").encode("utf-8")
        for block_size in (1, 64):
            if converted("utf-16-le-replace", data, block_size) != want:
                failures += 1
                print(f"FAIL {data!r} as utf-16-le-replace in blocks of {block_size}")

    if failures:
        sys.exit(1)
    print("the converters agree with Python's codecs")


main()
