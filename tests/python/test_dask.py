"""csv_line.dask.read_csv against pandas.read_csv of the whole file, on a
file whose quoted line breaks fall at block edges: on the threaded
scheduler and on a local cluster of worker processes, at several
blocksizes, where Dask's own read_csv breaks records."""
import csv
import io
import os
import random

import dask
import dask.dataframe
import pandas
import pytest

import csv_line
import csv_line.dask

BLOCKSIZES = [700, 4096, 50000]


@pytest.fixture(scope="module")
def quoted_file(tmp_path_factory):
    rng = random.Random(9)
    out = io.StringIO(newline="")
    writer = csv.writer(out)
    writer.writerow(["id", "note", "price", "flag"])
    for k in range(3000):
        note = rng.choice(["plain", "two\nlines", "a, comma", 'a "quote"', "many\n\n\nbreaks", ""])
        writer.writerow([k, note, round(rng.uniform(0, 100), 3), rng.choice(["True", "False"])])
    path = tmp_path_factory.mktemp("dask") / "quoted.csv"
    path.write_text(out.getvalue(), newline="")
    return str(path)


def whole(path):
    return pandas.read_csv(path, keep_default_na=False, na_values=[""], float_precision="round_trip")


def assert_same(frame, want):
    pandas.testing.assert_frame_equal(frame.reset_index(drop=True), want, check_exact=True)


def test_partitions_begin_at_records_at_every_blocksize(quoted_file):
    want = whole(quoted_file)
    size = os.path.getsize(quoted_file)
    for blocksize in BLOCKSIZES:
        frame = csv_line.dask.read_csv(quoted_file, blocksize=blocksize)
        assert frame.npartitions == -(-size // blocksize) or blocksize < 1000
        with dask.config.set(scheduler="threads"):
            assert_same(frame.compute(), want)
            assert frame.price.sum().compute() == pytest.approx(want.price.sum())


def test_dasks_own_reader_breaks_these_records(quoted_file):
    want = whole(quoted_file)
    for blocksize in BLOCKSIZES[:2]:
        try:
            theirs = dask.dataframe.read_csv(quoted_file, blocksize=blocksize).compute(scheduler="threads")
        except Exception:  # e.g. "EOF inside string", or mismatched dtypes
            continue
        assert not theirs.reset_index(drop=True).equals(want)


def test_a_local_cluster_of_processes_reads_the_same_frame(quoted_file):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        frame = csv_line.dask.read_csv(quoted_file, blocksize=4096)
        assert_same(client.compute(frame).result(), whole(quoted_file))


def test_a_bad_cell_in_a_later_partition_names_its_line(tmp_path):
    path = tmp_path / "bad.csv"
    path.write_text("a,b\n" + "".join(f"{k},\"x\ny\"\n" for k in range(500)) + "oops,z\n")
    frame = csv_line.dask.read_csv(path, blocksize=1000)
    assert frame.npartitions > 3
    with pytest.raises(csv_line.Error, match="line 1002: column 'a': 'oops' is not an int64"):
        frame.compute(scheduler="threads")


def test_booleans_with_a_missing_cell_stay_booleans_in_every_partition(tmp_path):
    # The first partition's booleans have a missing cell (objects); later
    # partitions have none, or only missing cells.
    rows = ["id,flag"] + [f"{k},{'' if k == 3 else ('True' if k % 2 else 'False')}" for k in range(600)]
    rows += [f"{k}," for k in range(600, 700)]
    path = tmp_path / "flags.csv"
    path.write_text("\n".join(rows) + "\n")
    frame = csv_line.dask.read_csv(path, blocksize=1000)
    assert frame.npartitions > 3
    assert_same(frame.compute(scheduler="threads"), whole(str(path)))


def test_regression_a_partition_beginning_at_a_record_that_begins_with_u_feff_kept_it(tmp_path):
    # A reader drops a byte-order mark at its start; a partition's first
    # record is not the file's start.
    path = tmp_path / "marks.csv"
    path.write_text("id,name\n" + "".join(f"\ufeff{k},\ufeffn{k}\n" for k in range(300)), encoding="utf-8")
    frame = csv_line.dask.read_csv(path, blocksize=500)
    assert frame.npartitions > 3
    assert_same(frame.compute(scheduler="threads"), whole(str(path)))


def test_dates_and_categories_are_typed_alike_in_every_partition(tmp_path):
    # Each partition's categories are its own; the frame's values are the
    # whole file's, and its dates are dates in every partition.
    rows = ["id,day,at,color"] + [f"{k},2024-01-{k % 28 + 1:02d},2024-02-01T10:{k % 60:02d}:00+01:00,"
                                  f"{['red', 'green', '', 'blue'][k % 4] if k < 400 else 'late' + str(k % 7)}"
                                  for k in range(600)]
    path = tmp_path / "dated.csv"
    path.write_text("\n".join(rows) + "\n")
    frame = csv_line.dask.read_csv(path, blocksize=1000, dates=True, text="category")
    assert frame.npartitions > 3
    got = frame.compute(scheduler="threads").reset_index(drop=True)
    want = csv_line.read_pandas(str(path), dates=True, text="category")
    assert got["color"].dtype == "category" and got["day"].dtype.kind == got["at"].dtype.kind == "M"
    pandas.testing.assert_frame_equal(got.astype({"color": object}), want.astype({"color": object}))
