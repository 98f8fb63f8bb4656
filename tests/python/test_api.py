"""The package's behaviour on our own sample and on files written here: zero copy and lifetimes,
region reads, the metadata tree, errors and threads."""

import concurrent.futures
import gc
import hashlib
import subprocess

import numpy
import pytest
import trestan
from conftest import CORPUS_DIR, SAMPLE, MANIFEST, rss_bytes, write_dm4

MIB = 1 << 20


def test_each_read_is_a_new_writable_array_that_outlives_the_file():
    file = trestan.open(SAMPLE)
    frame = file.frames[1]
    arrays = [frame.asarray(), numpy.asarray(frame), frame[...]]
    for array in arrays:
        assert array.flags.writeable and array.shape == frame.shape
        numpy.testing.assert_array_equal(array, arrays[0])
    assert not any(numpy.shares_memory(a, b) for i, a in enumerate(arrays) for b in arrays[i + 1:])
    arrays[0][0, 0] += 1  # the caller's own: other reads do not see it
    assert frame.asarray()[0, 0] == arrays[1][0, 0] != arrays[0][0, 0]
    file.close()
    del file
    gc.collect()
    assert arrays[1].sum() == arrays[2].sum()
    for read in (frame.asarray, frame.memmap, lambda: frame[0]):
        with pytest.raises(ValueError, match="closed file"):
            read()


def test_colour_and_region_reads():
    with trestan.open(SAMPLE) as file:
        thumbnail, image = file.frames
        colour = thumbnail.asarray()
        assert colour.shape == thumbnail.shape == (64, 64, 3)
        whole = image.asarray()
        for region in [numpy.s_[10:20, 3], numpy.s_[::-3, 5:1:-1], numpy.s_[..., -1], numpy.s_[5, 6], numpy.s_[2:2]]:
            part = image[region]
            assert numpy.array_equal(part, whole[region])
            assert not numpy.shares_memory(part, whole)
        for region in [numpy.s_[1:3, 2, ::2], numpy.s_[..., 1], numpy.s_[7]]:
            assert numpy.array_equal(thumbnail.read(region), colour[region])
        for bad in [numpy.s_[128], numpy.s_[0, 0, 0], numpy.s_[..., ...]]:
            with pytest.raises(IndexError):
                image[bad]
        with pytest.raises(TypeError):
            image["x"]


def test_metadata_tree():
    with trestan.open(str(SAMPLE)) as file:
        root = file.metadata
    calibrations = root["GATAN/ImageList/item001/ImageData/Calibrations"]
    assert "Dimension/item000" in calibrations
    assert [child.name for child in calibrations] == [child.name for child in calibrations.children]
    assert len(calibrations) == len(calibrations.children)
    unit = calibrations["Dimension/item001/Units"]
    assert (unit.name, unit.value) == ("Units", "nm")
    assert isinstance(calibrations["Dimension/item000/Scale"].value, float)
    dimensions = root["GATAN/ImageList/item001/ImageData/Dimensions"]
    assert [d.value for d in dimensions] == [128, 128]
    assert calibrations.to_dict()["Dimension"]["item001"] == {"Origin": 64.0, "Scale": 0.25, "Units": "nm"}
    with pytest.raises(KeyError):
        root["GATAN/NoSuchTag"]


def test_errors(tmp_path, cli):
    with pytest.raises(FileNotFoundError):
        trestan.open(tmp_path / "missing.dm4")
    with pytest.raises(IsADirectoryError):
        trestan.open(tmp_path)
    with pytest.raises(trestan.UnsupportedFormat):
        trestan.open(SAMPLE.parent.parent / "README.md")
    assert issubclass(trestan.UnsupportedFormat, trestan.Error) and issubclass(trestan.Error, ValueError)

    damaged = tmp_path / "damaged.dm4"
    damaged.write_bytes(SAMPLE.read_bytes()[:300])
    told = subprocess.run([cli, "info", damaged], capture_output=True, text=True)
    with pytest.raises(trestan.Error) as raised:
        trestan.open(damaged)
    assert told.returncode != 0 and told.stderr == f"trestan: {damaged}: {raised.value}\n"

    file = trestan.open(SAMPLE)
    file.close()
    with pytest.raises(ValueError):
        file.frames


def test_a_thousand_damaged_files_leave_no_memory_behind(tmp_path):
    sample = SAMPLE.read_bytes()
    path = tmp_path / "damaged.dm4"

    def open_damaged(count):
        refused = 0
        for i in range(count):
            cut = 16 + (i * 7919) % (len(sample) - 16)
            data = bytearray(sample[:cut])
            data[(i * 104729) % cut] ^= 0xFF
            path.write_bytes(data)
            try:
                trestan.open(path).close()
            except trestan.Error:
                refused += 1
        return refused

    open_damaged(100)
    gc.collect()
    before = rss_bytes()
    refused = open_damaged(1000)
    gc.collect()
    assert refused > 900
    assert rss_bytes() - before < 2 * MIB


def test_threads_read_the_same_bytes_as_one_thread():
    paths = [CORPUS_DIR / name for name in sorted(MANIFEST)] or [SAMPLE]

    def digests(_=None):
        result = []
        for path in paths:
            with trestan.open(path) as file:
                for frame in file.frames:
                    result.append(hashlib.sha256(frame[...].tobytes() + frame.asarray().tobytes()).hexdigest())
        return result

    alone = digests()
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        assert list(pool.map(digests, range(8))) == [alone] * 8
