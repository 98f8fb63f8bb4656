"""trestan.hyperspy.load() against hyperspy.api.load() itself on every corpus file: the same signal
classes, data, axes, metadata and original_metadata. Skipped where HyperSpy is not installed."""

import logging
import math
import struct
import warnings

import numpy
import pytest
from conftest import CORPUS_DIR, MANIFEST, SAMPLE, _directory, _tag

hs = pytest.importorskip("hyperspy.api")
import trestan.hyperspy  # noqa: E402  (after the skip: it is of no use without HyperSpy)

NAMES = sorted(MANIFEST) or ["(no corpus)"]


def differences(ours, theirs, ordered, where=""):
    """Where two metadata trees differ: keys (in order when `ordered`), types, values (floats to
    1e-9)."""
    if isinstance(theirs, dict):
        if not isinstance(ours, dict):
            return [f"{where}: {type(ours).__name__}, not a dict"]
        keys = (list if ordered else sorted)(ours), (list if ordered else sorted)(theirs)
        found = [] if keys[0] == keys[1] else [f"{where}: keys {keys[0]} != {keys[1]}"]
        for key in theirs.keys() & ours.keys():
            found += differences(ours[key], theirs[key], ordered, f"{where}/{key}")
        return found
    if isinstance(theirs, float) and isinstance(ours, float):
        same = math.isclose(ours, theirs, rel_tol=1e-9) or (math.isnan(ours) and math.isnan(theirs))
        return [] if same else [f"{where}: {ours!r} != {theirs!r}"]
    return [] if type(ours) is type(theirs) and ours == theirs else [f"{where}: {ours!r:.80} != {theirs!r:.80}"]


def known_departures(ours, theirs, where=""):
    """The two places where the layouts differ by design, as the docs list them: an empty directory,
    which the reader's tree cannot tell from a tag holding 0, and arrays named Data outside an
    image's data, which the reader skips unread (only their offset is known)."""
    if isinstance(theirs, dict) and isinstance(ours, dict):
        for key in list(theirs):
            if theirs[key] == {} and ours.get(key) == 0:
                ours[key] = {}
            elif key == "Data" and isinstance(theirs[key], list) and set(ours.get(key, {})) == {"offset"}:
                ours[key] = theirs[key]
            elif key in ours:
                known_departures(ours[key], theirs[key])


def as_list(signals):
    return signals if isinstance(signals, list) else [signals]


@pytest.mark.parametrize("name", NAMES)
def test_signals_equal_hyperspy_own(name):
    if not MANIFEST:
        pytest.skip(f"no corpus at {CORPUS_DIR}")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        logging.disable(logging.WARNING)  # HyperSpy's own complaints about CL signal types
        try:
            theirs = as_list(hs.load(CORPUS_DIR / name))
            ours = as_list(trestan.hyperspy.load(CORPUS_DIR / name))
        finally:
            logging.disable(logging.NOTSET)
    assert len(ours) == len(theirs)
    for mine, their in zip(ours, theirs):
        assert type(mine) is type(their)
        assert mine.data.dtype == their.data.dtype and mine.data.flags.writeable
        numpy.testing.assert_array_equal(mine.data, their.data)
        assert [a.get_axis_dictionary() for a in mine.axes_manager._axes] == \
               [a.get_axis_dictionary() for a in their.axes_manager._axes]
        metadata = [s.metadata.as_dictionary() for s in (mine, their)]
        for tree in metadata:
            tree["General"].pop("FileIO", None)  # when and by which version it was read
        assert differences(*metadata, ordered=False) == []
        original = [s.original_metadata.as_dictionary() for s in (mine, their)]
        known_departures(*original)
        assert differences(*original, ordered=True) == []


def test_lazy_signals_and_in_place_operations(tmp_path):
    names = [n for n in ("dm4_2D_data__test-23.dm4", "dm3_1D_data__test-EELS_spectrum.dm3",
                         "dm4_3D_data__test-14.dm4") if n in MANIFEST]
    paths = [CORPUS_DIR / n for n in names] or [SAMPLE]
    for path in paths:
        lazy = as_list(trestan.hyperspy.load(path, lazy=True))
        eager = as_list(hs.load(path))
        chunked = trestan.load(path, lazy=True)
        for mine, their, signal in zip(lazy, eager, chunked):
            assert type(mine).__name__ == "Lazy" + type(their).__name__
            # load(lazy=True)'s chunks, each read by a task of its own
            assert mine.data.chunks == signal["data"].chunks and mine.data.dtype == their.data.dtype
            numpy.testing.assert_array_equal(mine.data.compute(), their.data)
    signal = as_list(trestan.hyperspy.load(SAMPLE))[0]
    before = signal.data.copy()
    signal += 1
    signal.map(numpy.negative)
    numpy.testing.assert_array_equal(signal.data, -(before + 1))


# Tags of the kinds whose layout in original_metadata depends on what holds them: groups (tuples),
# arrays of groups (lists of tuples), and directories of unnamed entries (TagGroupN, DataN).
def _group(name, values):
    info = [15, 0, len(values)] + [code for _ in values for code in (0, 3)]  # int32 fields
    return _tag(name, info, b"".join(struct.pack("<i", v) for v in values))


def _groups(name, rows):
    info = [20, 15, 0, len(rows[0])] + [code for _ in rows[0] for code in (0, 3)] + [len(rows)]
    return _tag(name, info, b"".join(struct.pack("<i", v) for row in rows for v in row))


def _int(name, value):
    return _tag(name, [3], struct.pack("<i", value))


def _real(name, value):
    return _tag(name, [6], struct.pack("<f", value))


def _text(name, value):
    return _tag(name, [20, 4, len(value)], value.encode("utf-16-le"))


TAG_TREES = {
    "a group and an array of groups": [_group("G", [1, 2, 3]), _groups("A", [[1, 2], [3, 4], [5, 6]])],
    "an array of one group of one field": [_groups("A", [[7]])],
    "a directory of unnamed groups": [_directory("D", [_group("", [1, 2]), _group("", [3, 4])])],
    "a directory of an unnamed group and an unnamed value": [_directory("D", [_group("", [1, 2]), _int("", 5)])],
    "a directory of tags named as fields": [_directory("F", [_int("Field0", 1), _int("Field1", 2)])],
    "a name twice": [_directory("H", [_int("Field0", 1), _int("Field0", 2)])],
    "directories of unnamed directories": [_directory("K", [
        _directory("", [_int("Field0", 1)]), _directory("", [_int("Field0", 1), _group("Field1", [4])])])],
}


def _write_tag_tree(path, entries):
    """A DM4 file of one 4 x 4 float32 image with what HyperSpy needs to read it, `entries` both in the
    image's ImageTags and in a root directory of their own."""
    calibration = [_real("Origin", 0.0), _real("Scale", 1.0), _text("Units", "")]
    image_data = _directory("ImageData", [
        _directory("Calibrations", [_directory("Brightness", calibration),
                                    _directory("Dimension", [_directory("", calibration)] * 2),
                                    _int("DisplayCalibratedUnits", 1)]),
        _tag("Data", [20, 6, 16], numpy.arange(16, dtype=numpy.float32).tobytes()), _int("DataType", 2),
        _directory("Dimensions", [_int("", 4), _int("", 4)]), _int("PixelDepth", 4)])
    image = _directory("", [image_data, _directory("ImageTags", entries), _text("Name", "tags")])
    root = b"\x00\x00" + struct.pack(">Q", 2) + _directory("ImageList", [image]) + _directory("Extra", entries)
    path.write_bytes(struct.pack(">IQI", 4, len(root), 1) + root + bytes(8))
    return path


@pytest.mark.parametrize("name", sorted(TAG_TREES))
def test_original_metadata_of_groups_and_directories_equals_hyperspy_own(tmp_path, name):
    path = _write_tag_tree(tmp_path / "tags.dm4", TAG_TREES[name])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = hs.load(path).original_metadata.as_dictionary()
    ours = trestan.hyperspy.load(path).original_metadata.as_dictionary()
    assert theirs["Extra"] and theirs["ImageList"]["TagGroup0"]["ImageTags"]
    assert differences(ours, theirs, ordered=True) == []
