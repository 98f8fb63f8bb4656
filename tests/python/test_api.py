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


def test_arrays_are_read_once_and_outlive_the_file(tmp_path):
    # 64 MiB of float32 pixels: large enough to see in the process's memory.
    pixels = numpy.arange(4096 * 4096, dtype=numpy.float32)
    path = write_dm4(tmp_path / "big.dm4", [4096, 4096], 2, pixels.tobytes())
    del pixels
    gc.collect()
    file = trestan.open(path)
    frame = file.frames[0]
    first = frame.asarray()
    read = rss_bytes()
    arrays = [frame.asarray(), numpy.asarray(frame)] + [frame.asarray() for _ in range(5)]
    assert rss_bytes() - read < 4 * MIB  # no further copies
    for array in arrays:
        assert array.ctypes.data == first.ctypes.data
    assert not first.flags.writeable

    file.close()
    del file, frame, arrays, array
    gc.collect()
    closed = rss_bytes()
    assert read - closed > 60 * MIB  # the reader's own pixels are gone with the file
    assert first[4095, 4095] == 4096 * 4096 - 1  # the array's are not
    del first
    gc.collect()
    assert closed - rss_bytes() > 60 * MIB


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
