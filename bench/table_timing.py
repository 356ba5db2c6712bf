#!/usr/bin/env python3
"""Times one Python reader of a whole file into a table, the way
bench/tables.sh times the other readers, and prints "best_seconds rows
checksum" (the checksum the sum of every integer and float column, empty
cells left out), or with COLUMN that column's sum, computed in the timed
call. The file is read once first, so that it is in the page cache; each
time is measured in this process with time.perf_counter, best of REPS.

    table_timing.py READER FILE THREADS REPS [COLUMN]

READER is one of
    pandas       pandas.read_csv (C engine, one thread; THREADS is ignored)
    read_pandas  csv_line.read_pandas(FILE, threads=THREADS)
    read_table   csv_line.read_table(FILE, threads=THREADS)
with COLUMN:
    pandas       pandas.read_csv(FILE, usecols=[COLUMN]), summed
    read_columns csv_line.read_columns(FILE, usecols=[COLUMN], threads=THREADS),
                 summed with numpy

Prints "ABSENT why" when the module has no such reader, "ERROR why" when
the reader fails. Column names and types go to standard error.

    table_timing.py --pick-column FILE

prints the name of a column to sum: the first whose cells, in the first
thousand records, are all numbers or empty, one at least with a decimal
point, else the first all-integer one.
"""
import sys
import time


def warm(path):
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def numeric_sum(values):
    """The sum of values as float64, NaN (empty cells) left out; None when
    the values are not integers or floats."""
    import numpy as np

    array = np.asarray(values)
    if array.dtype.kind not in "iuf":
        return None
    return float(np.nansum(array, dtype=np.float64))


def columns_of(table):
    """(name, values) of each column of what a reader returned: a pandas
    frame, a dict of arrays, or an object that converts to either."""
    if hasattr(table, "items") and not hasattr(table, "to_pandas"):
        return list(table.items())
    if hasattr(table, "to_pandas"):
        return list(table.to_pandas().items())
    if hasattr(table, "columns") and hasattr(table, "column_names"):
        return list(zip(table.column_names, table.columns))
    raise TypeError(f"cannot find the columns of a {type(table).__name__}")


def describe(name, columns):
    types = " ".join(f"{key}:{getattr(values, 'dtype', type(values).__name__)}" for key, values in columns)
    print(f"{name} types: {types}", file=sys.stderr)


def whole(reader, path, threads, reps):
    # Imported before the clock starts: read_pandas imports pandas on its
    # first call, and that is not reading the file.
    import pandas

    if reader == "pandas":
        def read():
            return pandas.read_csv(path)
    else:
        import csv_line

        function = getattr(csv_line, reader, None)
        if function is None:
            print(f"ABSENT csv_line has no {reader}")
            return 0

        def read():
            return function(path, threads=threads)

    warm(path)
    best = float("inf")
    table = None
    for _ in range(reps):
        table = None  # freed before the next is made: never two in memory at once
        start = time.perf_counter()
        table = read()
        best = min(best, time.perf_counter() - start)
    columns = columns_of(table)
    describe(reader, columns)
    rows = len(columns[0][1]) if columns else 0
    checksum = 0.0
    for _, values in columns:
        total = numeric_sum(values)
        if total is not None:
            checksum += total
    print(f"{best:.4f} {rows} {checksum!r}")
    return 0


def one_column(reader, path, threads, reps, column):
    import numpy as np

    if reader == "pandas":
        import pandas

        def read():
            values = pandas.read_csv(path, usecols=[column])[column].to_numpy()
            return len(values), float(np.nansum(values, dtype=np.float64))
    elif reader == "read_columns":
        import csv_line

        def read():
            values = csv_line.read_columns(path, usecols=[column], threads=threads)[column]
            return len(values), float(np.nansum(values, dtype=np.float64))
    else:
        print(f"ERROR no column reader {reader}")
        return 1

    warm(path)
    best = float("inf")
    rows, total = 0, 0.0
    for _ in range(reps):
        start = time.perf_counter()
        rows, total = read()
        best = min(best, time.perf_counter() - start)
    print(f"{best:.4f} {rows} {total!r}")
    return 0


def pick_column(path):
    import csv
    import itertools

    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        records = csv.reader(f)
        names = next(records, [])
        sample = list(itertools.islice(records, 1000))
    floats, integers = [], []
    for i, name in enumerate(names):
        cells = [r[i] for r in sample if i < len(r) and r[i] != ""]
        try:
            for cell in cells:
                float(cell)
        except ValueError:
            continue
        if cells:
            (floats if any("." in cell for cell in cells) else integers).append(name)
    chosen = (floats or integers or [""])[0]
    print(chosen)
    return 0 if chosen else 1


def main(argv):
    if len(argv) == 3 and argv[1] == "--pick-column":
        return pick_column(argv[2])
    if len(argv) not in (5, 6):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    reader, path, threads, reps = argv[1], argv[2], int(argv[3]), int(argv[4])
    try:
        if len(argv) == 6:
            return one_column(reader, path, threads, reps, argv[5])
        return whole(reader, path, threads, reps)
    except Exception as error:  # one line for the table, whatever failed
        print(f"ERROR {type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''}")
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
