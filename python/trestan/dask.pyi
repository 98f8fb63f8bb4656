import os
from typing import Iterable, Optional, Union

import dask.array

_Path = Union[str, bytes, os.PathLike]
_Chunks = Union[str, int, tuple, dict]

def stack(paths: Union[_Path, Iterable[_Path]], frame: Optional[int] = None, check: bool = False,
          chunks: _Chunks = "auto", allow_truncated: bool = False) -> dask.array.Array:
    """One frame per file along a new first axis (a single path is one file), each laid out as
    trestan.load() lays out its signal; tasks read their own bytes with positioned reads."""

def read(path: _Path, frame: Optional[int] = None, chunks: _Chunks = "auto",
         allow_truncated: bool = False) -> dask.array.Array:
    """One frame (None: the main image) as a Dask array laid out as trestan.load() lays it out,
    chunked along the navigation axes."""
