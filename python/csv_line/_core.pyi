# The extension csv_line._core: what its C code takes and gives.
import csv
import os
from typing import (Any, Dict, Iterable, Iterator, List, Literal, Mapping, Optional, Protocol, Sequence, Tuple, Union,
                    final, overload)

import numpy
import numpy.typing

# A path as the module takes one: str, bytes or os.PathLike.
_StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# A type dtypes asks for: str, or what numpy reads as int64, float64, bool,
# datetime64[D] or datetime64[us].
_DType = numpy.typing.DTypeLike
_DTypes = Union[_DType, Mapping[str, _DType]]
# header: the first record's names, or not, or "infer": guessed.
_Header = Union[bool, Literal["infer"]]
# A column: by name, or by index from 0.
_Column = Union[str, int]


class _Reads(Protocol):
    def read(self, size: int = ..., /) -> Union[bytes, str, None]: ...


class Error(csv.Error):
    """A record that is not well formed, or a cell that is not of its
    column's type."""

    line: int
    field: int


class EncodingError(Error, UnicodeDecodeError):
    """Text that is not UTF-8: the reason names the line, field and column
    of its first bad byte."""


@final
class reader(Iterator[List[str]]):
    def __init__(self, source: Union[_StrPath, _Reads, Iterable[Union[str, bytes]]], *,
                 delimiter: Optional[str] = ",", strict: bool = True, threads: int = 1, encoding: Optional[str] = None,
                 errors: Optional[str] = None) -> None: ...
    def __iter__(self) -> "reader": ...
    def __next__(self) -> List[str]: ...
    @property
    def line_num(self) -> int: ...


@final
class Table:
    """A table read by read_table, in Arrow's layout."""

    @property
    def num_rows(self) -> int: ...
    @property
    def num_columns(self) -> int: ...
    @property
    def column_names(self) -> List[str]: ...
    def __len__(self) -> int: ...
    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...


@overload
def read_columns(path: _StrPath, usecols: Optional[Sequence[_Column]] = None, dtypes: Optional[_DTypes] = None, *,
                 threads: int = 1, delimiter: Optional[str] = ",", strict: bool = True, header: _Header = True,
                 names: Optional[Sequence[object]] = None, byte_range: Optional[Sequence[int]] = None,
                 first_line: int = 1, dates: bool = False,
                 text: Literal["str"] = "str", encoding: Optional[str] = None,
                 errors: Optional[str] = None) -> Dict[str, numpy.ndarray[Any, numpy.dtype[Any]]]: ...
@overload
def read_columns(path: _StrPath, usecols: Optional[Sequence[_Column]] = None, dtypes: Optional[_DTypes] = None, *,
                 threads: int = 1, delimiter: Optional[str] = ",", strict: bool = True, header: _Header = True,
                 names: Optional[Sequence[object]] = None, byte_range: Optional[Sequence[int]] = None,
                 first_line: int = 1, dates: bool = False, text: Literal["category"],
                 encoding: Optional[str] = None, errors: Optional[str] = None) -> Dict[str, Any]: ...
@overload
def read_columns(path: _StrPath, usecols: Optional[Sequence[_Column]] = None, dtypes: Optional[_DTypes] = None, *,
                 threads: int = 1, delimiter: Optional[str] = ",", strict: bool = True, header: _Header = True,
                 names: Optional[Sequence[object]] = None, byte_range: Optional[Sequence[int]] = None,
                 first_line: int = 1, dates: bool = False, text: str = "str",
                 encoding: Optional[str] = None, errors: Optional[str] = None) -> Dict[str, Any]: ...


def read_table(path: _StrPath, usecols: Optional[Sequence[_Column]] = None, dtypes: Optional[_DTypes] = None, *,
               threads: int = 1, delimiter: Optional[str] = ",", strict: bool = True, header: _Header = True,
               names: Optional[Sequence[object]] = None, byte_range: Optional[Sequence[int]] = None,
               first_line: int = 1, dates: bool = False, encoding: Optional[str] = None,
               errors: Optional[str] = None) -> Table: ...


@overload
def ranges(path: _StrPath, n: int, *, lines: Literal[False] = False) -> List[Tuple[int, int]]: ...
@overload
def ranges(path: _StrPath, n: int, *, lines: Literal[True]) -> List[Tuple[int, int, int]]: ...
@overload
def ranges(path: _StrPath, n: int, *, lines: bool) -> Sequence[Tuple[int, ...]]: ...


def _sniff(path: _StrPath, sample: int = 65536) -> Tuple[int, str, int, int, int, int, int, float, int]: ...
