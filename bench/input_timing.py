#!/usr/bin/env python3
"""Times reading a file as it comes against reading it plain: csv_cut and
read_columns on the file compressed with gzip and zstd and in UTF-16, beside
the decompressors alone (gzip -dc and zstd -dc to /dev/null) and the plain
file. Each figure is the best of RUNS, the files in the page cache.

    python3 bench/input_timing.py BUILD_DIR PLAIN.csv [RUNS]

BUILD_DIR holds programs/csv_cut/csv_cut and the Python module (a release
build with CSV_LINE_BUILD_PYTHON=ON). PLAIN.csv.gz, PLAIN.csv.zst and the
UTF-16 file PLAIN.csv.utf16 are made beside PLAIN.csv when missing.
"""
import os
import subprocess
import sys
import time


def best(runs, work):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def run(command):
    with open(os.devnull, "wb") as sink:
        subprocess.run(command, stdout=sink, check=True)


def made(path, command):
    if not os.path.exists(path):
        with open(path, "wb") as out:
            subprocess.run(command, stdout=out, check=True)
    return path


def main():
    build, plain = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    sys.path.insert(0, os.path.join(build, "python"))
    import csv_line

    gz = made(plain + ".gz", ["gzip", "-6", "-c", plain])
    zst = made(plain + ".zst", ["zstd", "-3", "-q", "-c", plain])
    utf16 = plain + ".utf16"
    if not os.path.exists(utf16):
        with open(plain, encoding="utf-8") as text, open(utf16, "w", encoding="utf-16") as out:
            out.write(text.read())
    cut = os.path.join(build, "programs", "csv_cut", "csv_cut")
    model = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    names = [line.split(":", 1)[1].strip() for line in model.splitlines()
             if line.startswith(("Model name", "CPU family", "Model:"))]
    print("processor:", ", ".join(names), "; cpus:", os.cpu_count(), "; best of", runs)

    figures = {}
    figures["gzip -dc"] = best(runs, lambda: run(["gzip", "-dc", gz]))
    figures["zstd -dc"] = best(runs, lambda: run(["zstd", "-dc", zst]))
    for name, path in (("plain", plain), ("gzip", gz), ("zstd", zst), ("UTF-16", utf16)):
        for jobs in (1, 2):
            figures[f"csv_cut -j{jobs} {name}"] = best(runs, lambda: run([cut, f"-j{jobs}", "-f", "1,6", path]))
        for threads in (1, 2):
            figures[f"read_columns {threads}t {name}"] = best(
                runs, lambda: csv_line.read_columns(path, header=False, threads=threads))
    for key, seconds in figures.items():
        print(f"{key:28s} {seconds:7.3f} s")

    def ratio(a, b):
        return figures[a] / figures[b]

    print("csv_cut gzip / gzip -dc:          %.2f (-j1), %.2f (-j2)" % (
        ratio("csv_cut -j1 gzip", "gzip -dc"), ratio("csv_cut -j2 gzip", "gzip -dc")))
    print("csv_cut zstd / zstd -dc:          %.2f (-j1), %.2f (-j2)" % (
        ratio("csv_cut -j1 zstd", "zstd -dc"), ratio("csv_cut -j2 zstd", "zstd -dc")))
    for threads in (1, 2):
        for name, alone in (("gzip", "gzip -dc"), ("zstd", "zstd -dc")):
            bound = max(figures[alone], figures[f"read_columns {threads}t plain"])
            print("read_columns %dt %s / max(%s, plain): %.2f" % (
                threads, name, alone, figures[f"read_columns {threads}t {name}"] / bound))
        print("read_columns %dt UTF-16 / plain:     %.2f" % (
            threads, ratio(f"read_columns {threads}t UTF-16", f"read_columns {threads}t plain")))
    for jobs in (1, 2):
        print("csv_cut -j%d UTF-16 / plain:        %.2f" % (
            jobs, ratio(f"csv_cut -j{jobs} UTF-16", f"csv_cut -j{jobs} plain")))


if __name__ == "__main__":
    main()
