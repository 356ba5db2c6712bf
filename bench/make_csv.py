#!/usr/bin/env python3
"""Writes a comma-separated file of at least SIZE_MB megabytes to PATH. The
same seed gives the same file.

    python3 bench/make_csv.py PATH [SIZE_MB] [products|short|quoted]

products (the default): one product a record, about 130 bytes: short words,
    numbers and quoted text, mixed. No quoted stretch holds a comma or a
    doubled quote, so every tool that splits on commas finds the same fields.
short: about 100 bytes a record, 12 fields, half of them numbers, no quotes.
quoted: cells quoted as spreadsheets export them, holding commas, LF, CR LF
    and doubled quotes; records end in LF or CR LF.
"""
import random
import sys

WORDS = ["hoodie", "crop", "tee", "grey", "cotton", "blend", "slim", "fit", "wool", "linen",
         "summer", "winter", "classic", "zip", "hem", "drawstring", "organic", "recycled"]
SIZES = ["XS", "S", "M", "L", "XL"]


def words(rng, low, high):
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(low, high)))


def product(rng, k):
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
    ]) + "\n"


def short(rng, k):
    fields = [f"{k:09d}", rng.choice(WORDS), str(rng.randint(0, 10**6)), words(rng, 1, 3),
              f"{rng.uniform(0, 1000):.4f}", rng.choice(WORDS).upper(), str(rng.randint(0, 10**9)),
              rng.choice(SIZES), f"{rng.random():.6f}", words(rng, 1, 2), str(rng.randint(0, 9999)),
              f"{rng.uniform(-500, 500):.3f}"]
    return ",".join(fields) + "\n"


def quoted(rng, k):
    def cell():
        text = words(rng, 1, 4)
        kind = rng.randint(0, 6)
        if kind == 0:
            return f'"{text}, {words(rng, 1, 2)}"'
        if kind == 1:
            return f'"{text}\n{words(rng, 1, 3)}"'
        if kind == 2:
            return f'"{text}\r\n{words(rng, 1, 2)}, {rng.randint(0, 99)}"'
        if kind == 3:
            return f'"{text}"'
        if kind == 4:
            return f'"{text} ""{rng.choice(WORDS)}"""'
        return text.replace(" ", "_")
    return ",".join([f"{k}"] + [cell() for _ in range(7)]) + rng.choice(["\n", "\r\n"])


def main():
    path = sys.argv[1]
    size_mb = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    make = {"products": product, "short": short, "quoted": quoted}[sys.argv[3] if len(sys.argv) > 3 else "products"]
    rng = random.Random(1)
    target, written, k = size_mb * 1000 * 1000, 0, 0
    with open(path, "w", newline="") as out:
        while written < target:
            chunk = "".join(make(rng, k + i) for i in range(10000))
            k += 10000
            written += len(chunk)
            out.write(chunk)


if __name__ == "__main__":
    main()
