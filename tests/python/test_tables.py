"""read_table's Arrow export read by an independent walker of Arrow's C
structs and compared cell by cell with read_columns; the new arguments of
read_columns (dates, text="category") against pandas and against a model
of ISO dates; and the memory of both freed once the last holder goes."""
import csv
import ctypes
import datetime
import io
import random
from typing import Any, Dict, List

import numpy as np
import pandas
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import arrow_walker as arrow
import csv_line
from test_columns import pandas_frame


# Cells of each kind, with what each must read as. An instant is written in
# a zone of its own, at several precisions: the expected value is what was
# written, seconds cut where the text stops.
def _timestamp(draw):
    local = draw(st.datetimes(datetime.datetime(1, 1, 2), datetime.datetime(9999, 12, 30)))
    minutes = draw(st.sampled_from([0, 60, -90, 330, -600, 14 * 60]))
    digits = draw(st.sampled_from([None, 0, 3, 6, 9]))
    text = f"{local.year:04d}-{local.month:02d}-{local.day:02d}{draw(st.sampled_from([' ', 'T']))}"
    text += f"{local.hour:02d}:{local.minute:02d}"
    seconds, micro = 0, 0
    if digits is not None:
        seconds = local.second
        text += f":{seconds:02d}"
        if digits:
            fraction = f"{local.microsecond:06d}789"[:digits]
            text += "." + fraction
            micro = int(fraction[:6].ljust(6, "0"))
    zone = draw(st.sampled_from(["Z", "", "+", "+:"])) if minutes == 0 else draw(st.sampled_from(["+", "+:"]))
    sign, size = ("-" if minutes < 0 else "+"), abs(minutes)
    if zone == "+" and size % 60 == 0:
        text += f"{sign}{size // 60:02d}"
    elif zone in ("+", "+:"):
        text += f"{sign}{size // 60:02d}:{size % 60:02d}"
    else:
        text += zone
    instant = local.replace(second=seconds, microsecond=micro) - datetime.timedelta(minutes=minutes)
    return text, np.datetime64(instant, "us")


@st.composite
def dated_cells(draw, kind):
    if kind == "date":
        day = draw(st.dates(datetime.date(1, 1, 1), datetime.date(9999, 12, 31)))
        return f"{day.year:04d}-{day.month:02d}-{day.day:02d}", np.datetime64(day, "D")
    return _timestamp(draw)


CELLS = {
    "int": st.integers(-2**63, 2**63 - 1).map(str),
    "count": st.integers(-10**12, 10**12).map(str),  # (pandas reads some integers near -2**63 as NaN)
    "float": st.floats(allow_nan=False, allow_infinity=False, width=64).map(repr),
    "bool": st.sampled_from(["True", "False", "true", "FALSE"]),
    "text": st.text(alphabet=st.sampled_from(list('ab ,"\n') + ["é", "字"]), min_size=1, max_size=5)
    .filter(str.strip),
    "few": st.sampled_from(["red", "green", "blue", "é", "a b"]),
    # Values alike in their first sixteen bytes and more, that sort by the rest.
    "long": st.tuples(st.sampled_from(["", "x"]), st.text(alphabet="ab é", min_size=0, max_size=3))
    .map(lambda parts: "the same sixteen bytes" + parts[0] + parts[1]),
}


@st.composite
def tables(draw, kinds=tuple(CELLS) + ("date", "timestamp", "date or timestamp", "int or text"), least=0):
    """A CSV text of columns of one kind each (or two), some cells missing,
    and for the dated columns each cell's value; `least` rows or more."""
    chosen = draw(st.lists(st.sampled_from(kinds), min_size=1, max_size=5))
    rows = draw(st.integers(least, 40))
    columns, dated = [], {}
    for k, kind in enumerate(chosen):
        missing = draw(st.sampled_from([0.0, 0.0, 0.3, 1.0]))
        cells: List[str] = []
        values: List[Any] = []
        for _ in range(rows):
            one = draw(st.sampled_from(kind.split(" or ")))
            if draw(st.floats(0, 1)) < missing:
                cells.append("")
                values.append(None)
            elif one in ("date", "timestamp"):
                text, value = draw(dated_cells(one))
                cells.append(text)
                values.append(value)
            else:
                cells.append(draw(CELLS[one]))
                values.append(None)
        columns.append(cells)
        if "date" in kind or "timestamp" in kind:
            dated[f"c{k}"] = values
    out = io.StringIO(newline="")
    writer = csv.writer(out)
    writer.writerow([f"c{k}" for k in range(len(chosen))])
    writer.writerows(zip(*columns))
    return out.getvalue(), dated


def written(tmp_path_factory, text):
    path = str(tmp_path_factory.mktemp("table") / "table.csv")
    with open(path, "w", newline="") as out:
        out.write(text)
    return path


FORMATS = {"l", "g", "b", "U", "tdD", "tsu:UTC"}


@settings(max_examples=120)
@given(tables(), st.sampled_from([1, 2, 3]), st.booleans())
def test_the_arrow_stream_holds_what_read_columns_reads(tmp_path_factory, table, threads, dates):
    text, _ = table
    path = written(tmp_path_factory, text)
    ours = csv_line.read_columns(path, threads=threads, dates=dates)
    got = csv_line.read_table(path, threads=threads, dates=dates)
    assert (got.num_columns, got.column_names) == (len(ours), list(ours))
    assert got.num_rows == len(got) == len(next(iter(ours.values())))
    fields, columns = arrow.read_stream(got.__arrow_c_stream__())
    assert [name for _, name, _ in fields] == list(ours)
    for (format, name, flags), cells in zip(fields, columns):
        assert format in FORMATS and flags & arrow.ARROW_FLAG_NULLABLE, (name, format)
        assert dates or format not in ("tdD", "tsu:UTC")
        mine = list(ours[name])
        assert len(cells) == len(mine) == got.num_rows
        for row, (cell, cell_ours) in enumerate(zip(cells, mine)):
            assert arrow.same_cell(cell, cell_ours), (name, format, row, cell, cell_ours)


@settings(max_examples=120)
@given(tables(kinds=("date", "timestamp", "date or timestamp", "text")), st.sampled_from([1, 3]))
def test_dates_read_as_the_instants_written(tmp_path_factory, table, threads):
    text, dated = table
    path = written(tmp_path_factory, text)
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("CSV_LINE_PART_SIZE", "64")
        got = csv_line.read_columns(path, dates=True, threads=threads)
    for name, values in dated.items():
        column = got[name]
        if all(value is None for value in values):
            assert column.dtype == np.float64 and np.isnan(column).all()
            continue
        days = all(value is None or value.dtype == np.dtype("M8[D]") for value in values)
        assert column.dtype == np.dtype("M8[D]" if days else "M8[us]"), name
        want = np.array([np.datetime64("NaT") if value is None else value for value in values], dtype=column.dtype)
        np.testing.assert_array_equal(column, want)


def test_dates_and_their_errors(write):
    path = write("d,t,n\n2024-02-29,2024-02-29 23:59:59.5+01:00,1\n,1970-01-01T00:00Z,\n1969-12-31,,2\n")
    got = csv_line.read_columns(path, dates=True)
    assert got["d"].dtype == np.dtype("M8[D]") and got["t"].dtype == np.dtype("M8[us]")
    assert got["d"].astype("int64").tolist()[::2] == [19782, -1] and np.isnat(got["d"][1])
    assert got["t"].tolist()[:2] == [datetime.datetime(2024, 2, 29, 22, 59, 59, 500000), datetime.datetime(1970, 1, 1)]
    assert got["n"].dtype == np.float64
    # Without dates, the same cells are text; asked for, a cell that is not
    # one is an error with its line and column.
    assert csv_line.read_columns(path)["d"].tolist()[0] == "2024-02-29"
    asked = csv_line.read_columns(path, dtypes={"d": "datetime64[D]", "t": np.dtype("M8[us]")})
    assert asked["d"].dtype == np.dtype("M8[D]") and asked["t"].dtype == np.dtype("M8[us]")
    bad = write("d\n2024-01-01\n2024-02-30\n", "bad.csv")
    for dtype, message in [("datetime64[D]", "line 3: column 'd': '2024-02-30' is not a date"),
                           ("datetime64[us]", "line 3: column 'd': '2024-02-30' is not a timestamp")]:
        with pytest.raises(csv_line.Error, match=message) as raised:
            csv_line.read_columns(bad, dtypes={"d": dtype})
        assert (raised.value.line, raised.value.field) == (3, 1)
    with pytest.raises(TypeError, match="datetime64"):
        csv_line.read_columns(path, dtypes={"d": "datetime64[ns]"})


def category_frame(path, **options):
    """pandas' reading, each text column made categories as pandas makes them."""
    want = pandas_frame(path, **options)
    for name in want.columns:
        cells = want[name]
        if cells.dtype == object and not cells.map(lambda cell: isinstance(cell, bool) or cell != cell).all():
            want[name] = cells.astype("category")
    return want


@settings(max_examples=120)
@given(tables(kinds=("count", "float", "bool", "text", "few", "long", "few or long", "count or text"), least=1),
       st.sampled_from([1, 2, 3]))
def test_categories_equal_pandas(tmp_path_factory, table, threads):
    text, _ = table
    path = written(tmp_path_factory, text)
    got = csv_line.read_pandas(path, text="category", threads=threads)
    pandas.testing.assert_frame_equal(got, category_frame(path), check_exact=True)


def test_columns_that_repeat_then_do_not(write, monkeypatch):
    # Equal cells share a str while a column's first cells repeat; cells
    # past them may be all different, and the categories then many.
    monkeypatch.setenv("CSV_LINE_PART_SIZE", "4096")
    rng = random.Random(11)
    rows = ["few,many,late"]
    for k in range(30000):
        rows.append(f"{rng.choice(['x', 'yy', 'é', ''])},v{k},{'same' if k < 5000 else 'n' + str(k)}")
    path = write("\n".join(rows) + "\n")
    want = pandas_frame(path)
    for threads in (1, 2, 3):
        pandas.testing.assert_frame_equal(csv_line.read_pandas(path, threads=threads), want, check_exact=True)
        pandas.testing.assert_frame_equal(csv_line.read_pandas(path, threads=threads, text="category"),
                                          category_frame(path), check_exact=True)


def test_text_that_is_not_utf8_raises_in_either_form(write):
    # The whole record is checked, the columns not chosen too, as a
    # decoder of the whole file would; replaced, it reads.
    path = write(b"a,b\nok,x\n\xff,x\n")
    for text in ("str", "category"):
        for usecols in (None, ["b"]):
            with pytest.raises(UnicodeDecodeError, match="line 3: field 1: column 1"):
                csv_line.read_columns(path, text=text, usecols=usecols)
        assert list(csv_line.read_columns(path, text=text, errors="replace")["a"]) == ["ok", "\ufffd"]


@pytest.mark.parametrize("call, raises, match", [
    (lambda path: csv_line.read_columns(path, text="bytes"), ValueError, "text must be"),
    (lambda path: csv_line.read_table(path, text="str"), TypeError, "text"),  # type: ignore[call-arg]
    (lambda path: csv_line.read_columns(path, header=False, names=["a"]), ValueError, "1 names for the input's 2"),
    (lambda path: csv_line.read_table(path, header=False, names=["a", "b", "c"]), ValueError, "'c' names no field"),
    (lambda path: csv_line.Table(), TypeError, "read_table"),
    (lambda path: csv_line.read_table(path).__arrow_c_stream__({}), NotImplementedError, "requested_schema"),
])
def test_arguments_refused(write, call, raises, match):
    with pytest.raises(raises, match=match):
        call(write("1,2\n3,4\n"))


def test_names_past_the_input_are_columns_of_no_cell(write):
    path = write("1,x\n2,y\n")
    got = csv_line.read_columns(path, header=False, names=["n", "s", "none"], usecols=["none", "s"])
    assert list(got) == ["none", "s"] and np.isnan(got["none"]).all() and len(got["none"]) == 2


def test_the_table_names_its_columns_as_read_columns_does(write):
    path = write("id,name,price\n1,a,2.5\n2,b,\n")
    cases: List[Dict[str, Any]] = [{}, {"usecols": ["price", 0]}, {"header": False},
                                   {"header": False, "names": ["x", "y", "z"]},
                                   {"names": ["é", "n\x00ul", "p"], "usecols": [2, 1]}, {"dtypes": str}]
    for options in cases:
        table = csv_line.read_table(path, **options)
        names = list(csv_line.read_columns(path, **options))
        assert table.column_names == names
        fields, _ = arrow.read_stream(table.__arrow_c_stream__())
        # Arrow's names are C strings: one ends at a NUL it holds.
        assert [name for _, name, _ in fields] == [name.split("\x00")[0] for name in names]
        capsule = table.__arrow_c_schema__()  # held: the struct lies in its memory
        assert arrow.schema_fields(arrow.capsule_struct(capsule, "arrow_schema", arrow.ArrowSchema)) == fields
    assert "2 rows" in repr(csv_line.read_table(path))


def vm_size():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024


BIG = 4_000_000  # rows: 32 MB an int64 column
TABLE = 2 * 8 * BIG  # the table's bytes, two int64 columns
SLACK = 4 << 20  # what the interpreter (or a sanitizer) maps or lets go meanwhile, at most


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    path = tmp_path_factory.mktemp("big") / "big.csv"
    with open(path, "w") as out:
        out.write("k,x\n")
        out.writelines(f"{k},{k % 7}\n" for k in range(BIG))
    return str(path)


def freed_by(let_go):
    """The bytes of address space let_go() gave back."""
    before = vm_size()
    let_go()
    return before - vm_size()


def test_arrays_over_the_table_hold_it_until_the_last_goes(big):
    before = vm_size()
    got = csv_line.read_columns(big)
    # Integers without a missing cell are the table's memory, not a copy.
    assert got["k"].dtype == np.int64 and got["k"].base is got["x"].base is not None
    assert got["k"].flags.writeable and got["k"][BIG - 1] == BIG - 1
    assert vm_size() - before >= TABLE
    last = [got.pop("k")]
    assert freed_by(got.clear) < SLACK
    last[0][0] = 5  # the arrays are the caller's to write
    assert freed_by(last.clear) >= TABLE - SLACK


def test_an_exported_table_is_held_until_the_consumer_lets_go(big):
    before = vm_size()
    table = [csv_line.read_table(big)]
    assert vm_size() - before >= TABLE
    capsules = [table[0].__arrow_c_schema__(), table[0].__arrow_c_stream__()]
    assert freed_by(table.clear) < SLACK
    # A consumer keeps one column of the array and lets go of the rest.
    stream = arrow.move(arrow.capsule_struct(capsules[1], "arrow_array_stream", arrow.ArrowArrayStream))
    whole = arrow.ArrowArray()
    assert stream.get_next(ctypes.byref(stream), ctypes.byref(whole)) == 0
    column = arrow.move(whole.children[1].contents)

    def let_go_of_the_rest():
        arrow.release(whole)
        arrow.release(stream)
        capsules.clear()  # the stream's moved out, the schema's not taken: its destructor releases it

    assert freed_by(let_go_of_the_rest) < SLACK
    assert arrow.column_cells(column, "l")[-3:] == [(BIG - 3) % 7, (BIG - 2) % 7, (BIG - 1) % 7]
    assert freed_by(lambda: arrow.release(column)) >= TABLE - SLACK


def test_a_capsule_not_taken_releases_the_table(big):
    capsules = [csv_line.read_table(big).__arrow_c_stream__() for _ in range(2)]
    assert freed_by(capsules.clear) >= 2 * TABLE - SLACK


def test_read_pandas_shares_the_tables_numbers(write):
    path = write("a,b,c\n1,2.5,x\n3,4.5,y\n")
    columns = csv_line.read_columns(path)
    frame = pandas.DataFrame(columns, copy=False)
    assert np.shares_memory(frame["a"].to_numpy(), columns["a"])
    assert np.shares_memory(frame["b"].to_numpy(), columns["b"])
    options: Dict[str, Any] = {"text": "category"}
    assert isinstance(csv_line.read_columns(path, **options)["c"], pandas.Categorical)


def test_category_and_table_on_threads_equal_one_thread(write, monkeypatch):
    monkeypatch.setenv("CSV_LINE_PART_SIZE", "64")
    rng = random.Random(4)
    rows = ["a,b,c,d"] + [f"{rng.choice(['p', 'q', ''])},{k},{rng.random()},{rng.choice(['True', 'False'])}"
                          for k in range(5000)]
    path = write("\n".join(rows) + "\n")
    one = arrow.read_stream(csv_line.read_table(path).__arrow_c_stream__())
    categories = csv_line.read_pandas(path, text="category")
    for threads in (2, 3, 8):
        assert arrow.read_stream(csv_line.read_table(path, threads=threads).__arrow_c_stream__()) == one
        pandas.testing.assert_frame_equal(csv_line.read_pandas(path, text="category", threads=threads), categories)
