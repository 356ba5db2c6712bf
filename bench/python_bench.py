#!/usr/bin/env python3
"""Times the Python module against what a Python user reaches for instead,
on generated files, and prints Markdown tables with the machine:

- csv_line.reader against csv.reader (rows of str, one thread), on the
  products, short and quoted files of bench/make_csv.py;
- read_columns of every column of a mostly numeric file against
  pandas.read_csv (C engine), on one thread and on two, and its time on
  two threads as a share of one thread's (the target: 0.65 at most);
- one partition of the quoted file read by read_columns against
  pandas.read_csv of the same byte range;
- csv_line.dask.read_csv of the quoted file on a LocalCluster of one worker
  process and of two (every partition read whole), after checking that the
  frame equals pandas.read_csv of the whole file.

Each figure is the best of RUNS runs. Before timing, each pair is checked
to give the same rows or columns.

    PYTHONPATH=build/bench/python /usr/bin/python3 bench/python_bench.py [SIZE_MB] [WORK_DIR] [RUNS]
"""
import csv
import io
import os
import platform
import subprocess
import sys
import time

import numpy as np
import pandas

import csv_line
import csv_line.dask

HERE = os.path.dirname(os.path.abspath(__file__))


def best(runs, work):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def made(path, size_mb, kind):
    if not os.path.exists(path):
        subprocess.run([sys.executable, os.path.join(HERE, "make_csv.py"), path, str(size_mb), kind], check=True)
    return path


def numeric_file(path, size_mb):
    """Eight numeric columns (four int64, four float64), a bool and a short
    text column, about 100 bytes a record."""
    if os.path.exists(path):
        return path
    rng = np.random.default_rng(1)
    rows = size_mb * 1_000_000 // 100 + 1
    with open(path, "w", newline="") as out:
        out.write("id,qty,stock,year,price,weight,score,ratio,active,code\n")
        for start in range(0, rows, 200_000):
            n = min(200_000, rows - start)
            frame = pandas.DataFrame({
                "id": np.arange(start, start + n), "qty": rng.integers(0, 1000, n),
                "stock": rng.integers(-10**6, 10**6, n), "year": rng.integers(1990, 2030, n),
                "price": np.round(rng.uniform(0, 1000, n), 2), "weight": rng.normal(50, 10, n),
                "score": np.round(rng.uniform(-1, 1, n), 6), "ratio": rng.exponential(1.0, n),
                "active": rng.integers(0, 2, n).astype(bool), "code": rng.choice(["AB", "XYZ", "Q", "LMNOP"], n)})
            frame.to_csv(out, header=False, index=False, float_format="%.10g")
    return path


def count_rows(rows):
    n = 0
    for _ in rows:
        n += 1
    return n


def machine():
    model = family = number = "?"
    with open("/proc/cpuinfo") as info:
        for line in info:
            key, _, value = line.partition(":")
            key, value = key.strip(), value.strip()
            if key == "model name":
                model = value
            elif key == "cpu family":
                family = value
            elif key == "model":
                number = value
            if model != "?" and number != "?" and family != "?":
                break
    flags = open("/proc/cpuinfo").read()
    simd = "AVX-512" if " avx512bw" in flags else "AVX2" if " avx2" in flags else "no AVX2"
    return (f"{model} (family {family}, model {number}, {simd}); {os.cpu_count()} cores; "
            f"Python {platform.python_version()}, pandas {pandas.__version__}, numpy {np.__version__}")


def main():
    size_mb = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    work = sys.argv[2] if len(sys.argv) > 2 else "/tmp/csv_line_python_bench"
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    os.makedirs(work, exist_ok=True)
    if len(sys.argv) > 4:
        SECTIONS[sys.argv[4]](size_mb, work, runs)
        return
    print(f"Machine: {machine()}")
    print(f"Date: {time.strftime('%Y-%m-%d', time.gmtime())}; files of {size_mb} MB in the page cache; best of {runs}.")
    # Each section in a process of its own, so that none times the memory
    # another left behind.
    for section in SECTIONS:
        sys.stdout.flush()
        subprocess.run([sys.executable, __file__, str(size_mb), work, str(runs), section], check=True)


def rows_section(size_mb, work, runs):
    print("\n### Rows of str, one thread\n")
    print("| file | records | csv.reader s | csv_line.reader s | ratio |")
    print("|---|---:|---:|---:|---:|")
    for kind in ["products", "short", "quoted"]:
        path = made(os.path.join(work, f"{kind}.csv"), size_mb, kind)
        with open(path, newline="") as text:
            python = list(csv.reader(text))
        if list(csv_line.reader(path)) != python:
            sys.exit(f"{kind}: csv_line.reader differs from csv.reader")
        del python
        theirs = best(runs, lambda: count_rows(csv.reader(open(path, newline=""))))
        ours = best(runs, lambda: count_rows(csv_line.reader(path)))
        print(f"| {kind} | {count_rows(csv_line.reader(path))} | {theirs:.3f} | {ours:.3f} | {theirs / ours:.1f}× |")


def columns_section(size_mb, work, runs):
    print("\n### Every column of a mostly numeric file as arrays\n")
    path = numeric_file(os.path.join(work, "numeric.csv"), size_mb)
    want = pandas.read_csv(path, float_precision="round_trip")
    pandas.testing.assert_frame_equal(csv_line.read_pandas(path, threads=2), want, check_exact=True)
    del want
    theirs = best(runs, lambda: pandas.read_csv(path))
    print("| reader | threads | s | pandas.read_csv / it | s / one thread's |")
    print("|---|---:|---:|---:|---:|")
    print(f"| pandas.read_csv (C engine) | 1 | {theirs:.3f} | 1.0× | |")
    one = None
    for threads in (1, 2):
        ours = best(runs, lambda: csv_line.read_columns(path, threads=threads))
        one = one or ours
        print(f"| csv_line.read_columns | {threads} | {ours:.3f} | {theirs / ours:.1f}× | {ours / one:.2f} |")


def partition_section(size_mb, work, runs):
    quoted = made(os.path.join(work, "quoted.csv"), size_mb, "quoted")
    size = os.path.getsize(quoted)
    parts = csv_line.ranges(quoted, 8, lines=True)
    names = next(csv_line.reader(quoted))
    start, end, line = parts[3]
    with open(quoted, "rb") as data:
        data.seek(start)
        piece = data.read(end - start)
    ours = best(runs, lambda: csv_line.read_columns(quoted, header=False, names=names, byte_range=(start, end),
                                                    first_line=line))
    theirs = best(runs, lambda: pandas.read_csv(io.BytesIO(piece), header=None, names=names))
    print(f"\n### One partition of the quoted file ({(end - start) / 1e6:.1f} MB)\n")
    print("| reader | s |\n|---|---:|")
    print(f"| pandas.read_csv of its bytes | {theirs:.3f} |\n| csv_line.read_columns of its range | {ours:.3f} |")


def dask_section(size_mb, work, runs):
    quoted = made(os.path.join(work, "quoted.csv"), size_mb, "quoted")
    size = os.path.getsize(quoted)
    import dask
    import distributed
    blocksize = max(1 << 20, size // 16)
    frame = csv_line.dask.read_csv(quoted, blocksize=blocksize)
    want = pandas.read_csv(quoted, keep_default_na=False, na_values=[""], float_precision="round_trip")
    got = frame.compute(scheduler="threads").reset_index(drop=True)
    pandas.testing.assert_frame_equal(got, want, check_exact=True)
    del got, want
    print(f"\n### csv_line.dask.read_csv of the quoted file ({size / 1e6:.0f} MB, {frame.npartitions} partitions, "
          "the frame checked equal to pandas.read_csv first)\n")
    print("| workers (processes, 1 thread each) | s | speed-up |\n|---:|---:|---:|")
    one = None
    for workers in (1, 2):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            def count():
                # New keys each time: nothing computed before is taken again.
                rows = dask.delayed(sum, pure=False)([dask.delayed(len, pure=False)(part)
                                                      for part in frame.to_delayed()])
                return client.compute(rows).result()
            count()  # workers warm, modules imported
            took = best(runs, count)
        one = one or took
        print(f"| {workers} | {took:.3f} | {one / took:.2f}× |")


SECTIONS = {"rows": rows_section, "columns": columns_section, "partition": partition_section, "dask": dask_section}

if __name__ == "__main__":
    main()
