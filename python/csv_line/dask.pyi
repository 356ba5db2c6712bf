# csv_line.dask: Dask DataFrames whose partitions begin at records.
from typing import Optional, Sequence

import dask.dataframe

from ._core import _Column, _DTypes, _StrPath


def read_csv(path: _StrPath, blocksize: float = 64 << 20, usecols: Optional[Sequence[_Column]] = None,
             dtypes: Optional[_DTypes] = None, *, threads: int = 1, delimiter: str = ",", strict: bool = True,
             dates: bool = False, text: str = "str") -> dask.dataframe.DataFrame: ...
