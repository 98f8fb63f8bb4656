"""DM files as HyperSpy signals, read by trestan (needs python3-hyperspy; `import trestan` works
without it).

    import trestan.hyperspy
    s = trestan.hyperspy.load("image.dm4")          # what hyperspy.api.load("image.dm4") gives
    s.metadata.Acquisition_instrument.TEM.beam_energy

The signals are built from trestan.load()'s dicts by HyperSpy's own signal factory, so they are of
the class hs.load() gives (Signal2D, EELSSpectrum, EDSTEMSpectrum, ...), with the same axes, metadata
and original_metadata.
"""

import os
import re

import numpy

from . import Error, _arrange, open as _open

__all__ = ["load"]

_ITEM = re.compile(r"item(\d{3,})")
_FIELD = re.compile(r"Field(\d+)")


def _group(node):
    """The fields of a group tag as a tuple, or None when `node` is not a group."""
    children = node.children
    if not children or node.value is not None:
        return None
    if not all(_FIELD.fullmatch(child.name) and not len(child) for child in children):
        return None
    return tuple(child.value for child in children)


def _value(node):
    value = node.value
    if isinstance(value, numpy.ndarray):
        return value.tolist()
    if value == "":
        return []  # an empty text is an empty array of characters
    return value


def _name(node):
    """Tag names are bytes in the writer's code page: UTF-8 where they are, else Latin-1."""
    raw = node.name_bytes
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


# DM data types of complex pixels, which the file stores as an array of (real, imaginary) groups.
_COMPLEX_TYPES = (3, 13)


def _pixel_data(image_data):
    """What stands for the skipped pixel array of an image: its element count, byte order, byte
    count and offset in the file. Other arrays named Data are skipped by the reader unread: only
    their offset is known."""
    offset = image_data["DataOffset"].value
    if "Dimensions" not in image_data:
        return {"offset": offset}
    size = 1
    for dimension in image_data["Dimensions"].children:
        size *= dimension.value
    depth = image_data["PixelDepth"].value if "PixelDepth" in image_data else 1
    if "DataType" in image_data and image_data["DataType"].value in _COMPLEX_TYPES:
        return {"size": size, "size_bytes": size * depth, "offset": offset, "endian": "little"}
    return {"size": size, "endian": "little", "size_bytes": size * depth, "offset": offset}


def _original(node):
    """The children of `node` as HyperSpy's DM reader lays out original_metadata: groups as tuples,
    arrays of groups as lists of tuples, unnamed directories as TagGroupN and unnamed values as
    DataN, the pixel array as a record of where it lies."""
    result = {}
    tag_groups = 0
    data = 0
    for child in node.children:
        name = _name(child)
        group = _group(child)
        if name == "DataOffset" and not len(child):
            name, converted = "Data", _pixel_data(node)
        elif len(child) and group is None and all(_ITEM.fullmatch(c.name) and _group(c) is not None
                                                  for c in child.children):
            converted = [_group(c) for c in child.children]  # an array of groups
        elif group is not None:
            converted = group
        elif len(child) or child.value is None:
            converted = _original(child)
        else:
            converted = _value(child)
        if _ITEM.fullmatch(name):
            if isinstance(converted, dict):
                name = f"TagGroup{tag_groups}"
                tag_groups += 1
            else:
                name = f"Data{data}"
                data += 1
        result[name] = converted
    return result


def _original_metadata(root, frame):
    """original_metadata of the signal of `frame`: the file's tags, with the ImageList holding only
    that image, as TagGroup0, last."""
    gatan = root["GATAN"]
    tags = {"root": {}}
    for key, value in _original(gatan).items():
        if key != "ImageList":
            tags[key] = value
    image = gatan["ImageList"].children[frame]
    tags["ImageList"] = {"TagGroup0": _original(image)}
    return tags


# The record HyperSpy gives colour pixels: the four stored bytes.
RGBA8 = numpy.dtype([("R", numpy.uint8), ("G", numpy.uint8), ("B", numpy.uint8), ("A", numpy.uint8)])


def _data(file, frame, frame_ndim, frame_axes):
    """The signal's array in the element type HyperSpy gives: binary images as bool, colour as RGBA8
    records of the four bytes the file stores per pixel; writable, as HyperSpy's own arrays are."""
    pixels = file.frames[frame]
    if len(pixels.shape) > frame_ndim:  # colour: all four stored bytes
        data = _arrange(pixels._stored().view(RGBA8), frame_ndim, frame_axes)
    else:
        data = _arrange(pixels.asarray(), frame_ndim, frame_axes)
    if pixels.interpretation == "BINARY":
        return data.astype(bool)
    return data


# Mapped values that are the fields of a group tag, which HyperSpy gives as tuples (values from
# array tags stay lists).
_GROUP_KEYS = {"binning", "sensor_roi"}


def _tuples(value):
    """Metadata as HyperSpy's DM reader gives it: the fields of a group as a tuple."""
    return {key: (tuple(item) if key in _GROUP_KEYS and isinstance(item, list)
                  else _tuples(item) if isinstance(item, dict) else item)
            for key, item in value.items()}


def _read_signal(path, frame):
    """The task of a lazy signal: its array, read when computed (the graph holds the path only)."""
    with _open(path) as file:
        for index, frame_ndim, frame_axes, _ in file._signals():
            if index == frame:
                return _data(file, frame, frame_ndim, frame_axes)
    raise Error(f"{os.fsdecode(path)}: no image {frame}")


def _signal_dicts(path, lazy):
    with _open(path) as file:
        root = file.metadata
        dicts = []
        for frame, frame_ndim, frame_axes, mapped in file._signals():
            # HyperSpy leaves out the groups the file gives nothing for.
            metadata = {key: _tuples(mapped[key])
                        for key in ("General", "Sample", "Signal", "Acquisition_instrument") if mapped.get(key)}
            metadata.setdefault("General", {})["original_filename"] = os.path.basename(os.fsdecode(path))
            if lazy:
                import dask
                import dask.array

                pixels = file.frames[frame]
                colour = pixels.dtype == numpy.uint8 and len(pixels.shape) > frame_ndim
                dtype = bool if pixels.interpretation == "BINARY" else RGBA8 if colour else pixels.dtype
                data = dask.array.from_delayed(dask.delayed(_read_signal, pure=True)(os.fsdecode(path), frame),
                                               tuple(mapped["shape"]), dtype=dtype)
            else:
                data = _data(file, frame, frame_ndim, frame_axes)
            dicts.append({"data": data, "axes": mapped["axes"], "metadata": metadata,
                          "original_metadata": _original_metadata(root, frame)})
        return dicts


def load(path, lazy=False):
    """The file's signals as HyperSpy signals, as hyperspy.api.load(path, lazy=lazy) gives them: one
    signal, or a list when the file holds several images that are not thumbnails.

    Signals are of the class HyperSpy gives (Signal1D, Signal2D, EELSSpectrum, EDSTEMSpectrum,
    EDSSEMSpectrum, ComplexSignal2D, ...; their lazy forms with lazy=True), made by HyperSpy's own
    signal factory from trestan's reading of the file: data (writable; binary images as bool, colour
    as RGBA8 records of the four stored bytes), axes, metadata and original_metadata in HyperSpy's
    layout. With lazy=True nothing is read until the data is computed.
    """
    from hyperspy.io import dict2signal

    signals = [dict2signal(d, lazy=lazy) for d in _signal_dicts(path, lazy)]
    return signals[0] if len(signals) == 1 else signals
