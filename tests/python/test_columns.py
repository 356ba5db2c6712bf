"""read_columns and read_pandas against pandas.read_csv (C engine, empty
fields as the only missing values, floats read exactly), ranges against
the records, and no reference left behind after many reads."""
import csv
import gc
import io
import os
import random
import subprocess
import sys
import tracemalloc
from unittest import mock

import numpy as np
import pandas
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import csv_line


def pandas_frame(path, **options):
    return pandas.read_csv(path, keep_default_na=False, na_values=[""], float_precision="round_trip", **options)


def assert_frames_equal(ours, want):
    assert list(ours.columns) == list(want.columns)
    for name in want.columns:
        assert ours[name].dtype == want[name].dtype, name
    pandas.testing.assert_frame_equal(ours, want, check_exact=True)


@pytest.mark.parametrize("name, text", [
    ("integers", "a,b\n1,-2\n30,+4\n9223372036854775807,0\n"),
    ("floats", "x,y\n1.5,1e300\n-0.25,.5\n3,1E-5\n7.,-inf\n"),
    ("missing numbers are NaN; integers with one become floats", "i,f\n1,\n,2.5\n3,4\n"),
    ("all missing", "a,b\n,1\n,2\n"),
    ("booleans", "t,u\nTrue,false\nFALSE,true\n"),
    ("booleans with a missing one are objects", "t,n\nTrue,1\n,2\nfalse,3\n"),
    ("text, quoted, with line breaks and missing", 'id,s\n1,"a,b"\n2,\n3,"x\ny"\n4,"say ""hi"""\n'),
    ("numbers and text mixed: text as written", "m\n1\n007\nabc\n2.50\n"),
    ("spaces around numbers", "a\n 1\n2 \n"),
    ("numbers spelled every way pandas reads them", "a,b\n.5,inf\n5.,-Infinity\n+.5,INF\n1e5,1.5e-400\n-0,0\n"),
    ("not numbers: a spelled NaN, too large, hex, underscores", "a,b,c,d,e\nnan,1e400,0x10,1_000,e5\n1,2,3,4,5\n"),
    ("integers with leading zeros", "a\n007\n-0\n"),
    ("a row short of fields", "a,b,c\n1,2\n3,4,5\n"),
    ("blank lines skipped", "a,b\n1,2\n\n3,4\n"),
    ("a byte-order mark", "\ufeffa,b\n1,x\n"),
    ("records that begin with U+FEFF, wherever the threads cut", "a,b\n" + "\ufeffx,1\n" * 60),
    ("no final LF", "a,b\n1,2"),
    ("UTF-8 names and cells", "ü,字\né,1\n"),
])
def test_equals_pandas(write, monkeypatch, name, text):
    monkeypatch.setenv("CSV_LINE_PART_SIZE", "64")  # on threads, a few records a batch
    path = write(text)
    want = pandas_frame(path)
    for threads in (1, 2, 3):
        assert_frames_equal(csv_line.read_pandas(path, threads=threads), want)


@pytest.mark.parametrize("text", ["\n1,2\n3,4\n", "\n\n\n1,x\n", "\n"])
def test_without_a_header_leading_blank_lines_are_skipped(write, text):
    path = write(text)
    want = pandas_frame(path, header=None) if text.strip() else pandas.DataFrame()
    for threads in (1, 2):
        got = csv_line.read_columns(path, header=False, threads=threads)
        assert [got[name].tolist() for name in got] == [want[name].tolist() for name in want]


@pytest.mark.parametrize("part_size", ["64", "4096"])
def test_a_large_mixed_file_on_threads_equals_pandas(write, monkeypatch, part_size):
    # Small parts, so that the threads hand many batches in any order, and
    # a column that turns to text deep in the file.
    monkeypatch.setenv("CSV_LINE_PART_SIZE", part_size)
    rng = random.Random(5)
    rows = ["id,price,count,flag,name,late"]
    for k in range(20000):
        name = rng.choice(["plain", '"quoted, comma"', '"two\nlines"', '""', ""])
        late = "text" if k == 19000 else str(k)
        price = "" if k % 97 == 0 else repr(rng.uniform(-1e6, 1e6))
        rows.append(f"{k},{price},{rng.randint(-5, 5)},{rng.choice(['True', 'False'])},{name},{late}")
    path = write("\n".join(rows) + "\n")
    want = pandas_frame(path)
    unnamed = csv_line.read_columns(path, header=False, threads=1)
    for threads in (1, 2, 3, 8):
        assert_frames_equal(csv_line.read_pandas(path, threads=threads), want)
        got = csv_line.read_columns(path, header=False, threads=threads)
        assert_frames_equal(pandas.DataFrame(got), pandas.DataFrame(unnamed))


def test_usecols_and_dtypes(write):
    path = write("a,b,c\n1,2,x\n3,4,y\n")
    got = csv_line.read_columns(path, usecols=["c", 0], dtypes={"a": "float64", "c": str})
    assert list(got) == ["c", "a"]
    assert got["a"].dtype == np.float64 and got["c"].tolist() == ["x", "y"]
    assert csv_line.read_columns(path, usecols=["a", "b"], dtypes=np.float64)["b"].dtype == np.float64
    with pytest.raises(ValueError):
        csv_line.read_columns(path, usecols=["nope"])


# .field is the cell's field for a cell of the wrong type, the malformed
# field's for a malformed one, 0 for a record of too many fields.
@pytest.mark.parametrize("text, dtypes, message, field", [
    ("a,b\n1,2\n3,x\n", {"b": "int64"}, "line 3: column 'b': 'x' is not an int64", 2),
    ("a,b\n1,2\n3,4.5\n", {"b": "int64"}, "line 3: column 'b': '4.5' is not an int64", 2),
    ("a\n1.5\n\n\"two\nlines\"\nnope\n", {"a": "float64"}, "line 4: column 'a': 'two\nlines' is not a float64", 1),
    ("a\n1\n\n", {"a": "bool"}, "line 2: column 'a': '1' is not a bool", 1),
    ("a,b\n1,\n", {"b": "int64"}, "line 2: column 'b': an empty field in a int64 column", 2),
    ("a,b\n1,2\n3,4,5\n", None, "line 3: 3 fields, 2 expected", 0),
    ('a,b\n1,2\n3,x"y"\n', None, "line 3: field 2: a quote inside an unquoted field", 2),
    # A cell is shown by its first 40 bytes, cut before a character.
    ("a\n1\nx" + "é" * 30 + "\n", {"a": "int64"}, "line 3: column 'a': 'x" + "é" * 19 + "' is not an int64", 1),
    # Text that is not UTF-8 is the reader's problem, before the cell's.
    (b"a,b\n1,2\n3,x\xff\n", {"b": "int64"}, "line 3: field 2: column 4: not UTF-8 (byte 0xFF)", 2),
])
def test_a_bad_cell_names_its_line_and_column(write, text, dtypes, message, field):
    path = write(text)
    for threads in (1, 2):
        with pytest.raises(csv_line.Error) as raised:
            csv_line.read_columns(path, dtypes=dtypes, threads=threads)
        assert message in str(raised.value)
        assert raised.value.line == int(message.split(":")[0].split()[1])
        assert raised.value.field == field


def test_a_name_holding_nul_is_kept_whole(write):
    got = csv_line.read_columns(write(b"a\x00b,a\x00c\n1,2\n"))
    assert list(got) == ["a\x00b", "a\x00c"] and got["a\x00c"].tolist() == [2]


OUT_OF_MEMORY = """
import resource, sys, csv_line
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))
try:
    csv_line.read_columns(sys.argv[1], threads=int(sys.argv[2]))
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's memory needs no bound")
@pytest.mark.parametrize("threads, part_size", [(1, None), (3, None), (3, "64")])
def test_memory_that_cannot_be_had_raises_memory_error(write, threads, part_size):
    # Columns of 96 MB for 64 MB more than the interpreter has: the
    # column's memory, a batch's, a reader's or a thread's is refused,
    # wherever it is, on the reader's threads too.
    path = write(b"a,b\n" + b"1,2\n" * 6_000_000)
    environment = dict(os.environ)
    if part_size is not None:
        environment["CSV_LINE_PART_SIZE"] = part_size
    child = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, path, str(threads)], capture_output=True, text=True,
                           env=environment)
    assert (child.returncode, child.stdout) == (0, "MemoryError\n"), child.stderr


def test_invalid_utf8_in_a_text_column_raises(write):
    with pytest.raises(UnicodeDecodeError):
        csv_line.read_columns(write(b"a\nok\n\xff\n"))


def test_empty_and_header_only_files(write):
    assert csv_line.read_columns(write("")) == {}
    got = csv_line.read_columns(write("a,b\n"))
    assert list(got) == ["a", "b"] and all(len(column) == 0 for column in got.values())


def test_a_byte_range_reads_its_records_with_the_files_lines(write):
    text = "a,b\n1,x\n2,\"y\nz\"\n3,w\n4,b\"a\"d\n"
    path = write(text)
    start = text.index("2,")
    got = csv_line.read_columns(path, header=False, names=["a", "b"], byte_range=(start, text.index("4,")),
                                first_line=3)
    assert got["a"].tolist() == [2, 3] and got["b"].tolist() == ["y\nz", "w"]
    with pytest.raises(csv_line.Error, match="line 6: field 2"):
        csv_line.read_columns(path, header=False, names=["a", "b"], byte_range=(text.index("4,"), len(text)),
                              first_line=6)


def test_ranges_begin_at_records_and_cover_the_file(write, monkeypatch):
    monkeypatch.setenv("CSV_LINE_PART_SIZE", "64")  # each range read in many batches on threads
    rng = random.Random(3)
    out = io.StringIO(newline="")
    writer = csv.writer(out)
    for k in range(3000):
        writer.writerow([k, rng.choice(["a", "b\nc", 'd"e', "f,g\r\nh"])])
    text = out.getvalue()
    path = write(text)
    for n in (1, 2, 7, 64):
        got = csv_line.ranges(path, n, lines=True)
        assert len(got) == n and got[0][0] == 0 and got[-1][1] == len(text.encode())
        assert all(a[1] == b[0] for a, b in zip(got, got[1:]))
        for threads in (1, 3):
            rows = []
            for start, end, line in got:
                if start == end:
                    continue
                part = csv_line.read_columns(path, header=False, names=["k", "v"], byte_range=(start, end),
                                             first_line=line, threads=threads)
                rows += part["k"].tolist()
                assert text.encode()[:start].count(b"\n") + 1 == line
            assert rows == list(range(3000))
    with pytest.raises(ValueError):
        csv_line.ranges(path, 0)
    with pytest.raises(FileNotFoundError):
        csv_line.ranges("/nonexistent.csv", 2)


def test_no_reference_is_left_after_many_reads(write):
    one = 'id,name,price\n1,"a ""b""",2.5\n2,,x\n'
    path = write(one * 50)
    bad = write("a\n1\nx\n", "bad.csv")
    names, dtypes, usecols = ["id", "name", "price"], {"id": "float64"}, ["price", "id"]

    def read_everything():
        csv_line.read_columns(path, threads=2)
        csv_line.read_columns(path, dtypes=str)
        csv_line.read_columns(path, usecols=usecols, dtypes=dtypes, header=False, names=names, byte_range=(14, len(one)))
        list(csv_line.reader(path))
        list(csv_line.reader(io.BytesIO(b"a,b\n" * 20)))
        list(csv_line.DictReader(path))
        for call in (lambda: csv_line.read_columns(bad, dtypes={"a": "int64"}),
                     lambda: list(csv_line.reader(io.BytesIO(b'a"b"\n')))):
            with pytest.raises(csv_line.Error):
                call()

    for _ in range(20):
        read_everything()
    gc.collect()
    references = [sys.getrefcount(thing) for thing in (csv_line.Error, csv_line.reader, path, names, dtypes, usecols)]
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    for _ in range(300):
        read_everything()
    gc.collect()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
    assert grown < 64 * 1024, f"{grown} bytes more after 300 reads"
    assert [sys.getrefcount(thing) for thing in (csv_line.Error, csv_line.reader, path, names, dtypes, usecols)] == references


@pytest.mark.parametrize("first_line", [1, 10])
def test_the_first_of_several_problems_is_raised_at_every_thread_count(write, monkeypatch, first_line):
    # Ranges of a few records each: the batches come to the threads in
    # any order, and the problems lie many batches apart.
    monkeypatch.setenv("CSV_LINE_PART_SIZE", "64")
    rows = ["a,b"] + [f'{k},"x\ny"' for k in range(3000)]
    rows[1200] = "oops,x"
    rows[1201:1400] = [f"bad{k},x" for k in range(199)]  # problems in the batches the threads read meanwhile
    rows[2500] = 'z,a"b"c'
    path = write("\n".join(rows) + "\n")
    undecodable = write("\n".join(rows[:1800]).encode() + b"\n9,\xff\n9,\xfe\n" + "\n".join(rows[1802:]).encode(),
                        "bad.csv")
    shift = first_line - 1
    line = shift + 2 + 2 * 1199  # each record before it takes two lines
    for threads in (1, 2, 3, 8):
        with pytest.raises(csv_line.Error, match=f"line {line}: column 'a': 'oops' is not an int64") as raised:
            csv_line.read_columns(path, dtypes={"a": "int64"}, threads=threads, first_line=first_line)
        assert raised.value.line == line
        with pytest.raises(csv_line.Error, match=f"line {shift + 2 + 2 * 2499 - 200}: field 2"):
            csv_line.read_columns(path, threads=threads, first_line=first_line)
        # Text that is not UTF-8 is a problem the reader says in input
        # order, before the malformed field after it; read leniently, the
        # cell fails to decode.
        with pytest.raises(csv_line.EncodingError, match=f"line {shift + 2 + 2 * 1799 - 200}: field 2: column 3"):
            csv_line.read_columns(undecodable, usecols=["b"], threads=threads, first_line=first_line)
        with pytest.raises(UnicodeDecodeError):
            csv_line.read_columns(undecodable, usecols=["b"], threads=threads, first_line=first_line, strict=False)


# Columns of one kind each, or mixed, with missing cells, written by
# Python's csv module: read as pandas reads them.
CELLS = {
    "int": st.integers(-10**12, 10**12).map(str),
    "float": st.floats(allow_nan=False, allow_infinity=False, width=64).map(repr),
    "bool": st.sampled_from(["True", "False", "true", "FALSE"]),
    # (pandas skips a line of spaces alone as blank)
    "text": st.text(alphabet=st.sampled_from(list('ab ,"\n\r') + ["é"]), min_size=1, max_size=6).filter(str.strip),
}


@st.composite
def tables(draw):
    kinds = draw(st.lists(st.sampled_from(sorted(CELLS) + ["int or float", "int or text"]), min_size=1, max_size=4))
    rows = draw(st.integers(1, 30))
    columns = []
    for kind in kinds:
        pick = [CELLS[part] for part in kind.split(" or ")]
        missing = draw(st.sampled_from([0.0, 0.0, 0.2]))
        columns.append([("" if draw(st.floats(0, 1)) < missing else draw(st.one_of(pick))) for _ in range(rows)])
    out = io.StringIO(newline="")
    writer = csv.writer(out)
    writer.writerow([f"c{k}" for k in range(len(kinds))])
    writer.writerows(zip(*columns))
    return out.getvalue()


@settings(max_examples=150)
@given(tables())
def test_equals_pandas_on_generated_tables(tmp_path_factory, text):
    path = str(tmp_path_factory.mktemp("table") / "table.csv")
    with open(path, "w", newline="") as out:
        out.write(text)
    want = pandas_frame(path)
    with mock.patch.dict(os.environ, {"CSV_LINE_PART_SIZE": "64"}):  # on threads, a few records a batch
        for threads in (1, 2, 3):
            assert_frames_equal(csv_line.read_pandas(path, threads=threads), want)
