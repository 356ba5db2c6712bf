"""Any argument to any entry: an ordinary Python exception or a result,
never a crash of the interpreter, a SystemError (an entry that returned
wrongly) or a C++ exception come through. The faults once found have rows
of their own; Hypothesis tries the rest."""
import io
import pathlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

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


# Arguments of every kind an entry could be handed.
class Raises:
    """Every conversion Python makes of an object raises."""

    def __repr__(self):
        return "Raises()"

    def fail(self, *args):
        raise ValueError("asked of Raises")

    __str__ = __fspath__ = __iter__ = __index__ = __int__ = __float__ = __bool__ = __len__ = fail
    __hash__ = __eq__ = fail

    @property
    def name(self):
        raise ValueError("asked of Raises")

    read = property(fail)


class WrongTypes:
    """Every conversion returns what it must not."""

    def __repr__(self):
        return "WrongTypes()"

    def __str__(self):
        return 5

    def __fspath__(self):
        return 3.5

    def __iter__(self):
        return 7

    def __index__(self):
        return "seven"

    def __bool__(self):
        return "yes"

    name = 12


class Reads:
    """A file object whose read gives `pieces` in turn (of any type, and
    longer than asked), then b""."""

    def __init__(self, pieces, name="input"):
        self.pieces, self.name = list(pieces), name

    def __repr__(self):
        return f"Reads({self.pieces!r}, name={self.name!r})"

    def read(self, size=-1):
        return self.pieces.pop(0) if self.pieces else b""


class Yields:
    """An iterable of any pieces."""

    def __init__(self, pieces):
        self.pieces = pieces

    def __repr__(self):
        return f"Yields({self.pieces!r})"

    def __iter__(self):
        return iter(self.pieces)


SURROGATES = ["\udcff", "\ud800", "a\udcffb", "\udfff\x00"]
# Beyond C's int and long long, and at their edges. (Not 2**31: as n,
# ranges(path, n) makes the 2**31 ranges asked for, whose memory is the
# caller's to ask, as for [None] * 2**31. threads takes 2**31 - 1.)
EDGES = [-2**31 - 1, 2**62, 2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64, 10**30,
         5e-324, 1e-12, -0.0, float("nan"), float("inf")]
scalars = st.one_of(
    st.sampled_from(SURROGATES),
    st.none(),
    st.booleans(),
    st.integers(-70, 70),
    st.sampled_from(EDGES),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(st.characters(blacklist_categories=()), max_size=6),
    st.sampled_from(["a\x00b", "", ",", ";", "\n", '"', "é", "id", "price", "0", "int64", "float64"]),
    st.binary(max_size=6),
)
pieces = st.lists(st.one_of(st.sampled_from([TEXT, TEXT * 40, TEXT.decode(), b"", None]), scalars), max_size=4)
hostile = st.one_of(
    st.builds(Raises),
    st.builds(WrongTypes),
    st.builds(Reads, pieces, name=st.one_of(st.sampled_from(SURROGATES), scalars, st.builds(Raises))),
    st.builds(Yields, pieces),
    st.builds(lambda: io.BytesIO(TEXT)),
)
# One argument of any of these kinds, or a list, tuple or dict of them.
junk = st.recursive(st.one_of(scalars, hostile),
                    lambda inner: st.one_of(st.lists(inner, max_size=4), st.tuples(inner, inner),
                                            st.dictionaries(st.one_of(st.sampled_from(SURROGATES), st.text(max_size=5)),
                                                            inner, max_size=3)),
                    max_leaves=6)
# What a wild argument is: the kinds that found faults drawn as often as
# all the others together.
anything = st.one_of(st.sampled_from(EDGES), st.sampled_from(SURROGATES), hostile,
                     st.lists(scalars, min_size=1, max_size=3), junk)


def arguments(data, sensible, wild=()):
    """Keyword arguments, each left out or sensible, but those in `wild`:
    anything."""
    given = {}
    for name, strategy in sensible.items():
        if name in wild:
            given[name] = data.draw(anything, label=name)
        elif data.draw(st.booleans(), label=f"give {name}"):
            given[name] = data.draw(strategy, label=name)
    return given


def wild(data, names):
    """One or two of the names whose arguments are anything; none at times."""
    return data.draw(st.sets(st.sampled_from(sorted(names)), max_size=2), label="wild")


OPTIONS = {
    "delimiter": st.sampled_from([",", ";"]),
    "strict": st.booleans(),
    "threads": st.sampled_from([1, 2, 3, 2**31 - 1]),
}
COLUMN_OPTIONS = dict(OPTIONS, **{
    "usecols": st.sampled_from([["id"], [0, "price"], ["nope"]]),
    "dtypes": st.sampled_from([str, "float64", {"id": "int64"}, {"name": "bool"}]),
    "header": st.booleans(),
    "names": st.sampled_from([["id", "name", "price"], ["a"]]),
    "byte_range": st.sampled_from([(0, len(TEXT)), (14, 22), (3, 2)]),
    "first_line": st.integers(1, 9),
    "dates": st.booleans(),
    "text": st.sampled_from(["str", "category"]),
})


def files(path):
    return st.sampled_from([path, path.encode(), pathlib.Path(path)])


def sources(path):
    return st.one_of(files(path), st.builds(lambda: io.BytesIO(TEXT)),
                     st.builds(lambda: TEXT.decode().splitlines(keepends=True)))


def call(entry):
    try:
        entry()
    except Exception as error:  # noqa: BLE001 - any ordinary exception is an answer
        assert_ordinary(error)


QUICK = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@QUICK
@given(st.data())
def test_reader_and_dict_reader_take_anything(path, data):
    # The source is what the reader works on most: wild half the time, and
    # then most often a file object or an iterable of some kind.
    wild_source = data.draw(st.booleans(), label="wild source")
    source = data.draw(st.one_of(hostile, anything) if wild_source else sources(path), label="source")
    options = arguments(data, OPTIONS, wild(data, OPTIONS))
    if data.draw(st.booleans(), label="as dicts"):
        dict_options = arguments(data, {"fieldnames": st.just(["a", "b"]), "restkey": st.just("rest"),
                                        "restval": st.just("")}, wild(data, ["fieldnames", "restkey", "restval"]))
        call(lambda: list(csv_line.DictReader(source, **dict_options, **options)))
    else:
        call(lambda: list(csv_line.reader(source, **options)))


@QUICK
@given(st.data())
def test_read_columns_read_pandas_and_read_table_take_anything(path, data):
    chosen = wild(data, ["path", *COLUMN_OPTIONS])
    given_path = data.draw(anything if "path" in chosen else files(path), label="path")
    options = arguments(data, COLUMN_OPTIONS, chosen)
    entry = data.draw(st.sampled_from([csv_line.read_columns, csv_line.read_pandas, exported_table]), label="entry")
    call(lambda: entry(given_path, **options))


def exported_table(path, **options):
    """read_table's table, its Arrow stream taken and let go."""
    table = csv_line.read_table(path, **options)
    table.__arrow_c_stream__()
    return table.__arrow_c_schema__()


@QUICK
@given(st.data())
def test_ranges_takes_anything(path, data):
    chosen = wild(data, ["path", "n", "lines"])
    given_path = data.draw(anything if "path" in chosen else files(path), label="path")
    n = data.draw(anything if "n" in chosen else st.integers(-3, 70), label="n")
    options = arguments(data, {"lines": st.booleans()}, chosen)
    call(lambda: csv_line.ranges(given_path, n, **options))


DASK_OPTIONS = {"blocksize": st.sampled_from([8, 20, 64 << 20]), "usecols": COLUMN_OPTIONS["usecols"],
                "dtypes": COLUMN_OPTIONS["dtypes"], "delimiter": OPTIONS["delimiter"], "threads": OPTIONS["threads"],
                "dates": COLUMN_OPTIONS["dates"], "text": COLUMN_OPTIONS["text"]}


@settings(QUICK, max_examples=40)
@given(st.data())
def test_dask_read_csv_takes_anything(path, data):
    chosen = wild(data, ["path", *DASK_OPTIONS])
    given_path = data.draw(anything if "path" in chosen else files(path), label="path")
    options = arguments(data, DASK_OPTIONS, chosen)
    call(lambda: csv_line.dask.read_csv(given_path, **options).compute(scheduler="synchronous"))
