"""csv_line.sniff, and the reading entries' delimiter=None, header="infer",
encoding= and errors=: the dialect guessed and used, encodings read by
Python's names for them, hostile arguments raised, any bytes sniffed."""
import csv
import gzip
import io
from typing import Any, Callable, List

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import csv_line

ROWS = [["id", "city", "price", "day"]] + [[str(100 + r), ["Oslo", "Rome", "Paris"][r % 3], f"{r}.5",
                                            f"2024-03-{10 + r:02d}"] for r in range(15)]


def text_of(rows, delimiter=",", ending="\n", quoting=csv.QUOTE_MINIMAL):
    out = io.StringIO()
    csv.writer(out, delimiter=delimiter, lineterminator=ending, quoting=quoting).writerows(rows)
    return out.getvalue()


@pytest.mark.parametrize("delimiter, ending, quoting, header", [
    (",", "\n", csv.QUOTE_MINIMAL, True),
    (";", "\r\n", csv.QUOTE_MINIMAL, True),
    ("\t", "\n", csv.QUOTE_ALL, False),
    ("|", "\r", csv.QUOTE_MINIMAL, True),
])
def test_sniffed_dialect_reads_the_file_as_csv_reads_it(write, delimiter, ending, quoting, header):
    rows = ROWS if header else ROWS[1:]
    path = write(text_of(rows, delimiter, ending, quoting))
    d = csv_line.sniff(path)
    assert isinstance(d, csv.Dialect)
    assert (d.delimiter, d.has_header, d.lineterminator, d.cannot_tell) == (delimiter, header, ending, False)
    assert d.quoted == (quoting == csv.QUOTE_ALL)
    assert (d.quotechar, d.doublequote, d.quoting, d.escapechar, d.skipinitialspace) == \
        ('"', True, csv.QUOTE_MINIMAL, None, False)
    assert d.encoding == "utf-8" and d.compressed is None
    assert 0.9 <= d.confidence <= 1 and d.records == len(rows)
    with open(path, newline="", encoding=d.encoding) as f:
        assert list(csv.reader(f, dialect=d)) == rows


@pytest.mark.parametrize("encoding, data, told", [
    ("utf-16", "\ufeff" + text_of(ROWS, ";"), "utf-16"),
    ("utf-16-be", "\ufeff" + text_of(ROWS, ";"), "utf-16"),
    ("cp1252", text_of([["name", "price"]] + [[f"Jos\u00e9 {r}", f"{r} \u20ac"] for r in range(12)], ";"), "cp1252"),
])
def test_sniff_names_the_codec_that_reads_the_file(write, encoding, data, told):
    path = write(data.encode(encoding))
    d = csv_line.sniff(path)
    assert (d.delimiter, d.encoding, d.cannot_tell) == (";", told, False)
    with open(path, newline="", encoding=d.encoding) as f:
        assert next(csv.reader(f, dialect=d))[0].lstrip("\ufeff") in ("id", "name")


def test_sniff_reads_a_compressed_file(write):
    d = csv_line.sniff(write(gzip.compress(text_of(ROWS, "|").encode()), "input.csv.gz"))
    assert (d.delimiter, d.compressed, d.has_header) == ("|", "gzip", True)


def test_sniff_cannot_tell_one_column(write):
    d = csv_line.sniff(write("price\n1.5\n2.5\n3.5\n4.5\n"))
    assert d.cannot_tell and d.delimiter == "," and d.confidence < 0.5


def test_smaller_sample_is_cut_after_its_last_line(write):
    # The first 50 bytes end inside the third record; sniffed alone, it
    # would be a record of its own.
    path = write(text_of(ROWS))
    d = csv_line.sniff(path, sample=50)
    assert (d.delimiter, d.records) == (",", 2)


@pytest.mark.parametrize("arguments, error", [
    ((3,), TypeError),
    ((None,), TypeError),
    (("/no/such/folder/input.csv",), FileNotFoundError),
    (("{path}", 0), ValueError),
    (("{path}", -1), ValueError),
    (("{path}", 65537), ValueError),
    (("{path}", 10 ** 30), OverflowError),
    (("{path}", "64"), TypeError),
    (("{path}\0x",), ValueError),
])
def test_sniff_raises_on_hostile_arguments(write, arguments, error):
    path = write(text_of(ROWS))
    arguments = tuple(a.format(path=path) if isinstance(a, str) else a for a in arguments)
    with pytest.raises(error):
        csv_line.sniff(*arguments)


@given(st.binary(max_size=3000))
@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_any_bytes_sniff_to_a_valid_dialect(write, data):
    path = write(data)
    d = csv_line.sniff(path)
    assert d == d and len(d.delimiter) == 1 and d.delimiter not in '"\r\n\0'
    assert 0 <= d.confidence <= 1 and d.records >= 0
    assert d.encoding in ("utf-8", "utf-16", "cp1252")
    again = csv_line.sniff(path)
    assert (again.delimiter, again.has_header, again.confidence) == (d.delimiter, d.has_header, d.confidence)
    with open(path, newline="", encoding=d.encoding, errors="replace") as f:
        list(csv.reader(f, dialect=d))  # a dialect csv takes, whatever it reads


def test_reader_guesses_the_delimiter(write):
    path = write(text_of(ROWS, ";"))
    assert list(csv_line.reader(path, delimiter=None)) == ROWS
    assert list(csv_line.DictReader(path, delimiter=None))[0]["city"] == "Oslo"


@pytest.mark.parametrize("entry", [csv_line.read_columns, csv_line.read_pandas])
def test_columns_infer_the_header_and_the_delimiter(write, entry):
    with_header = entry(write(text_of(ROWS, "\t")), delimiter=None, header="infer")
    assert list(with_header)[:2] == ["id", "city"]
    without = entry(write(text_of(ROWS[1:], "|"), "bare.csv"), delimiter=None, header="infer")
    assert list(without)[:2] == ["0", "1"]
    assert list(without["1"])[:2] == ["Oslo", "Rome"]


def test_read_table_infers_the_header(write):
    table = csv_line.read_table(write(text_of(ROWS, ";")), delimiter=None, header="infer")
    assert table.column_names == ROWS[0] and table.num_rows == len(ROWS) - 1


ACCENTED = [["name", "city"], ["Jos\u00e9", "Z\u00fcrich"], ["Zo\u00eb", "K\u00f6ln"]]


@pytest.mark.parametrize("encoding, written", [
    ("utf-8", "utf-8"), ("UTF8", "utf-8"), ("utf-8-sig", "utf-8-sig"), ("utf-16", "utf-16"),
    ("UTF-16LE", "utf-16-le"), ("utf_16_le", "utf-16-le"), ("utf-16-be", "utf-16-be"), ("utf-16be", "utf-16-be"),
    ("latin-1", "latin-1"), ("Latin1", "latin-1"), ("iso-8859-1", "latin-1"), ("cp1252", "cp1252"),
    ("Windows-1252", "cp1252"),
])
def test_encodings_by_their_python_names(write, encoding, written):
    path = write(text_of(ACCENTED).encode(written))
    assert list(csv_line.reader(path, encoding=encoding)) == ACCENTED
    assert list(csv_line.read_columns(path, encoding=encoding)["city"]) == ["Z\u00fcrich", "K\u00f6ln"]


def test_cp1252_reads_what_latin1_reads_as_controls(write):
    path = write(b"a,b\n\x80,\xe9\n")
    assert list(csv_line.reader(path, encoding="cp1252")) == [["a", "b"], ["\u20ac", "\u00e9"]]
    assert list(csv_line.reader(path, encoding="latin-1")) == [["a", "b"], ["\x80", "\u00e9"]]


def test_errors_replace_mends_what_strict_raises(write):
    path = write(b"a,b\nx\xff,y\n")
    assert list(csv_line.reader(path, errors="replace")) == [["a", "b"], ["x\ufffd", "y"]]
    for errors in (None, "strict"):
        with pytest.raises(UnicodeDecodeError):
            list(csv_line.reader(path, errors=errors))


@pytest.mark.parametrize("options, error", [
    ({"encoding": "no-such-codec"}, LookupError),
    ({"encoding": "shift_jis"}, ValueError),
    ({"encoding": "ascii"}, ValueError),
    ({"encoding": 8}, TypeError),
    ({"encoding": b"utf-8"}, TypeError),
    ({"errors": "surrogateescape"}, ValueError),
    ({"errors": "ignore"}, ValueError),
    ({"errors": 1}, TypeError),
    ({"delimiter": ""}, TypeError),
    ({"delimiter": ";;"}, TypeError),
    ({"delimiter": "\u00e9"}, TypeError),
    ({"delimiter": 5}, TypeError),
])
def test_reading_options_refused(write, options, error):
    path = write(text_of(ROWS))
    entries: List[Callable[..., Any]] = [csv_line.reader, csv_line.read_columns, csv_line.read_table]
    for entry in entries:
        with pytest.raises(error):
            entry(path, **options)


@pytest.mark.parametrize("header", ["yes", "Infer", ""])
def test_header_strings_other_than_infer_refused(write, header):
    with pytest.raises(ValueError):
        csv_line.read_columns(write(text_of(ROWS)), header=header)
