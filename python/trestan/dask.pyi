import os
from typing import Iterable, Optional, Union

import dask.array

_Path = Union[str, bytes, os.PathLike]

def stack(paths: Union[_Path, Iterable[_Path]], frame: Optional[int] = None, check: bool = False) -> dask.array.Array:
    """A Dask array of one image per file, one chunk per file (a single path is one file); tasks
    hold only path and frame."""

def read(path: _Path) -> dask.array.Array:
    """One file's main image as a Dask array of a single chunk."""
