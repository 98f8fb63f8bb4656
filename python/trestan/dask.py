"""DM files as Dask arrays (needs python3-dask; `import trestan` works without it).

    import trestan.dask
    data = trestan.dask.read("scan.dm4")                             # chunked along the scan
    stack = trestan.dask.stack(sorted(glob.glob("session/*.dm4")))   # (files, ...)
    mean = stack.mean(axis=0).compute()                              # also on dask.distributed

Arrays are laid out as trestan.load() lays out the signal: the same axes, axes of length 1 dropped,
a spectrum image's spectrum axis last, colour as trestan.RGB8 records. Each chunk is one task that
holds only the file's path, its identity (size, modification time, inode), the byte offset and the
chunk's shape and type, and reads only the chunk's own bytes with positioned reads; so the graph
pickles small and runs on workers in other processes, which open the file themselves. A file that
changed after the array was made raises trestan.Error naming it.
"""

import os

from . import _lazy

__all__ = ["stack", "read"]


def _path(path):
    return os.fspath(path)


def read(path, frame=None, chunks="auto", allow_truncated=False):
    """One frame of one file as a Dask array, laid out as trestan.load() lays out its signal.

    `frame` picks the frame by index; None picks the main image (the first frame that is not a
    thumbnail). A thumbnail, which is no signal, keeps the frame's own axes (reversed, as
    Frame.asarray() has them). `chunks` is "auto" (chunks of up to 128 MiB along the navigation
    axes, the signal axes whole), a byte size ("64 MiB") for the same with another limit, or chunks
    as Dask takes them. A frame that the file cuts short raises trestan.Error unless
    allow_truncated=True, which reads the missing bytes as zeros. Errors name the file.
    """
    return _lazy.read(_path(path), frame, chunks, allow_truncated)


def stack(paths, frame=None, check=False, chunks="auto", allow_truncated=False):
    """A Dask array of shape (len(paths),) + the frame's shape: one frame per file (`frame` as in
    read()), each laid out as trestan.load() lays out its signal and chunked as read() chunks it.

    `paths` is a list of paths (str, bytes or os.PathLike); a single path is taken as one file. The
    first file is read now; by default the others are opened by the tasks that read them, and one
    whose frame differs in shape or type (or that cannot be read) makes compute() raise
    trestan.Error naming it. check=True reads every file now and raises trestan.Error naming the
    first that differs (or cannot be read); its tasks then also refuse a file that changed since.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]  # one file, not the characters of its name
    paths = [_path(p) for p in paths]
    if not paths:
        raise ValueError("stack() needs at least one file")
    return _lazy.stack(paths, frame, check, chunks, allow_truncated)
