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

from . import _arrange, open as _open

__all__ = ["load"]

_ITEM = re.compile(r"item(\d{3,})")
_FIELD = re.compile(r"Field(\d+)")


def _group(node, children):
    """The fields of a group tag as a tuple, or None when `node` (whose children are `children`) is
    not a group."""
    if not children or node.value is not None:
        return None
    if not all(_FIELD.fullmatch(child.name) and not len(child) for child in children):
        return None
    return tuple(child.value for child in children)


def _fields(tree):
    """The fields of a group as a tuple, from the group's to_dict(); None unless every entry is a
    field holding a value (what _group() takes for a group, save fields without a value)."""
    if not tree:
        return None
    for key, value in tree.items():
        if isinstance(value, dict) or not _FIELD.fullmatch(key):
            return None
    return tuple(tree.values())


def _records(node, children):
    """An array of groups as a list of tuples, or None when `node` is not one that _fields() takes
    whole. One to_dict() call makes the whole array (colour tables are 256 groups of 3 fields, most
    of the tags of many files) instead of four node objects per group."""
    tree = node.to_dict()
    if len(tree) != len(children) or any(child.value is not None for child in children):
        return None
    records = []
    for key, fields in tree.items():
        record = _fields(fields) if _ITEM.fullmatch(key) else None
        if record is None:
            return None
        records.append(record)
    return records


def _branch(node, children):
    """A node with children as HyperSpy's DM reader gives it: a group as a tuple, an array of groups
    as a list of tuples, anything else as a dict. The reader gives a directory the number of its
    entries as its value, and a group or an array of groups no value: a directory of unnamed groups
    stays a directory (its groups DataN), as in HyperSpy. Groups and arrays of groups whose fields
    all hold values are made from to_dict(); other nodes child by child."""
    if node.value is not None:
        return _original(node, children)
    first = children[0]
    if _FIELD.fullmatch(first.name):
        tree = node.to_dict()
        fields = _fields(tree) if len(tree) == len(children) else None
        if fields is not None:
            return fields
    elif _ITEM.fullmatch(first.name):
        items = first.children
        if items and all(_FIELD.fullmatch(item.name) for item in items):
            records = _records(node, children)
            if records is not None:
                return records
    group = _group(node, children)
    if group is not None:
        return group
    if all(_ITEM.fullmatch(child.name) for child in children):
        groups = [_group(child, child.children) for child in children]
        if all(g is not None for g in groups):
            return groups  # an array of groups
    return _original(node, children)


def _value(value):
    """A tag's value as HyperSpy's DM reader gives it: arrays as lists, an empty text as an empty
    array of characters."""
    if isinstance(value, numpy.ndarray):
        return value.tolist()
    if value == "":
        return []
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


def _original(node, children=None):
    """The children of `node` as HyperSpy's DM reader lays out original_metadata: groups as tuples,
    arrays of groups as lists of tuples, unnamed directories as TagGroupN and unnamed values as
    DataN, the pixel array as a record of where it lies."""
    result = {}
    tag_groups = 0
    data = 0
    for child in node.children if children is None else children:
        name = _name(child)
        grandchildren = child.children
        if grandchildren:
            converted = _branch(child, grandchildren)
        elif name == "DataOffset":
            name, converted = "Data", _pixel_data(node)
        else:
            value = child.value
            converted = {} if value is None else _value(value)
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
    # The ImageList is left out of the walk, not made and then dropped: it holds the images' tags.
    tags.update(_original(gatan, [child for child in gatan.children if _name(child) != "ImageList"]))
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


def _lazy_data(file, frame, frame_ndim, frame_axes):
    """_data() as a Dask array: trestan.load(lazy=True)'s chunks (along the navigation axes, each read
    by its own task with positioned reads of its own bytes), in the element type HyperSpy gives."""
    from . import _lazy

    path = _lazy._describe_path(file.path)
    layout = _lazy._Layout(file.frames[frame]._storage, frame_ndim, frame_axes, stored_colour=True)
    data = _lazy._signal_array(path, file._identity, frame, layout, "auto", False)
    if layout.dtype.names is not None:  # colour: the four stored bytes as HyperSpy's records
        return data.map_blocks(lambda block: block.view(RGBA8), dtype=RGBA8,
                               meta=numpy.empty((0,) * data.ndim, RGBA8))
    if file.frames[frame].interpretation == "BINARY":
        return data.astype(bool)
    return data


def _signal_dicts(path, lazy):
    with _open(path) as file:
        root = file.metadata
        dicts = []
        for frame, frame_ndim, frame_axes, mapped in file._signals():
            # HyperSpy leaves out the groups the file gives nothing for.
            metadata = {key: _tuples(mapped[key])
                        for key in ("General", "Sample", "Signal", "Acquisition_instrument") if mapped.get(key)}
            metadata.setdefault("General", {})["original_filename"] = os.path.basename(os.fsdecode(path))
            data = (_lazy_data if lazy else _data)(file, frame, frame_ndim, frame_axes)
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
    layout. With lazy=True nothing is read until the data is computed: the data are the Dask arrays
    of trestan.load(path, lazy=True), chunked along the navigation axes.
    """
    from hyperspy.io import dict2signal

    signals = [dict2signal(d, lazy=lazy) for d in _signal_dicts(path, lazy)]
    return signals[0] if len(signals) == 1 else signals
