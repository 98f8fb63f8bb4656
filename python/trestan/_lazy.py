"""Lazy signals: the frames of a DM file as Dask arrays whose tasks read their own bytes.

trestan.load(path, lazy=True) and trestan.dask.read() / stack() build their arrays here. Each chunk
of an array is one task, and the task holds only what it needs to read its part of the file: the
path, the file's identity when the array was made (size, modification time, inode), the byte offset
of the chunk's first stored element, how its bytes lie (runs of contiguous bytes), and the chunk's
shape and type. No open file, memory map or array is in the graph, so it pickles small and runs on
dask.distributed workers in other processes (or on other machines that see the same file). A task
opens the file, checks its identity (a file that changed raises trestan.Error naming it), reads its
runs with positioned reads (os.preadv into one NumPy buffer) and lays the chunk out as load() lays
out the signal: the same axes, axes of length 1 dropped, the spectrum axis last, colour as RGB8.

This module imports Dask; `import trestan` and eager reads do not import it.
"""

import math
import os

import dask.array
import numpy
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph
from dask.utils import parse_bytes

from . import _METADATA_GROUPS, RGB8, Error, File, open as _open

__all__ = ["load", "read", "stack"]

# The size a chunk of "auto" chunks comes close to without exceeding it (unless one element along
# the chunked axes is larger).
AUTO_CHUNK_BYTES = 128 << 20
# Chunks of one array (or stack) at most: a task takes a few hundred bytes of the graph.
MAX_CHUNKS = 1_000_000


def _describe_path(path):
    return os.fsdecode(path)


# ---------------------------------------------------------------------------------------------
# The task of one chunk


def _same_file(status, identity):
    """Whether the file is the one the array was made from: size, modification time and inode. The
    device is left out: a worker on another machine sees a network file system under another one."""
    return (status.st_size, status.st_mtime_ns, status.st_ino) == tuple(identity[:3])


def _read_into(fd, view, position):
    """Fills `view` from `position` on; returns how many bytes the file held (fewer at its end)."""
    done = 0
    while done < len(view):
        count = os.preadv(fd, [view[done:]], position + done)
        if count == 0:
            break
        done += count
    return done


def _read_block(path, identity, offset, run, outer_shape, outer_strides, box, dtype, order, shape, colour):
    """One chunk: `box` (the stored shape of the chunk) read as runs of `run` contiguous bytes that
    start at `offset` plus the outer strides, then laid out as the signal (`order` transposes the
    stored axes, `shape` drops those of length 1; colour becomes RGB8 records). Bytes past the end
    of the file as it was when the array was made read as zeros (frames cut short, where allowed)."""
    buffer = numpy.empty(math.prod(box) * dtype.itemsize, numpy.uint8)
    view = memoryview(buffer)
    known_size = identity[0]
    # Without blocking: a FIFO put in the file's place is refused below, never waited on.
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    try:
        if not _same_file(os.fstat(fd), identity):
            raise Error(f"{_describe_path(path)}: the file changed after the array was made; read it again")
        cursor = 0
        for index in numpy.ndindex(*outer_shape):
            position = offset + sum(i * stride for i, stride in zip(index, outer_strides))
            # The bytes the file held when the array was made; past them, zeros.
            held = max(0, min(run, known_size - position))
            target = view[cursor:cursor + run]
            if _read_into(fd, target[:held], position) != held:
                raise Error(f"{_describe_path(path)}: the file changed after the array was made; read it again")
            if held < run:
                buffer[cursor + held:cursor + run] = 0
            cursor += run
    finally:
        os.close(fd)
    data = buffer.view(dtype).reshape(box).transpose(order).reshape(shape)
    return data.astype(RGB8) if colour else data


# ---------------------------------------------------------------------------------------------
# Chunks


def _auto_chunks(shape, itemsize, limit):
    """Chunks of at most `limit` bytes (or one element along the chunked axes, when larger): whole
    axes from the last one backwards while they fit, then the first that does not split evenly, the
    axes before it one by one. Signal axes, last, stay whole; a chunk is then navigation positions
    next to each other, bytes next to each other in the file."""
    chunks = [(length,) for length in shape]
    inner = itemsize
    for axis in reversed(range(len(shape))):
        length = shape[axis]
        if length == 0 or inner * length <= limit:
            inner *= max(length, 1)
            continue
        per = max(1, limit // inner)
        count = -(-length // per)
        _check_count(count * math.prod(shape[:axis]))
        per = -(-length // count)
        chunks[axis] = tuple(min(per, length - start) for start in range(0, length, per))
        for before in range(axis):
            chunks[before] = (1,) * shape[before]
        break
    return tuple(chunks)


def _check_count(count):
    if count > MAX_CHUNKS:
        raise ValueError(f"these chunks would be {count} tasks, more than {MAX_CHUNKS}: ask for larger chunks")


def _counted(chunks, shape):
    """How many chunks Dask's forms of `chunks` make, counted before Dask lists them: a length per
    axis (an int for all), -1 or None for a whole axis, or the lengths themselves."""
    if isinstance(chunks, dict):
        per_axis = [chunks.get(axis, chunks.get(axis - len(shape))) for axis in range(len(shape))]
    elif isinstance(chunks, (tuple, list)) and len(chunks) == len(shape):
        per_axis = list(chunks)
    else:
        per_axis = [chunks] * len(shape)
    count = 1
    for length, chunk in zip(shape, per_axis):
        if isinstance(chunk, (tuple, list)):
            count *= len(chunk)
        elif isinstance(chunk, int) and chunk > 0:
            count *= -(-length // chunk)
    return count


def _normalise_chunks(chunks, shape, dtype):
    if chunks is None or isinstance(chunks, str):
        limit = AUTO_CHUNK_BYTES if chunks in (None, "auto") else parse_bytes(chunks)
        if limit < 1:
            raise ValueError(f"chunks of {chunks!r} hold no byte")
        return _auto_chunks(shape, dtype.itemsize, limit)
    _check_count(_counted(chunks, shape))
    chunks = dask.array.core.normalize_chunks(chunks, shape, limit=AUTO_CHUNK_BYTES, dtype=dtype)
    _check_count(math.prod(len(c) for c in chunks))
    return chunks


# ---------------------------------------------------------------------------------------------
# The arrays


class _Layout:
    """How a signal's array lies in the file: the stored array (frame axes reversed) and the
    signal's axes. `frame_axes[k]` is the frame axis of signal axis k; frame axes left out have
    length 1. Colour pixels become RGB8 records, or with `stored_colour` stay the records of their
    four stored bytes."""

    def __init__(self, storage, frame_ndim, frame_axes, stored_colour=False):
        self.offset = int(storage["offset"])
        self.stored_shape = tuple(int(n) for n in storage["shape"])
        self.strides = tuple(int(s) for s in storage["strides"])
        self.dtype = numpy.dtype(storage["dtype"])
        self.byte_count = int(storage["byte_count"])
        self.bytes_in_file = storage["bytes_in_file"]
        self.colour = self.dtype.names is not None and self.dtype.itemsize == 4 and not stored_colour
        stored_axes = [frame_ndim - 1 - axis for axis in frame_axes]
        left_out = [axis for axis in range(frame_ndim) if axis not in stored_axes]
        self.stored_axes = stored_axes
        self.order = tuple(stored_axes + left_out)
        self.shape = tuple(self.stored_shape[axis] for axis in stored_axes)
        self.result_dtype = RGB8 if self.colour else self.dtype
        # DM stores axis 0 fastest: the stored array is in C order (a stride along an axis of
        # length 1 says nothing).
        step = self.dtype.itemsize
        for length, stride in reversed(list(zip(self.stored_shape, self.strides))):
            if length > 1 and stride != step:
                raise Error(f"frame stored with strides {self.strides}, which lazy reads do not support")
            step *= length

    def blocks(self, chunks):
        """Per chunk: its block index, and the start and length of the chunk along each axis."""
        starts = [numpy.cumsum((0,) + c[:-1]).tolist() for c in chunks]
        for index in numpy.ndindex(*[len(c) for c in chunks]):
            yield (index, tuple(starts[axis][block] for axis, block in enumerate(index)),
                   tuple(chunks[axis][block] for axis, block in enumerate(index)))

    def block(self, starts, sizes):
        """The arguments of _read_block after path and identity for the chunk of these starts and
        lengths along the signal's axes."""
        begin = [0] * len(self.stored_shape)
        box = [1] * len(self.stored_shape)
        for axis, (start, size) in enumerate(zip(starts, sizes)):
            begin[self.stored_axes[axis]] = start
            box[self.stored_axes[axis]] = size
        return self._reads(begin, box) + (tuple(box), self.dtype, self.order, tuple(sizes), self.colour)

    def _reads(self, begin, box):
        """(offset, run, outer shape, outer strides): the box as runs of contiguous bytes."""
        offset = self.offset + sum(b * s for b, s in zip(begin, self.strides))
        run = self.dtype.itemsize
        split = 0
        for axis in reversed(range(len(box))):
            run *= box[axis]
            if box[axis] != self.stored_shape[axis]:
                split = axis
                break
        outer = [(box[axis], self.strides[axis]) for axis in range(split) if box[axis] != 1]
        return (offset, run, tuple(n for n, _ in outer), tuple(s for _, s in outer))


def _check_complete(path, index, layout, allow_truncated):
    held = layout.bytes_in_file
    if held is not None and held < layout.byte_count and not allow_truncated:
        raise Error(f"{_describe_path(path)}: frame {index} is cut short: the file holds {held} of its "
                    f"{layout.byte_count} pixel bytes (allow_truncated=True reads the rest as zeros)")


def _stacked(data):
    return data[numpy.newaxis]


def _tasks(layer, key, path, identity, layout, chunks, stacked):
    """Adds one task per chunk of the file's array to `layer`, under keys key + block index."""
    identity = tuple(int(n) for n in identity[:3])
    for block, starts, sizes in layout.blocks(chunks):
        task = (_read_block, path, identity) + layout.block(starts, sizes)
        layer[key + block] = (_stacked, task) if stacked else task


def _frame_layout(file, frame):
    """(frame index, _Layout) of a frame of an open file (None: its main image), laid out as load()
    lays out its signal; a thumbnail, which is no signal, in the frame's own order (axes reversed)."""
    index = file.main_frame if frame is None else frame
    if index is None:
        raise Error("the file has no main image")
    if not 0 <= index < len(file):
        raise Error(f"the file has no frame {index} ({len(file)} frames)")
    storage = file.frames[index]._storage
    frame_ndim = len(storage["shape"])
    frame_axes = tuple(reversed(range(frame_ndim)))
    for signal, signal_ndim, signal_axes, _ in file._signals():
        if signal == index:
            frame_ndim, frame_axes = signal_ndim, signal_axes
    return index, _Layout(storage, frame_ndim, frame_axes)


def _describe_frame(path, frame, allow_truncated):
    """(path as str, identity, frame index, _Layout) of a frame of the file at `path`, read now.
    trestan.Error names the file."""
    try:
        with _open(path) as file:
            index, layout = _frame_layout(file, frame)
            identity = file._identity
        _check_complete(path, index, layout, allow_truncated)
    except Error as error:
        message = str(error)
        prefix = _describe_path(path) + ": "
        raise type(error)(message if message.startswith(prefix) else prefix + message) from None
    return _describe_path(path), identity, index, layout


def _new_array(name, layer, chunks, dtype):
    graph = HighLevelGraph.from_collections(name, layer, dependencies=())
    return dask.array.Array(graph, name, chunks, dtype=dtype)


def _signal_array(path, identity, index, layout, chunks, allow_truncated):
    _check_complete(path, index, layout, allow_truncated)
    chunks = _normalise_chunks(chunks, layout.shape, layout.result_dtype)
    name = "trestan-" + tokenize(path, tuple(identity[:3]), index, chunks, allow_truncated, layout.result_dtype)
    layer = {}
    _tasks(layer, (name,), path, identity, layout, chunks, stacked=False)
    return _new_array(name, layer, chunks, layout.result_dtype)


def load(path, chunks="auto", allow_truncated=False):
    """trestan.load(path, lazy=True): the signals with Dask arrays as their data."""
    file = path if isinstance(path, File) else _open(path)
    try:
        path = _describe_path(file.path)
        identity = file._identity
        original = file.metadata.to_dict()
        signals = []
        for index, frame_ndim, frame_axes, mapped in file._signals():
            layout = _Layout(file.frames[index]._storage, frame_ndim, frame_axes)
            data = _signal_array(path, identity, index, layout, chunks, allow_truncated)
            metadata = {key: mapped[key] for key in _METADATA_GROUPS if key in mapped}
            signals.append({"data": data, "axes": mapped["axes"], "metadata": metadata,
                            "original_metadata": original, "frame": index})
        return signals
    finally:
        if file is not path:
            file.close()


def read(path, frame=None, chunks="auto", allow_truncated=False):
    """trestan.dask.read(): one frame of one file as a Dask array."""
    path, identity, index, layout = _describe_frame(path, frame, allow_truncated)
    return _signal_array(path, identity, index, layout, chunks, allow_truncated)


def _read_unchecked(path, frame, starts, sizes, shape, dtype, allow_truncated):
    """The task of a chunk of a stacked file that was not opened when the stack was made: the file
    is described now, and must hold a frame of the first file's shape and type."""
    path, identity, _, layout = _describe_frame(path, frame, allow_truncated)
    if (layout.shape, layout.result_dtype) != (shape, dtype):
        raise Error(f"{path}: frame of shape {layout.shape} and type {layout.result_dtype}, "
                    f"not {shape} and {dtype} as the first file")
    return _read_block(path, tuple(identity[:3]), *layout.block(starts, sizes))


def stack(paths, frame=None, check=False, chunks="auto", allow_truncated=False):
    """trestan.dask.stack(): one frame per file, stacked along a new first axis."""
    first_path, identity, index, layout = _describe_frame(paths[0], frame, allow_truncated)
    chunks = _normalise_chunks(chunks, layout.shape, layout.result_dtype)
    shape, dtype = layout.shape, layout.result_dtype
    name = "trestan-stack-" + tokenize(first_path, tuple(identity[:3]), paths, frame, check, chunks,
                                       allow_truncated)
    _check_count(len(paths) * math.prod(len(c) for c in chunks))
    layer = {}
    _tasks(layer, (name, 0), first_path, identity, layout, chunks, stacked=True)
    for position, path in enumerate(paths[1:], 1):
        if check:
            path, identity, _, layout = _describe_frame(path, frame, allow_truncated)
            if (layout.shape, layout.result_dtype) != (shape, dtype):
                raise Error(f"{path}: frame of shape {layout.shape} and type {layout.result_dtype}, "
                            f"not {shape} and {dtype} as {first_path}")
            _tasks(layer, (name, position), path, identity, layout, chunks, stacked=True)
        else:
            path = _describe_path(path)
            for block, starts, sizes in layout.blocks(chunks):
                layer[(name, position) + block] = (_stacked, (_read_unchecked, path, frame, starts, sizes, shape,
                                                              dtype, allow_truncated))
    return _new_array(name, layer, ((1,) * len(paths),) + tuple(chunks), dtype)
