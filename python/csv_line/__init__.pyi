# csv_line: the extension's entries, and what the package adds in Python.
import csv
from typing import Any, ClassVar, Dict, Iterator, Optional, Sequence, Union

import pandas

from ._core import EncodingError as EncodingError
from ._core import Error as Error
from ._core import Table as Table
from ._core import read_columns as read_columns
from ._core import read_table as read_table
from ._core import ranges as ranges
from ._core import reader as reader
from ._core import _Column, _DTypes, _Header, _StrPath

__all__ = ["Error", "EncodingError", "reader", "DictReader", "read_columns", "read_pandas", "read_table", "Table", "ranges", "sniff",
           "Dialect"]
__version__: str


class DictReader(Iterator[Dict[Union[str, Any], Union[str, Any]]]):
    reader: reader
    restkey: Optional[str]
    restval: Any

    def __init__(self, source: Any, fieldnames: Optional[Sequence[str]] = None, restkey: Optional[str] = None,
                 restval: Any = None, *, delimiter: Optional[str] = ",", strict: bool = True,
                 threads: int = 1, encoding: Optional[str] = None,
                 errors: Optional[str] = None) -> None: ...
    def __iter__(self) -> "DictReader": ...
    def __next__(self) -> Dict[Union[str, Any], Union[str, Any]]: ...
    @property
    def fieldnames(self) -> Optional[Sequence[str]]: ...
    @fieldnames.setter
    def fieldnames(self, value: Optional[Sequence[str]]) -> None: ...
    @property
    def line_num(self) -> int: ...


def read_pandas(path: _StrPath, *, usecols: Optional[Sequence[_Column]] = None, dtypes: Optional[_DTypes] = None,
                threads: int = 1, delimiter: Optional[str] = ",", strict: bool = True, header: _Header = True,
                names: Optional[Sequence[object]] = None, byte_range: Optional[Sequence[int]] = None,
                first_line: int = 1, dates: bool = False, text: str = "str", encoding: Optional[str] = None,
                errors: Optional[str] = None) -> pandas.DataFrame: ...


class Dialect(csv.Dialect):
    _ENCODINGS: ClassVar[Dict[int, str]]
    _ENDINGS: ClassVar[Dict[int, str]]
    _COMPRESSED: ClassVar[Dict[int, Optional[str]]]
    has_header: bool
    quoted: bool
    confidence: float
    cannot_tell: bool
    encoding: str
    compressed: Optional[str]
    records: int

    def __init__(self, found: int, separator: str, quoted: int, header: int, line_ending: int, encoding: int,
                 compressed: int, confidence: float, records: int) -> None: ...


def sniff(path: _StrPath, sample: int = 65536) -> Dialect: ...
