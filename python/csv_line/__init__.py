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
    Error                 a record not well formed, or a cell not of its
                          column's type (a csv.Error)
"""
from ._core import Error, Table, read_columns, read_table, ranges, reader

__all__ = ["Error", "reader", "DictReader", "read_columns", "read_pandas", "read_table", "Table", "ranges"]
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
