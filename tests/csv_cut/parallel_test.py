#!/usr/bin/env python3
"""csv_cut on several threads gives what it gives on one, byte for byte:
the output, the messages and the exit status, from a file and from a
pipe, at every thread count from 1 to 8, with parts forced small so that
their edges fall everywhere: inside quotes, between a CR and its LF,
inside a doubled quote, on a file's first and last byte, records that
span many parts. Well-formed files
are also read with Python's csv module, and the byte ranges --ranges
prints, cut one by one with --range and put together, give the whole
file's output. Each way of writing (CSV, --complement, a header, another
separator) gives the same bytes on three threads as on one, and CSV
output reads back to the same values in Python's csv module and in
csv_cut itself.

    parallel_test.py CSV_CUT [--quick]
"""
import csv
import io
import os
import random
import subprocess
import sys
import tempfile

WORDS = ["hoodie", "crop", "tee", "grey", "cotton", "slim", "fit", "wool", "zip", "hem"]


def cell(rng, quoted):
    text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(0, 3)))
    if not quoted:
        return text
    pick = rng.randint(0, 7)
    if pick == 0:
        text += "\n" + rng.choice(WORDS)
    elif pick == 1:
        text += ' ""' + rng.choice(WORDS) + '""'
    elif pick == 2:
        text += ", " + rng.choice(WORDS)
    elif pick == 3:
        text += "\r\n"
    return '"' + text + '"'


def records(rng, count, ending="\n"):
    rows = []
    for k in range(count):
        fields = [str(k)] + [cell(rng, rng.random() < 0.6) for _ in range(rng.randint(0, 7))]
        rows.append(",".join(fields) + (ending if rng.random() < 0.8 else "\r\n"))
    return "".join(rows)


def inputs(rng):
    """Name, bytes and whether Python's csv module reads them as csv_cut does."""
    yield "quoted records with line breaks", records(rng, 300).encode(), True
    yield "no LF at the end", records(rng, 40).rstrip("\r\n").encode(), True
    yield "a byte-order mark", b"\xef\xbb\xbf" + records(rng, 60).encode(), True
    yield "empty", b"", True
    yield "one LF", b"\n", False
    yield "only quotes and LFs", "".join(rng.choice('"\n,') for _ in range(500)).encode(), False
    yield "malformed fields", (records(rng, 50) + '12"" pipe,x\n"closed"after,y\n' + records(rng, 50)).encode(), False
    yield "a quote open at the end", (records(rng, 80) + 'a,"open\n' + records(rng, 20)).encode(), False
    long_cell = "x" * 3000
    yield "records longer than many parts", (records(rng, 30) + 'a,"' + long_cell + '\n"\n' +
                                                 records(rng, 30) + long_cell + "\n" + records(rng, 30)).encode(), True
    yield "a record of 5000 fields", (records(rng, 10) + ",".join(["f"] * 5000) + "\n" + records(rng, 10)).encode(), False


# Ways of writing, each run on three threads against one.
MODES = [["--csv"], ["--complement"], ["-H"], ["-H", "--csv", "--output-delimiter=;"], ["-d", ";"]]
QUICK_MODES = [["--complement"], ["-H", "--csv", "--output-delimiter=;"]]


def run(args, stdin_file=None, data=None, env=None):
    proc = subprocess.run(args, stdin=stdin_file, input=data, capture_output=True, env=env)
    return proc.returncode, proc.stdout, proc.stderr


def compare(csv_cut, args, threads, path, data, env, want=None):
    """Runs csv_cut with args at -j1 and at `threads`, from the file and
    from a pipe; returns what differs."""
    if want is None:
        want = run([csv_cut, "-j", "1"] + args + [path])
    failures = []
    for how, got in [("file", run([csv_cut, "-j", str(threads)] + args + [path], env=env)),
                     ("pipe", run([csv_cut, "-j", str(threads)] + args, data=data, env=env))]:
        if how == "pipe":  # messages name the input
            got = (got[0], got[1], got[2].replace(b"standard input", path.encode()))
        if got != want:
            what = "status" if got[0] != want[0] else "output" if got[1] != want[1] else "messages"
            failures.append(f"{' '.join(args)} -j {threads} from a {how}, parts of {env['CSV_LINE_PART_SIZE']}: "
                            f"{what} differ from -j 1: {got[0]} {got[2][:200]!r}")
    return failures


def read_back(csv_cut, name, data, path, tsv):
    """Fields 2- as TSV, as CSV read by Python's csv module, and as CSV
    read again by csv_cut, against Python's reading of the input."""
    rows = [row[1:] for row in csv.reader(io.StringIO(data.decode("utf-8-sig"), newline=""))]
    python = "".join("\t".join(c.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
                                .replace("\r", "\\r") for c in row) + "\n" for row in rows)
    failures = []
    if tsv != python.encode():
        failures.append(f"{name}: -f 2- differs from Python's csv module")
    status, written, _ = run([csv_cut, "-j", "1", "--csv", "-f", "2-", path])
    if status != 0 or list(csv.reader(io.StringIO(written.decode(), newline=""))) != [r for r in rows]:
        failures.append(f"{name}: --csv -f 2- does not read back in Python's csv module as the input's fields")
    if run([csv_cut, "-j", "1", "-f", "1-"], data=written)[1] != tsv:
        failures.append(f"{name}: --csv -f 2- read back by csv_cut gives other fields")
    return failures


def main():
    csv_cut, quick = sys.argv[1], "--quick" in sys.argv
    rng = random.Random(7)
    failures = []
    with tempfile.TemporaryDirectory() as work:
        for name, data, well_formed in inputs(rng):
            path = os.path.join(work, "input.csv")
            with open(path, "wb") as out:
                out.write(data)
            for fields in ["1,3", "2-", "1"]:
                want = run([csv_cut, "-j", "1", "-f", fields, path])
                if well_formed and fields == "2-":
                    failures += read_back(csv_cut, name, data, path, want[1])
                # Every thread count on one list; the others at three.
                parts = [1, 2, 7, 64] if fields == "1,3" else [3, 64]
                for part in parts if not quick else [p for p in parts if p >= 7] or [64]:
                    env = dict(os.environ, CSV_LINE_PART_SIZE=str(part))
                    counts = range(2, 9) if fields == "1,3" and part in (7, 64) else [3]
                    for threads in counts if not quick else [3]:
                        failures += compare(csv_cut, ["-f", fields], threads, path, data, env, want)
                        if fields == "1,3" and part == 7 and threads == 3:
                            for mode in MODES if not quick else QUICK_MODES:
                                failures += compare(csv_cut, mode + ["-f", fields], threads, path, data, env)
            whole = run([csv_cut, "-j", "1", "-f", "1,3", path])
            for n in [1, 2, 3, 5, 17] if not quick else [3]:
                status, ranges, _ = run([csv_cut, "--ranges", str(n), path])
                pairs = [tuple(map(int, line.split())) for line in ranges.decode().splitlines()]
                if status != 0 or len(pairs) != n or pairs[0][0] != 0 or pairs[-1][1] != len(data) or \
                        any(a[1] != b[0] or a[0] > a[1] for a, b in zip(pairs, pairs[1:])):
                    failures.append(f"{name}: --ranges {n} printed {ranges[:200]!r}")
                    continue
                # With a header, the first range prints the names.
                for mode in [[], ["-H", "--csv"]] if n == 3 else [[]]:
                    parts = [run([csv_cut, "--range", f"{a}-{b}", "-f", "1,3"] + mode + [path]) for a, b in pairs]
                    joined = (max(p[0] for p in parts), b"".join(p[1] for p in parts), b"".join(p[2] for p in parts))
                    if joined != (run([csv_cut, "-j", "1", "-f", "1,3"] + mode + [path]) if mode else whole):
                        failures.append(f"{name}: the {n} ranges cut one by one {' '.join(mode)} give other bytes "
                                        "than the whole file")
    for failure in failures[:20]:
        print("FAIL:", failure)
    if not failures:
        print("csv_cut on several threads: all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
