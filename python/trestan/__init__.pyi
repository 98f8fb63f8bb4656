import os
from typing import Any, Iterable, Iterator, Literal, Optional, Union

import numpy

class Error(ValueError):
    """A file that the reader refuses: damaged, or holding what it does not support."""

class UnsupportedFormat(Error):
    """No plugin reads files of this kind."""

class Calibration:
    """Spatial calibration of the first three axes, axis 0 (the last NumPy axis) first."""
    @property
    def origin(self) -> tuple[float, float, float]: ...
    @property
    def scale(self) -> tuple[float, float, float]: ...
    @property
    def unit(self) -> str: ...

class Node:
    """A node of a metadata tree."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> Union[None, int, float, str, numpy.ndarray]: ...
    @property
    def children(self) -> list[Node]: ...
    def __getitem__(self, path: str) -> Node: ...
    def __contains__(self, path: str) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Node]: ...
    def to_dict(self) -> dict: ...
    def to_json(self) -> str: ...

class Frame:
    """One image of an open file; its pixels stay in the file until read."""
    @property
    def index(self) -> int: ...
    @property
    def shape(self) -> tuple[int, ...]: ...
    @property
    def dtype(self) -> numpy.dtype: ...
    @property
    def ndim(self) -> int: ...
    @property
    def byte_count(self) -> int:
        """Bytes the file declares for the stored pixels (colour: 4 a pixel)."""
    @property
    def bytes_in_file(self) -> Optional[int]:
        """How many of them the file held when opened (None when not known)."""
    @property
    def truncated(self) -> bool:
        """Whether the file ends inside the frame's pixels."""
    def asarray(self, allow_truncated: bool = False) -> numpy.ndarray:
        """The whole frame read now into a new writable array (a new one each call). Raises
        ValueError after File.close() and Error for a frame cut short unless allow_truncated."""
    def __array__(self, dtype: object = None, copy: object = None) -> numpy.ndarray: ...
    def read(self, region: object, allow_truncated: bool = False) -> numpy.ndarray:
        """The part that a NumPy-style index selects, reading only its bytes; frame.read(r) is frame[r]."""
    def __getitem__(self, region: object) -> numpy.ndarray: ...
    def memmap(self) -> numpy.memmap:
        """A read-only memory map of the frame, read as touched. A file shrunk while mapped kills
        the process (SIGBUS) when the missing bytes are touched."""
    def __len__(self) -> int: ...
    @property
    def calibration(self) -> Calibration: ...
    @property
    def interpretation(self) -> str: ...
    @property
    def bit_depth(self) -> int: ...
    @property
    def value_range(self) -> tuple[float, float]: ...
    @property
    def _storage(self) -> dict[str, Any]: ...
    def _stored(self, allow_truncated: bool = False) -> numpy.ndarray: ...

class File:
    """A file opened with open()."""
    @property
    def format(self) -> str: ...
    @property
    def plugin(self) -> Optional[str]: ...
    @property
    def plugin_version(self) -> Optional[str]: ...
    @property
    def path(self) -> Union[str, bytes]: ...
    @property
    def closed(self) -> bool: ...
    @property
    def frames(self) -> list[Frame]: ...
    @property
    def metadata(self) -> Node: ...
    @property
    def main_frame(self) -> Optional[int]:
        """Index of the main image: the first frame that the file does not list as a thumbnail."""
    @property
    def _identity(self) -> tuple[int, int, int, int]: ...
    def _signals(self) -> list[tuple[int, int, tuple[int, ...], dict[str, Any]]]: ...
    def __len__(self) -> int: ...
    def close(self) -> None:
        """Closes the file once reads in flight have finished; later reads raise ValueError."""
    def __enter__(self) -> File: ...
    def __exit__(self, *args: object) -> Literal[False]: ...

def open(path: Union[str, bytes, os.PathLike]) -> File:
    """Opens a file and reads its tags and where its frames' pixels lie; no pixel is read. The
    file stays open for the frames' reads until close().

    Raises FileNotFoundError or PermissionError as the system reports them, ValueError for a path
    holding a NUL byte, UnsupportedFormat when no plugin reads files of this kind, and Error with the
    reader's message for a damaged file or one that is not a regular file (a FIFO, a device).
    """

_Path = Union[str, bytes, os.PathLike]

RGB8: numpy.dtype
"""Element type of colour images in load(): records (R, G, B) of uint8."""

def load(path: Union[_Path, File], lazy: bool = False, chunks: Union[str, int, tuple, dict] = "auto",
         allow_truncated: bool = False) -> list[dict[str, Any]]:
    """One dict per image that is not a thumbnail: {"data", "axes", "metadata",
    "original_metadata", "frame"}. data is a new writable array, read in one copy and laid out as
    axes says (spectrum axis last); metadata holds General, Sample, Signal and
    Acquisition_instrument. Frames cut short raise Error unless allow_truncated.
    lazy=True: data is a Dask array laid out the same, chunked along the navigation axes."""

def scan(paths: Union[_Path, Iterable[_Path]], workers: Optional[int] = None, as_frame: bool = False) -> Any:
    """The records of `trestan scan` (list of dict), read on `workers` threads with the GIL
    released; a pandas.DataFrame with as_frame=True."""
