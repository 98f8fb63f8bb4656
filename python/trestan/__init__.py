"""Gatan Digital Micrograph (DM3, DM4) files as NumPy arrays and metadata trees.

    import numpy, trestan
    with trestan.open("image.dm4") as f:
        for frame in f.frames:
            print(frame.index, frame.shape, frame.dtype, frame.calibration)
        image = f.frames[1].asarray()        # read now: a new writable array
        part = f.frames[1][100:200]          # reads only the rows it needs
        mapped = f.frames[1].memmap()        # read-only, read as it is touched
        tags = f.metadata.to_dict()          # the whole tag tree as nested dicts

    for signal in trestan.load("spectrum_image.dm4"):     # one dict per image, thumbnails left out
        print(signal["data"].shape, signal["metadata"]["Signal"]["signal_type"])

    records = trestan.scan(["session/"], workers=2)       # one summary per file, many files
    stack = trestan.dask.stack(paths)                     # a Dask array, one chunk per file
    signal = trestan.hyperspy.load("image.dm4")           # what hyperspy.api.load() gives

Files are read by the reader's own code, built into this package: open() reads the tags and
where each frame's pixels lie, and the frames read their bytes from the open file when asked.
File.plugin names the plugin of the `trestan` command (libtrestan-gatan.so) that reads such files,
found next to this package in a build or install tree, or in the directories of TRESTAN_PLUGIN_PATH.
"""

import os as _os

import numpy

from ._trestan import Calibration, Error, File, Frame, Node, UnsupportedFormat, open
from ._trestan import _scan as _trestan_scan

__all__ = ["open", "load", "scan", "RGB8", "File", "Frame", "Node", "Calibration", "Error", "UnsupportedFormat"]


RGB8 = numpy.dtype([("R", numpy.uint8), ("G", numpy.uint8), ("B", numpy.uint8)])
"""The element type of colour images in load(): one (R, G, B) record per pixel."""


def _arrange(array, frame_ndim, frame_axes):
    """`array` (a frame's asarray(): frame axis i is array axis frame_ndim-1-i, then any component
    axis) laid out as a signal whose axis k is frame axis frame_axes[k]: a view, by transposing and
    then dropping the frame axes (all of length 1) that the signal leaves out."""
    order = [frame_ndim - 1 - axis for axis in frame_axes]
    left_out = [axis for axis in range(frame_ndim) if axis not in order]
    components = list(range(frame_ndim, array.ndim))
    view = array.transpose(order + left_out + components)
    view = view.squeeze(axis=tuple(range(len(order), len(order) + len(left_out))))
    if components:
        # Colour: the trailing axis of 3 uint8 becomes one element of a structured type, as
        # microscopy software has it, still over the same bytes.
        view = view.view(RGB8)[..., 0]
    return view


def load(path, lazy=False, chunks="auto", allow_truncated=False):
    """Reads a DM file as a list of signals, one per image that is not a thumbnail, in frame order.

    Each signal is a dict:
        "data"               the pixels as a writable NumPy array that the caller owns, read from
                             the file in one copy, with the axes in the order of "axes" (a
                             spectrum image has its spectrum axis last) and axes of length 1 left
                             out; colour pixels are records of type trestan.RGB8 over the 4 bytes
                             the file stores a pixel
        "axes"               per array axis: {"name", "units", "scale", "offset", "size", "navigate"}
        "metadata"           {"General": {title, date, time, ...}, "Sample": {...}, "Signal":
                             {signal_type, quantity, ...}, "Acquisition_instrument": {"TEM" or
                             "SEM": ...}}; keys whose tags the file lacks are left out
        "original_metadata"  the whole tag tree as nested dicts (File.metadata.to_dict())
        "frame"              the index of the frame that holds the pixels

    `path` may also be a File that is open. Raises what trestan.open() raises, and trestan.Error
    for an image that the file does not wholly hold unless allow_truncated=True (zeros for the
    missing bytes).

    With lazy=True the data are Dask arrays (`chunks` as Dask takes them; "auto" by default) whose
    tasks read their own bytes when computed.
    """
    if lazy:
        from . import _lazy
        return _lazy.load(path, chunks=chunks, allow_truncated=allow_truncated)
    if isinstance(path, File):
        return _signals_of(path, allow_truncated)
    with open(path) as file:
        return _signals_of(file, allow_truncated)


# The groups of the mapped metadata that load() hands out, in this order.
_METADATA_GROUPS = ("General", "Sample", "Signal", "Acquisition_instrument")


def _signals_of(file, allow_truncated):
    frames = file.frames
    original = file.metadata.to_dict()
    signals = []
    for frame, frame_ndim, frame_axes, mapped in file._signals():
        data = _arrange(frames[frame].asarray(allow_truncated=allow_truncated), frame_ndim, frame_axes)
        metadata = {key: mapped[key] for key in _METADATA_GROUPS if key in mapped}
        signals.append({"data": data, "axes": mapped["axes"], "metadata": metadata,
                        "original_metadata": original, "frame": frame})
    return signals


def scan(paths, workers=None, as_frame=False):
    """Summarises many files, one record per file, as `trestan scan` prints them.

    `paths` is one path or a list of them: files, directories (searched recursively for .dm3 and
    .dm4 files) or glob patterns. Files are read on `workers` threads (default: one per core) with
    the GIL released; only their tags are read, never their pixels. Each record is a dict {"path",
    "size", "format", "frames": [{"index", "shape", "type", "calibration", "thumbnail", and for a
    frame that the file ends inside "truncated", "bytes", "bytesInFile"}], "main", "metadata":
    {"frame", "shape", "title", "date", "time", "signal_type", "microscope_type", "microscope",
    "beam_energy", ...}}; a file that cannot be read gives {"path", "size"?, "error"} and the scan
    goes on.

    With as_frame=True the records come as a pandas.DataFrame (nested "metadata" keys become
    columns "metadata.title", ...); ImportError when pandas is not installed.
    """
    if isinstance(paths, (str, bytes, _os.PathLike)):
        paths = [paths]
    paths = list(paths)
    if workers is not None and workers < 1:
        raise ValueError("workers must be at least 1")
    if as_frame:
        import pandas  # before the scan: fail early when it is missing
    records = _trestan_scan(paths, workers or 0)
    if as_frame:
        return pandas.json_normalize(records, max_level=1)
    return records


def __getattr__(name):
    # trestan.dask and trestan.hyperspy are imported on first use, so that `import trestan` works
    # without Dask and HyperSpy.
    if name in ("dask", "hyperspy"):
        import importlib
        return importlib.import_module("." + name, __name__)
    raise AttributeError(f"module 'trestan' has no attribute {name!r}")
