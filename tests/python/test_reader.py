"""csv_line.reader and DictReader against Python's csv module: equal rows
and line numbers on every well-formed text, and the errors Python gives."""
import csv
import io
import os
import tempfile

import pytest
from hypothesis import given
from hypothesis import strategies as st

import csv_line

DELIMITERS = [",", ";", "\t", "|"]


def python_rows(data, delimiter=","):
    """Rows and the line number after each, as Python's csv reads the bytes
    (a leading byte-order mark dropped, as csv_line drops it)."""
    python = csv.reader(io.StringIO(data.decode("utf-8-sig"), newline=""), delimiter=delimiter)
    return [(row, python.line_num) for row in python]


def our_rows(source, delimiter=",", **options):
    ours = csv_line.reader(source, delimiter=delimiter, **options)
    return [(row, ours.line_num) for row in ours]


class InFile:
    """The bytes in a file, removed afterwards."""

    def __init__(self, data):
        self.data = data

    def __enter__(self):
        handle, self.path = tempfile.mkstemp(suffix=".csv")
        with os.fdopen(handle, "wb") as out:
            out.write(self.data)
        return self.path

    def __exit__(self, *exc):
        os.unlink(self.path)


def every_source(data):
    """The same bytes as a path, a binary file, a text file opened as
    csv.reader asks (newline=''), and a list of lines."""
    with InFile(data) as path:
        yield "path", path
        with open(path, "rb") as binary:
            yield "binary file", binary
        with open(path, newline="", encoding="utf-8-sig") as text:
            yield "text file", text
        yield "lines", io.StringIO(data.decode("utf-8-sig"), newline="").readlines()


# RFC 4180 text: fields quoted when they must be, and at random when they
# need not; records ended by LF or CR LF, the last one sometimes not.
cell_text = st.lists(st.sampled_from(list("ab ,;|\t\"\n\r") + ["é", "字", "😀", "\r\n"]), max_size=8).map("".join)


@st.composite
def documents(draw):
    delimiter = draw(st.sampled_from(DELIMITERS))
    rows = draw(st.lists(st.lists(cell_text, min_size=1, max_size=5), max_size=8))
    out = []
    ending = ""
    for row in rows:
        cells = []
        for cell in row:
            special = any(c in cell for c in (delimiter, '"', "\n", "\r"))
            if special or draw(st.booleans()) or row == [""]:
                cell = '"' + cell.replace('"', '""') + '"'
            cells.append(cell)
        ending = draw(st.sampled_from(["\n", "\r\n"]))
        out.append(delimiter.join(cells) + ending)
    text = "".join(out)
    if text and draw(st.booleans()):
        text = text[:-len(ending)]  # no line break after the last record
    if draw(st.booleans()):
        text = "\ufeff" + text
    return text.encode(), delimiter


@given(documents())
def test_equals_python_csv_on_rfc4180_text(document):
    data, delimiter = document
    want = python_rows(data, delimiter)
    with InFile(data) as path:
        assert our_rows(path, delimiter) == want
        assert our_rows(path, delimiter, threads=3) == want


def test_every_source_reads_alike():
    data = 'id,note\r\n1,"two\nlines"\n\n2,"say ""hi"""\n3,é\n'.encode()
    want = python_rows(data)
    for name, source in every_source(data):
        assert our_rows(source) == want, name


@pytest.mark.parametrize("name, data", [
    ("empty", b""),
    ("one LF", b"\n"),
    ("blank lines", b"a\n\n\r\nb\n"),
    ("no final LF", b"a,b\nc,d"),
    ("no final LF after quotes", b'a,"b\nc"'),
    ("a lone empty quoted field", b'""\n'),
    ("empty fields", b",,\n,\n"),
    ("a byte-order mark", b"\xef\xbb\xbfid,x\n1,2\n"),
    ("CR LF inside quotes", b'"a\r\nb",c\r\n'),
    ("UTF-8", "ü,€,字,😀\n".encode()),
])
def test_edges_equal_python_csv(name, data):
    with InFile(data) as path:
        assert our_rows(path) == python_rows(data)


@pytest.mark.parametrize("data, line, field", [
    (b'a,b\nc,d"e"\n', 2, 2),
    (b'id\n"closed"after\n', 2, 1),
    (b'a\nb\n"x\ny"z,1\n', 3, 1),
])
def test_a_malformed_field_raises_naming_its_line_and_field(data, line, field):
    got = []
    with pytest.raises(csv_line.Error) as raised:
        for row in csv_line.reader(io.BytesIO(data)):
            got.append(row)
    assert raised.value.line == line and raised.value.field == field
    assert f"line {line}: field {field}:" in str(raised.value)
    assert isinstance(raised.value, csv.Error)
    assert len(got) == line - 1  # the records before it were handed over


OPEN_IN_A_FIELD = b"x,y,z\n" * 7 + b'a,12" pipe,c\nmore,lines\n'


@pytest.mark.parametrize("read", [
    lambda path: list(csv_line.reader(path)),
    lambda path: list(csv_line.reader(io.BytesIO(OPEN_IN_A_FIELD))),
    lambda path: list(csv_line.reader(path, threads=3)),
    lambda path: csv_line.read_columns(path),
    lambda path: csv_line.read_columns(path, threads=3),
], ids=["reader of a path", "reader of a file object", "reader on threads", "read_columns", "read_columns on threads"])
def test_a_quote_left_open_inside_a_field_names_its_line_and_field(read):
    with InFile(OPEN_IN_A_FIELD) as path, pytest.raises(csv_line.Error) as raised:
        read(path)
    assert str(raised.value) == "line 8: field 2: quote not closed by the end of the input"
    assert (raised.value.line, raised.value.field) == (8, 2)


def test_a_quote_left_open_raises_and_lenient_reads_on():
    with pytest.raises(csv_line.Error, match="line 2"):
        list(csv_line.reader(io.BytesIO(b'a\n"open\nb\n')))
    assert list(csv_line.reader(io.BytesIO(b'a\n"open\nb\n'), strict=False)) == [["a"], ["open\nb\n"]]
    assert list(csv_line.reader(io.BytesIO(b'x,a"b"c\n'), strict=False))[0][0] == "x"


def test_invalid_utf8_raises_a_unicode_decode_error_naming_its_line_field_and_column():
    data = b"a,b\nc,\xc3\xa9\xff\xfe\n"
    with pytest.raises(UnicodeDecodeError) as ours:
        list(csv_line.reader(io.BytesIO(data)))
    with pytest.raises(UnicodeDecodeError) as python:
        list(csv.reader(io.TextIOWrapper(io.BytesIO(data), encoding="utf-8", newline="")))
    assert isinstance(ours.value, csv_line.Error)
    assert (ours.value.encoding, ours.value.object) == (python.value.encoding, b"\xff")
    assert ours.value.reason == "line 2: field 2: column 4: not UTF-8 (byte 0xFF)"
    assert (ours.value.line, ours.value.field) == (2, 2)


def test_a_missing_file_raises_file_not_found():
    with pytest.raises(FileNotFoundError):
        csv_line.reader("/nonexistent/file.csv")


def test_what_a_file_object_raises_comes_through():
    class Failing(io.RawIOBase):
        def read(self, size=-1):
            raise ValueError("the disk went away")

    with pytest.raises(ValueError, match="the disk went away"):
        list(csv_line.reader(Failing()))


def test_a_file_object_is_read_in_blocks():
    class Counted(io.RawIOBase):
        def __init__(self, data):
            self.data, self.at, self.asked = data, 0, []

        def read(self, size=-1):
            self.asked.append(size)
            piece = self.data[self.at:self.at + size]
            self.at += len(piece)
            return piece

    data = b"".join(b"%d,row %d\n" % (k, k) for k in range(400000))
    source = Counted(data)
    rows = csv_line.reader(source)
    assert next(rows) == ["0", "row 0"]
    assert source.at < len(data) // 2  # not read whole for the first row
    assert sum(1 for _ in rows) == 399999
    assert all(0 < size <= 1 << 20 for size in source.asked)


def test_dict_reader_equals_python_dict_reader():
    data = b"id,name,price\n1,a,2.5\n\n2,b\n3,c,4,extra,more\n"
    text = data.decode()
    ours = csv_line.DictReader(io.BytesIO(data), restkey="rest", restval="-")
    python = csv.DictReader(io.StringIO(text, newline=""), restkey="rest", restval="-")
    assert list(ours) == list(python)
    assert ours.line_num == python.line_num
    assert ours.fieldnames == python.fieldnames
    named = csv_line.DictReader(io.BytesIO(b"1,2\n"), fieldnames=["a", "b"])
    assert list(named) == [{"a": "1", "b": "2"}]
    assert list(csv_line.DictReader(io.BytesIO(b""))) == []


def test_bad_options_are_refused():
    with pytest.raises(TypeError):
        csv_line.reader(io.BytesIO(b""), delimiter=",,")
    with pytest.raises(ValueError):
        csv_line.reader(io.BytesIO(b""), threads=0)
    with pytest.raises(csv_line.Error):
        list(csv_line.reader(io.BytesIO(b"a"), delimiter='"'))
