"""Files as they come: compressed by Python's gzip and written by Python's
codecs, every reading entry reads them as it reads the plain UTF-8 file, at
every thread count; a stream cut short raises after the rows before it."""
import gzip
import io

import pandas
import pytest

import csv_line

TEXT = "id,name,price,note\n" + "".join(
    f'{k},Caf\u00e9 {k % 7},{k * 0.25},"a, \u00ab{k}\u00bb\nsecond line"\n' for k in range(4000))


def packed(kind):
    if kind == "gzip":
        return gzip.compress(TEXT.encode())
    if kind == "gzip members":
        half = len(TEXT) // 2
        return gzip.compress(TEXT[:half].encode()) + gzip.compress(TEXT[half:].encode(), compresslevel=1)
    return TEXT.encode(kind)  # a codec Python writes, the mark first for utf-16


@pytest.mark.parametrize("kind, encoding", [
    ("gzip", None), ("gzip members", None), ("utf-16", None), ("utf-16-le", "utf-16-le"), ("utf-16-be", "utf-16-be"),
    ("latin-1", "latin-1"), ("cp1252", "cp1252"),
])
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_every_entry_reads_them_as_the_plain_file(write, monkeypatch, kind, encoding, threads):
    monkeypatch.setenv("CSV_LINE_PART_SIZE", "999")  # many ranges
    plain, path = write(TEXT, "plain.csv"), write(packed(kind), "input.data")
    pandas.testing.assert_frame_equal(csv_line.read_pandas(path, threads=threads, encoding=encoding),
                                      csv_line.read_pandas(plain, threads=threads), check_exact=True)
    assert list(csv_line.reader(path, encoding=encoding)) == list(csv_line.reader(plain))
    with open(path, "rb") as stream:  # a file object: its reads on the caller's thread
        assert list(csv_line.reader(stream, encoding=encoding)) == list(csv_line.reader(plain))
    assert csv_line.read_table(path, threads=threads, encoding=encoding).num_rows == 4000


def test_a_gzip_stream_cut_short_raises_after_the_rows_before(write):
    whole = gzip.compress(TEXT.encode())
    path = write(whole[:len(whole) // 2])
    rows = []
    with pytest.raises(csv_line.Error, match=f"the gzip stream is cut off at byte {len(whole) // 2}"):
        for row in csv_line.reader(path):
            rows.append(row)
    assert rows == list(csv_line.reader(io.BytesIO(TEXT.encode())))[:len(rows)] and len(rows) > 100
    with pytest.raises(csv_line.Error, match="the gzip stream is cut off"):
        csv_line.read_columns(path)


def test_ranges_of_a_compressed_file_are_refused(write):
    with pytest.raises(OSError):
        csv_line.ranges(write(gzip.compress(TEXT.encode())), 4)


def test_dask_reads_a_compressed_file_as_one_partition_and_guesses_once(write):
    csv_line_dask = pytest.importorskip("csv_line.dask")
    text = TEXT.replace(",", ";")
    path = write(gzip.compress(text.encode()))
    frame = csv_line_dask.read_csv(path, blocksize=1000, delimiter=None)
    assert frame.npartitions == 1
    pandas.testing.assert_frame_equal(frame.compute(), csv_line.read_pandas(write(text, "plain.csv"), delimiter=";"),
                                      check_exact=True)
