"""Many DM files as one Dask array (needs python3-dask; `import trestan` works without it).

    import trestan.dask
    stack = trestan.dask.stack(sorted(glob.glob("session/*.dm4")))   # (files, ...) one chunk each
    mean = stack.mean(axis=0).compute()                              # also on dask.distributed

Each task of the graph holds only a file's path and a frame index (None: the file's main image),
so the graph pickles and runs on workers in other processes, which open the files themselves.
"""

import os

import dask.array
import numpy
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from . import Error, open as _open

__all__ = ["stack", "read"]


def _frame_of(file, frame):
    index = file.main_frame if frame is None else frame
    if index is None:
        raise Error("the file has no main image")
    if not 0 <= index < len(file):
        raise Error(f"the file has no frame {index} ({len(file)} frames)")
    return file.frames[index]


def _describe(path, frame):
    """(shape, dtype) of the frame, read from the file."""
    try:
        with _open(path) as file:
            chosen = _frame_of(file, frame)
            return chosen.shape, chosen.dtype
    except Error as error:
        raise type(error)(f"{os.fsdecode(path)}: {error}") from None


def _read_block(path, frame, shape, dtype, stacked):
    """The task of one chunk: the frame's pixels, checked against the shape and type the graph
    promised. Errors name the file."""
    try:
        with _open(path) as file:
            chosen = _frame_of(file, frame)
            if chosen.shape != shape or chosen.dtype != dtype:
                raise Error(f"frame of shape {chosen.shape} and type {chosen.dtype}, "
                            f"not {shape} and {dtype} as the first file")
            data = chosen.asarray()
    except Error as error:
        raise type(error)(f"{path}: {error}") from None
    return data[numpy.newaxis] if stacked else data


def _array(paths, frame, shape, dtype, stacked):
    name = "trestan-" + ("stack-" if stacked else "read-") + tokenize(paths, frame, shape, str(dtype))
    zeros = (0,) * len(shape)
    layer = {}
    for i, path in enumerate(paths):
        key = (name, i) + zeros if stacked else (name,) + zeros
        layer[key] = (_read_block, path, frame, shape, dtype, stacked)
    chunks = (((1,) * len(paths),) if stacked else ()) + tuple((n,) for n in shape)
    graph = HighLevelGraph.from_collections(name, layer, dependencies=())
    return dask.array.Array(graph, name, chunks, dtype=dtype)


def stack(paths, frame=None, check=False):
    """A Dask array of shape (len(paths),) + image shape: one image per file, one chunk per file.

    `paths` is a list of paths (str, bytes or os.PathLike); a single path is taken as one file.
    `frame` picks the frame of each file by index; None picks each file's main image (the first
    frame that is not a thumbnail). The shape and type are read up front from the first file only;
    a file that differs makes compute() raise trestan.Error naming it. check=True opens every file
    now and raises trestan.Error naming the first that differs (or cannot be read).
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]  # one file, not the characters of its name
    paths = [os.fsdecode(os.fspath(p)) for p in paths]
    if not paths:
        raise ValueError("stack() needs at least one file")
    shape, dtype = _describe(paths[0], frame)
    if check:
        for path in paths[1:]:
            other = _describe(path, frame)
            if other != (shape, dtype):
                raise Error(f"{path}: frame of shape {other[0]} and type {other[1]}, "
                            f"not {shape} and {dtype} as {paths[0]}")
    return _array(paths, frame, shape, dtype, stacked=True)


def read(path):
    """One file's main image as a Dask array of a single chunk."""
    path = os.fsdecode(os.fspath(path))
    shape, dtype = _describe(path, None)
    return _array([path], None, shape, dtype, stacked=False)
