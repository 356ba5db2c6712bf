#!/usr/bin/env python3
"""Writes the files that bench/tables.sh reads into typed tables, each of
at least SIZE_MB megabytes (default 100), into OUT_DIR. The same seed gives
the same files.

    python3 bench/make_tables.py OUT_DIR [SIZE_MB] [--seed N] [--only numbers,text,cities]

numbers.csv  mostly numeric, 12 columns, about 95 bytes a record: five
             integer columns (the column "returns" with an empty cell in
             about one record of fifty), six float columns and one short
             text column.
text.csv     text-heavy, 5 columns, about 190 bytes a record: two quoted
             text columns whose cells hold commas, doubled quotes and, in
             about one record of four, a line break (LF), every cell unique
             (the record's counter is written into its words); and three
             numeric columns.
cities.csv   a real text-heavy file, Debian's worldcitiespop.csv from the
             package librust-csv-dev (the world's cities, 20,000 records),
             its data records repeated until the file is large enough, the
             header once. Skipped with a note when the package is absent.

Only the standard library is used.
"""
import argparse
import glob
import os
import random
import sys

CITIES = "/usr/share/cargo/registry/csv-1.1.6/examples/data/bench/worldcitiespop.csv"
CITIES_GLOB = "/usr/share/cargo/registry/csv-*/examples/data/bench/worldcitiespop.csv"

WORDS = ["amber", "basalt", "cedar", "delta", "ember", "fjord", "granite", "harbour", "indigo",
         "juniper", "kestrel", "lagoon", "meadow", "nectar", "orchid", "pebble", "quartz", "raven",
         "saffron", "thistle", "umber", "violet", "willow", "yarrow", "zephyr"]
CODES = ["AB", "XYZ", "Q", "LMNOP", "RS", "T"]

# Records are built into a list and written this many at a time.
CHUNK = 5_000


def write_until(path, header, size_bytes, make_record):
    """Writes header then make_record(k) for k = 0, 1, ... until the file
    holds size_bytes; returns the number of records."""
    written = 0
    k = 0
    with open(path, "w", newline="", encoding="utf-8") as out:
        out.write(header)
        written += len(header)
        while written < size_bytes:
            chunk = []
            for _ in range(CHUNK):
                chunk.append(make_record(k))
                k += 1
            text = "".join(chunk)
            out.write(text)
            written += len(text.encode("utf-8"))
    return k


def numbers(path, size_bytes, seed):
    rng = random.Random(seed)
    header = "id,qty,stock,year,returns,price,weight,score,ratio,lat,lon,code\n"

    def record(k):
        returns = "" if rng.random() < 0.02 else str(rng.randint(0, 50))
        return (f"{k},{rng.randint(0, 1000)},{rng.randint(-1_000_000, 1_000_000)},"
                f"{rng.randint(1990, 2029)},{returns},{rng.uniform(0, 1000):.2f},"
                f"{rng.gauss(50, 10):.6f},{rng.uniform(-1, 1):.6f},{rng.expovariate(1.0):.9g},"
                f"{rng.uniform(-90, 90):.5f},{rng.uniform(-180, 180):.5f},{rng.choice(CODES)}\n")

    return write_until(path, header, size_bytes, record)


def text(path, size_bytes, seed):
    rng = random.Random(seed + 1)
    header = "id,title,body,amount,votes\n"

    def words(low, high):
        return " ".join(rng.choice(WORDS) for _ in range(rng.randint(low, high)))

    def record(k):
        # The counter goes into the words so that no two cells are equal.
        title = f'{words(1, 3).title()} no. {k}, the ""{rng.choice(WORDS)}{k % 997}"" edition'
        body = f"{words(3, 9)}, lot {k:x}; {words(2, 6)}"
        if rng.random() < 0.25:
            body += f'\n""{words(1, 4)},"" said {rng.choice(WORDS)}-{k}'
        else:
            body += f', ref {rng.choice(WORDS)}-{k}'
        return (f'{k},"{title}","{body}",{rng.uniform(0, 10000):.2f},{rng.randint(-500, 5000)}\n')

    return write_until(path, header, size_bytes, record)


def cities_source(given):
    if given:
        return given if os.path.exists(given) else None
    if os.path.exists(CITIES):
        return CITIES
    found = sorted(glob.glob(CITIES_GLOB))
    return found[-1] if found else None


def cities(path, size_bytes, source):
    with open(source, "r", newline="", encoding="utf-8") as f:
        header = f.readline()
        body = f.read()
    if not body.endswith("\n"):
        body += "\n"
    records = body.count("\n")
    repeats = max(1, -(-(size_bytes - len(header.encode("utf-8"))) // len(body.encode("utf-8"))))
    with open(path, "w", newline="", encoding="utf-8") as out:
        out.write(header)
        for _ in range(repeats):
            out.write(body)
    return records * repeats


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out_dir")
    parser.add_argument("size_mb", nargs="?", type=float, default=100)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", default="numbers,text,cities",
                        help="comma-separated names among numbers, text, cities")
    parser.add_argument("--cities-source", default=None,
                        help="worldcitiespop.csv (default: librust-csv-dev's copy)")
    args = parser.parse_args()

    os.makedirs(args.out_dir, exist_ok=True)
    size_bytes = int(args.size_mb * 1_000_000)
    wanted = [name.strip() for name in args.only.split(",") if name.strip()]
    for name in wanted:
        path = os.path.join(args.out_dir, name + ".csv")
        if name == "numbers":
            rows = numbers(path, size_bytes, args.seed)
        elif name == "text":
            rows = text(path, size_bytes, args.seed)
        elif name == "cities":
            source = cities_source(args.cities_source)
            if source is None:
                print("cities.csv skipped: no worldcitiespop.csv "
                      "(apt-get install librust-csv-dev, or give --cities-source)", file=sys.stderr)
                continue
            rows = cities(path, size_bytes, source)
        else:
            parser.error(f"unknown file {name!r}")
        print(f"{path}: {rows} records, {os.path.getsize(path) / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
