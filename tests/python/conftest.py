"""Shared fixtures of the Python package tests: where the corpus, the sample and the trestan command
are (CTest passes them in the environment), and a writer of small DM4 files."""

import json
import math
import os
import struct
from pathlib import Path

import numpy
import pytest

SOURCE_DIR = Path(os.environ.get("TRESTAN_TEST_SOURCE_DIR", Path(__file__).resolve().parents[2]))
CORPUS_DIR = Path(os.environ.get("TRESTAN_TEST_CORPUS_DIR", SOURCE_DIR.parent / "shared" / "corpus"))
BINARY_DIR = os.environ.get("TRESTAN_TEST_BINARY_DIR")
SAMPLE = SOURCE_DIR / "samples" / "sample.dm4"


# The corpus manifest, empty when the corpus is absent.
MANIFEST = json.loads((CORPUS_DIR / "manifest.json").read_text()) if (CORPUS_DIR / "manifest.json").is_file() else {}


@pytest.fixture
def cli():
    """Path of the trestan command of the same build, or skip."""
    if not BINARY_DIR or not (Path(BINARY_DIR) / "trestan").is_file():
        pytest.skip("the trestan command is not built")
    return Path(BINARY_DIR) / "trestan"


def same(actual, expected, where="", float32=False, rel=0.0, ordered=True):
    """Equal JSON values, of the same types, dict keys in the same order when `ordered`. Finite floats
    are compared as float32 below a dict whose "type" is "float32" (the corpus README's rule), or to
    a relative `rel` when it is not 0."""
    if isinstance(expected, dict):
        assert isinstance(actual, dict) and (list if ordered else sorted)(actual) == (list if ordered else sorted)(expected), where
        float32 = expected.get("type") == "float32" if "type" in expected else float32
        for key in expected:
            same(actual[key], expected[key], f"{where}.{key}", float32, rel, ordered)
    elif isinstance(expected, list):
        assert isinstance(actual, list) and len(actual) == len(expected), where
        for i, (a, e) in enumerate(zip(actual, expected)):
            same(a, e, f"{where}[{i}]", float32, rel, ordered)
    elif isinstance(expected, float) and math.isfinite(expected) and (float32 or rel):
        if float32:
            assert numpy.float32(actual) == numpy.float32(expected), where
        else:
            assert isinstance(actual, float) and math.isclose(actual, expected, rel_tol=rel), where
    else:
        assert actual == expected and type(actual) is type(expected), where


def rss_bytes():
    """Resident memory of this process."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# A DM4 file: header (version 4, length, byte order 1), then the root directory. Counts and info
# arrays are big-endian, values little-endian; each entry carries its size; the file ends in 8 zeros.
# Entries are built as lists of pieces, so that large pixel buffers are written without a copy.
def _size(pieces):
    return sum(memoryview(piece).nbytes for piece in pieces)


def _tag_pieces(name, info, data):
    body = [b"%%%%" + struct.pack(">Q", len(info)) + b"".join(struct.pack(">q", i) for i in info), data]
    return [b"\x15" + struct.pack(">H", len(name)) + name.encode() + struct.pack(">Q", _size(body))] + body


def _directory_pieces(name, entries):
    body = [b"\x00\x00" + struct.pack(">Q", len(entries))] + [piece for entry in entries for piece in entry]
    return [b"\x14" + struct.pack(">H", len(name)) + name.encode() + struct.pack(">Q", _size(body))] + body


def _tag(name, info, data):
    return b"".join(_tag_pieces(name, info, data))


def _directory(name, entries):
    return b"".join(_directory_pieces(name, [[entry] for entry in entries]))


def write_dm4(path, dimensions, data_type, pixel_bytes, meta_data=None, cut=0):
    """Writes a DM4 file with one image of the given dimensions (axis 0 first), DM image data type
    code and pixel bytes (bytes or any buffer, such as a NumPy array), and returns `path`.
    `meta_data` (a dict of str) fills the image's "ImageTags/Meta Data" directory. With `cut`, the
    pixels are the file's last bytes and the file ends `cut` bytes before their end (a frame cut
    short)."""
    pixel_bytes = memoryview(pixel_bytes).cast("B")
    data = _tag_pieces("Data", [20, 10, len(pixel_bytes)], pixel_bytes)
    tags = [_tag_pieces("DataType", [5], struct.pack("<I", data_type)),
            _directory_pieces("Dimensions", [_tag_pieces("", [5], struct.pack("<I", d)) for d in dimensions])]
    image_data = _directory_pieces("ImageData", tags + [data] if cut else [data] + tags)
    entry = [image_data]
    if meta_data:
        texts = [_tag_pieces(k, [18, len(v)], v.encode("utf-16-le")) for k, v in meta_data.items()]
        entry.insert(0 if cut else 1, _directory_pieces("ImageTags", [_directory_pieces("Meta Data", texts)]))
    root = [b"\x00\x00" + struct.pack(">Q", 1)] + _directory_pieces("ImageList", [_directory_pieces("", entry)])
    pieces = [struct.pack(">IQI", 4, _size(root), 1)] + root + ([] if cut else [bytes(8)])
    with open(path, "wb") as file:
        file.writelines(pieces)
        if cut:
            file.truncate(file.tell() - cut)
    return path
