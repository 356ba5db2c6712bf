#!/usr/bin/env python3
"""A file whose quoted cells hold line breaks, read by Dask in partitions
that begin at records, on a local cluster of worker processes; printed: the
partitions' byte ranges and lines, and the frame against pandas' reading
of the whole file, and Dask's own reader at the same blocksize.

    PYTHONPATH=build/dev/python /usr/bin/python3 examples/python/dask_partitions.py [ROWS] [BLOCKSIZE]
"""
import csv
import os
import random
import sys
import tempfile

import dask.dataframe
import distributed
import pandas

import csv_line
import csv_line.dask


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    blocksize = int(sys.argv[2]) if len(sys.argv) > 2 else 16384
    rng = random.Random(1)
    path = os.path.join(tempfile.mkdtemp(), "notes.csv")
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["id", "note", "amount"])
        for k in range(rows):
            writer.writerow([k, rng.choice(["paid", "refund\nrequested", 'said "ok"', "a, b"]), k * 1.25])
    size = os.path.getsize(path)
    print(f"{path}: {size} bytes, {rows} records, blocks of {blocksize}")
    count = -(-size // blocksize)
    for start, end, line in csv_line.ranges(path, count, lines=True):
        print(f"  partition {start:>7}-{end:<7} from line {line}")

    want = pandas.read_csv(path, keep_default_na=False, na_values=[""], float_precision="round_trip")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        frame = csv_line.dask.read_csv(path, blocksize=blocksize)
        got = frame.compute().reset_index(drop=True)
        print(f"csv_line.dask.read_csv: {frame.npartitions} partitions, {len(got)} rows, "
              f"equal to pandas.read_csv: {got.equals(want)}")
        print(got.groupby("note").amount.sum().to_string())
        try:
            theirs = dask.dataframe.read_csv(path, blocksize=blocksize).compute().reset_index(drop=True)
            print(f"dask.dataframe.read_csv: {len(theirs)} rows, equal to pandas.read_csv: {theirs.equals(want)}")
        except Exception as error:  # records cut at raw line feeds
            print(f"dask.dataframe.read_csv failed: {type(error).__name__}: {str(error).splitlines()[0]}")


if __name__ == "__main__":
    main()
