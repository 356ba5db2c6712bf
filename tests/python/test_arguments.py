"""Any argument to any entry: an ordinary Python exception or a result,
never a crash of the interpreter, a SystemError (an entry that returned
wrongly) or a C++ exception come through. The faults once found have rows
of their own."""
import pytest

import csv_line
import csv_line.dask

TEXT = b"id,name,price\n1,a,2.5\n2,\"b\nc\",x\n\n3,,4\n"


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    made = tmp_path_factory.mktemp("arguments")
    (made / "input.csv").write_bytes(TEXT)
    # Numbers alone: partitions of a byte each type as the first (the
    # header alone) does.
    (made / "numbers.csv").write_bytes(b"a,b\n1,2\n3,4.5\n")
    return made


@pytest.fixture(scope="module")
def path(folder):
    return str(folder / "input.csv")


def assert_ordinary(error):
    """What an entry raised is one Python raises for a bad argument."""
    assert isinstance(error, Exception), repr(error)
    assert not isinstance(error, SystemError), repr(error)
    assert "internal error" not in str(error), repr(error)


class Named:
    """A binary file object with a `name` of any kind."""

    def __init__(self, name, data=TEXT):
        self.name, self.data = name, data

    def read(self, size=-1):
        piece, self.data = self.data[:size], self.data[size:]
        return piece


class BreaksWhenTold:
    """A file object of endless rows whose `name` is a new str at each look,
    so that nothing of it lives past the reference taken, and whose reads
    fail once it is broken."""

    def __init__(self, prefix):
        self.prefix, self.broken = prefix, False

    @property
    def name(self):
        return self.prefix + " made at this look"

    def read(self, size=-1):
        if self.broken:
            raise OSError(5, "the disk went away")
        return b"a\n" * max(1, size // 2)


def read_on_after_a_failed_read(source):
    """A row, then the source broken: the source's exception once the
    reader reads again, then the reader's own I/O error, naming the source."""
    rows = csv_line.reader(source)
    assert next(rows) == ["a"]
    source.broken = True
    with pytest.raises(OSError, match="the disk went away"):
        list(rows)
    with pytest.raises(OSError) as again:
        next(rows)
    return again.value


class Reentering:
    """A file object whose read asks its own reader for a row."""

    def __init__(self):
        self.reader, self.data = None, TEXT * 50

    def read(self, size=-1):
        if self.reader is not None:
            next(self.reader)
        piece, self.data = self.data[:size], self.data[size:]
        return piece


def reenter():
    source = Reentering()
    rows = csv_line.reader(source)
    source.reader = rows
    return list(rows)


# Each fault found, by what it did; the call, and what it must raise (None:
# it returns).
FAULTS = [
    ("usecols name with a lone surrogate: a null C string compared (segfault)",
     lambda path: csv_line.read_columns(path, usecols=["\udcff"]), UnicodeEncodeError),
    ("names with a lone surrogate: std::logic_error out of the module (abort)",
     lambda path: csv_line.read_columns(path, names=["\udcff", "b"]), UnicodeEncodeError),
    ("file object named with a lone surrogate: a null C string copied (segfault)",
     lambda path: list(csv_line.reader(Named("\udcff"))), None),
    ("file object named outside what any encoding takes",
     lambda path: list(csv_line.DictReader(Named("\ud800"))), None),
    ("byte_range as a list: SystemError from the tuple parser",
     lambda path: csv_line.read_columns(path, header=False, byte_range=[0, 2]), None),
    ("ranges past any list's length: std::length_error out of the module (abort)",
     lambda path: csv_line.ranges(path, 2**63 - 1), MemoryError),
    ("threads past the file's bytes: an empty first range, the header read by none",
     lambda path: csv_line.read_columns(path, threads=len(TEXT) + 1), None),
    ("threads = 2**31 - 1: a range and a thread each, memory exhausted (killed)",
     lambda path: csv_line.read_columns(path, threads=2**31 - 1), None),
    ("first_line near the largest long long: its line numbers overflow",
     lambda path: csv_line.read_columns(path, first_line=2**63 - 1), ValueError),
    ("a read that asks its own reader for a row: the library called inside itself",
     lambda path: reenter(), RuntimeError),
    ("usecols index past a long",
     lambda path: csv_line.read_columns(path, usecols=[2**70]), ValueError),
    ("dask blocksize under a byte: a partition count past any list",
     lambda path: csv_line.dask.read_csv(path.replace("input.csv", "numbers.csv"),
                                         blocksize=1e-12).compute(scheduler="synchronous"), None),
]


@pytest.mark.parametrize("fault, call, raises", FAULTS, ids=[fault for fault, _, _ in FAULTS])
def test_a_fault_once_found(path, fault, call, raises):
    if raises is None:
        call(path)
        return
    with pytest.raises(raises) as raised:
        call(path)
    assert_ordinary(raised.value)


def test_results_where_a_fault_was(path):
    assert csv_line.read_columns(path, threads=2**31 - 1)["id"].tolist() == [1, 2, 3]
    assert csv_line.read_columns(path, header=False, names=["k"], byte_range=[0, 2])["k"].tolist() == ["id"]
    assert list(csv_line.reader(Named("\udcff", b"a,b\n"))) == [["a", "b"]]
    frame = csv_line.dask.read_csv(path.replace("input.csv", "numbers.csv"), blocksize=1e-12).compute(scheduler="synchronous")
    assert frame["a"].tolist() == [1, 3] and frame["b"].tolist() == [2, 4.5]


@pytest.mark.parametrize("prefix", ["plain", "\udcff", "\ud800"])
def test_an_io_error_names_the_file_object_by_its_name(prefix):
    source = BreaksWhenTold(prefix)
    assert read_on_after_a_failed_read(source).filename == source.name
