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
def _tag(name, info, data):
    body = b"%%%%" + struct.pack(">Q", len(info)) + b"".join(struct.pack(">q", i) for i in info) + data
    return b"\x15" + struct.pack(">H", len(name)) + name.encode() + struct.pack(">Q", len(body)) + body


def _directory(name, entries):
    body = b"\x00\x00" + struct.pack(">Q", len(entries)) + b"".join(entries)
    return b"\x14" + struct.pack(">H", len(name)) + name.encode() + struct.pack(">Q", len(body)) + body


def write_dm4(path, dimensions, data_type, pixel_bytes, meta_data=None):
    """Writes a DM4 file with one image of the given dimensions (axis 0 first), DM image data type
    code and pixel bytes, and returns `path`. `meta_data` (a dict of str) fills the image's
    "ImageTags/Meta Data" directory."""
    image_data = _directory("ImageData", [
        _tag("Data", [20, 10, len(pixel_bytes)], pixel_bytes),
        _tag("DataType", [5], struct.pack("<I", data_type)),
        _directory("Dimensions", [_tag("", [5], struct.pack("<I", d)) for d in dimensions]),
    ])
    entry = [image_data]
    if meta_data:
        texts = [_tag(k, [18, len(v)], v.encode("utf-16-le")) for k, v in meta_data.items()]
        entry.append(_directory("ImageTags", [_directory("Meta Data", texts)]))
    root = b"\x00\x00" + struct.pack(">Q", 1) + _directory("ImageList", [_directory("", entry)])
    Path(path).write_bytes(struct.pack(">IQI", 4, len(root), 1) + root + bytes(8))
    return path
