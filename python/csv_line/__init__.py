"""CSV records read by the csv_line library.

    reader(source)        rows as lists of str, as csv.reader gives them
    DictReader(source)    rows as dicts, as csv.DictReader gives them
    read_columns(path)    each column one numpy array, typed as pandas types it
                          (dates=True: ISO dates and timestamps as datetime64;
                          text="category": text as pandas.Categorical)
    read_pandas(path)     the columns as a pandas.DataFrame
    read_table(path)      the columns as a Table in Arrow's layout, which any
                          Arrow consumer takes through __arrow_c_stream__
    ranges(path, n)       byte ranges of a file that begin at record starts
    sniff(path)           the file's dialect guessed from its first 64 KiB, a
                          csv.Dialect with has_header, confidence, encoding
    Error                 a record not well formed, or a cell not of its
                          column's type (a csv.Error)
    EncodingError         text that is not UTF-8, naming its line, field and
                          column (an Error and a UnicodeDecodeError)
"""
import csv

from ._core import EncodingError, Error, Table, _sniff, read_columns, read_table, ranges, reader

__all__ = ["Error", "EncodingError", "reader", "DictReader", "read_columns", "read_pandas", "read_table", "Table", "ranges", "sniff",
           "Dialect"]
__version__ = "1.0.0"


class DictReader:
    """Rows as dicts keyed by the first row's names (or `fieldnames`), as
    csv.DictReader makes them: empty rows skipped, extra fields listed
    under `restkey`, missing ones set to `restval`."""

    def __init__(self, source, fieldnames=None, restkey=None, restval=None, **options):
        self.reader = reader(source, **options)
        self._fieldnames = fieldnames
        self.restkey = restkey
        self.restval = restval

    def __iter__(self):
        return self

    @property
    def fieldnames(self):
        if self._fieldnames is None:
            try:
                self._fieldnames = next(self.reader)
            except StopIteration:
                pass
        return self._fieldnames

    @fieldnames.setter
    def fieldnames(self, value):
        self._fieldnames = value

    @property
    def line_num(self):
        return self.reader.line_num

    def __next__(self):
        names = self.fieldnames
        row = next(self.reader)
        while row == []:
            row = next(self.reader)
        if names is None:
            raise StopIteration
        record = dict(zip(names, row))
        if len(names) < len(row):
            record[self.restkey] = row[len(names):]
        elif len(names) > len(row):
            for name in names[len(row):]:
                record[name] = self.restval
        return record


def read_pandas(path, **options):
    """read_columns(path, **options) as a pandas.DataFrame."""
    import pandas

    return pandas.DataFrame(read_columns(path, **options), copy=False)


class Dialect(csv.Dialect):
    """A file's dialect as sniff guesses it: what csv.reader takes (the
    delimiter; quotes are always '"', doubled inside a field), and

        has_header   whether the first record names the columns
        quoted       whether some field opens with a quote
        confidence   from 0 to 1: how far the guess stands above the next
        cannot_tell  no separator stood out (one column, too few records,
                     two as good): the fields hold the best guess anyway
        encoding     the codec that reads the file: "utf-8", "utf-16" (by
                     its byte-order mark), or "cp1252" for bytes that are
                     not UTF-8
        compressed   None, "gzip" or "zstd"
        records      the records of the sample the guess rests on
    """

    _ENCODINGS = {1: "utf-8", 2: "utf-16", 3: "utf-16", 4: "latin-1", 5: "cp1252"}
    _ENDINGS = {1: "\n", 2: "\r\n", 3: "\r"}
    _COMPRESSED = {0: None, 1: "gzip", 2: "zstd"}

    def __init__(self, found, separator, quoted, header, line_ending, encoding, compressed, confidence, records):
        self.delimiter = separator
        self.quotechar = '"'
        self.doublequote = True
        self.skipinitialspace = False
        self.lineterminator = self._ENDINGS.get(line_ending, "\r\n")
        self.quoting = csv.QUOTE_MINIMAL
        self.escapechar = None
        self.strict = False
        self.has_header = bool(header)
        self.quoted = bool(quoted)
        self.confidence = float(confidence)
        self.cannot_tell = not found
        self.encoding = self._ENCODINGS.get(encoding, "utf-8")
        self.compressed = self._COMPRESSED.get(compressed, None)
        self.records = records
        super().__init__()

    def __repr__(self):
        return (f"csv_line.Dialect(delimiter={self.delimiter!r}, has_header={self.has_header}, "
                f"quoted={self.quoted}, lineterminator={self.lineterminator!r}, encoding={self.encoding!r}, "
                f"confidence={self.confidence:.2f}, cannot_tell={self.cannot_tell})")


def sniff(path, sample=65536):
    """The dialect of the file at `path`, guessed from its first `sample`
    bytes of text (decompressed and turned into UTF-8 as a reader would, at
    the full 64 KiB; a smaller sample is the file's first bytes as they
    are, cut after their last line feed). A Dialect, usable as
    csv.reader(f, dialect=d). OSError when the file cannot be read."""
    return Dialect(*_sniff(path, sample))
