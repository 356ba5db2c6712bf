#!/usr/bin/env python3
"""Writes a comma-separated file of at least SIZE_MB megabytes to PATH, one
product a line: short words, numbers and quoted text, mixed. No quoted
stretch holds a comma or a doubled quote, so every tool that splits on
commas finds the same fields. The same seed gives the same file.

    python3 bench/make_csv.py PATH [SIZE_MB]
"""
import random
import sys

WORDS = ["hoodie", "crop", "tee", "grey", "cotton", "blend", "slim", "fit", "wool", "linen",
         "summer", "winter", "classic", "zip", "hem", "drawstring", "organic", "recycled"]
SIZES = ["XS", "S", "M", "L", "XL"]


def words(rng, low, high):
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(low, high)))


def line(rng, k):
    return ",".join([
        f"SKU{k:08d}",
        words(rng, 1, 3).title(),
        f'"{words(rng, 1, 6)}"',
        rng.choice(SIZES),
        f"{rng.uniform(1, 500):.2f}",
        f'"{{{rng.choice(WORDS)}:{rng.random():.3f}}}"',
        str(rng.randint(0, 100000)),
        f"{rng.random():.6f}",
        f'"{words(rng, 0, 12)}"',
        rng.choice(["F", "M", "U"]),
    ])


def main():
    path, size_mb = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 100
    rng = random.Random(1)
    target, written, k = size_mb * 1000 * 1000, 0, 0
    with open(path, "w", newline="\n") as out:
        while written < target:
            chunk = "".join(line(rng, k + i) + "\n" for i in range(10000))
            k += 10000
            written += len(chunk)
            out.write(chunk)


if __name__ == "__main__":
    main()
