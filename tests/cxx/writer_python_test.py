#!/usr/bin/env python3
"""Records written by csv_line::writer, read back by Python's csv module:
the hard cases (separators, doubled quotes, CR, LF, CR LF, UTF-8, empty
fields, a record of one empty field, spaces) and seeded random records of
the characters that matter, with the comma, ';', TAB and '|' as separator.

Usage: writer_python_test.py WRITE_FIELDS
"""
import csv
import io
import random
import subprocess
import sys

HARD = [
    ["plain", "two words", ""],
    ["a,b", "c;d", "e\tf", "g|h"],
    ['say "hi"', '"', '""', '"quoted"'],
    ["cr\rhere", "lf\nhere", "crlf\r\nhere", "\r", "\n"],
    [""],
    ["", ""],
    ["", "x", ""],
    [" lead", "trail ", "  "],
    ["\u00e9t\u00e9", "\u20ac5", "\U0001f600", "\u65e5\u672c"],
    ["ends with cr\r"],
]
ALPHABET = ["a", "Z", "0", ",", ";", "\t", "|", '"', "\r", "\n", " ", "\u00e9", "\u20ac", "''"]


def records(seed):
    rng = random.Random(seed)
    rows = [list(r) for r in HARD]
    for _ in range(500):
        rows.append(["".join(rng.choice(ALPHABET) for _ in range(rng.randrange(8)))
                     for _ in range(1 + rng.randrange(6))])
    return rows


def main():
    program = sys.argv[1]
    failures = 0
    for separator in [",", ";", "\t", "|"]:
        rows = records(len(separator) * ord(separator))
        given = [str(ord(separator))]
        for row in rows:
            given.append(" ".join("x" + field.encode().hex() for field in row))
        run = subprocess.run([program], input=("\n".join(given) + "\n").encode(), capture_output=True, check=False)
        if run.returncode != 0:
            print(f"FAIL: {program} exited {run.returncode}: {run.stderr.decode(errors='replace')}")
            return 1
        read = list(csv.reader(io.StringIO(run.stdout.decode(), newline=""), delimiter=separator, strict=True))
        if len(read) != len(rows):
            print(f"FAIL: separator {separator!r}: {len(rows)} records written, Python read {len(read)}")
            failures += 1
            continue
        for number, (want, got) in enumerate(zip(rows, read)):
            if want != got:
                print(f"FAIL: separator {separator!r}, record {number}: wrote {want!r}, Python read {got!r}")
                failures += 1
    if failures:
        return 1
    print("Python's csv module reads back every record written, with each separator")
    return 0


if __name__ == "__main__":
    sys.exit(main())
