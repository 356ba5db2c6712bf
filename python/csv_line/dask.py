"""Dask DataFrames of a CSV file whose partitions begin exactly at record
starts, so that no record is cut however its quoted cells break lines.

    import csv_line.dask
    frame = csv_line.dask.read_csv("big.csv", blocksize=64 << 20)
    frame.groupby("key").value.sum().compute()

The same call runs on a distributed cluster when every worker sees the
file at the same path (a shared file system): each partition is read by the
worker that computes it, from its own byte range.
"""
import math
import os

import dask.dataframe
import pandas
from dask.dataframe.utils import clear_known_categories

from . import sniff
from ._core import ranges, read_columns, reader


def _read_part(part, path, names, usecols, dtypes, objects, options):
    """One partition: the records of the byte range [start, end), whose
    first line is `line`; the first range reads the header first. Columns
    in `objects` are made objects whatever this range's cells are."""
    start, end, line = part
    header = start == 0
    columns = read_columns(path, usecols=usecols, dtypes=dtypes, byte_range=(start, end), header=header,
                           names=None if header else names, first_line=line, **options)
    for name in objects:
        columns[name] = columns[name].astype(object)
    return pandas.DataFrame(columns, copy=False)


def read_csv(path, blocksize=64 << 20, usecols=None, dtypes=None, **options):
    """A dask DataFrame of the CSV file at `path`, whose first record names
    the columns, in partitions of about `blocksize` bytes that each begin
    at a record.

    Columns are typed as the first partition types them, unless `dtypes`
    names them (as read_columns takes it); the other partitions are read
    as those types, so a cell that is not of its column's type raises
    csv_line.Error with its line. `options` go to read_columns (delimiter,
    strict, threads, dates, text, encoding, errors): with text="category"
    each partition has categories of its own. delimiter=None guesses it
    once, from the file's start. A compressed file (gzip or zstd) is one
    partition: its bytes cannot be cut at records."""
    path = os.fspath(path)
    if not blocksize > 0:
        raise ValueError(f"blocksize must be a positive number of bytes, not {blocksize!r}")
    size = os.path.getsize(path)
    with open(path, "rb") as file:
        magic = file.read(4)
    if "delimiter" in options and options["delimiter"] is None:
        # Guessed once, from the file's start: every partition reads by it.
        options = dict(options, delimiter=sniff(path).delimiter)
    if magic[:2] == b"\x1f\x8b" or magic == b"\x28\xb5\x2f\xfd":
        # A compressed file's bytes are no records: it is read whole, as
        # one partition.
        parts = [(0, size, 1)]
    else:
        # A partition holds a byte at least: a blocksize under one asks for no more.
        count = max(1, min(math.ceil(size / blocksize), size))
        parts = [part for part in ranges(path, count, lines=True) if part[0] < part[1]] or [(0, 0, 1)]
    names = next(reader(path, delimiter=options.get("delimiter", ","), encoding=options.get("encoding"),
                        errors=options.get("errors")), [])
    columns = read_columns(path, usecols=usecols, dtypes=dtypes, byte_range=parts[0][:2], **options)
    # Each column's type as read_columns gives it (pandas makes every
    # datetime64 nanoseconds): text is read as text everywhere; booleans
    # with a missing cell (objects: True, False and NaN) are read as they
    # come and made objects.
    kinds, flags = {}, []
    for name, column in columns.items():
        if isinstance(column, pandas.Categorical):
            kinds[name] = str
        elif column.dtype != object:
            kinds[name] = column.dtype
        elif all(isinstance(cell, bool) or cell != cell for cell in column):
            flags.append(name)
        else:
            kinds[name] = str
    first = pandas.DataFrame(columns, copy=False)
    return dask.dataframe.from_map(_read_part, parts, path=path, names=names, usecols=list(first.columns),
                                   dtypes=kinds, objects=flags, options=options,
                                   meta=clear_known_categories(first.iloc[:0]), enforce_metadata=False,
                                   label="csv_line-read-csv")
