"""Reads of a frame's pixels from the open file: what they read (bytes counted by the kernel), the
memory they take, frames cut short, memory maps, close() against reads in flight, and a file
replaced after it was opened."""

import os
import subprocess
import sys
import threading
import time

import numpy
import pytest
import trestan
from conftest import write_dm4

MIB = 1 << 20


def rchar():
    with open("/proc/self/io") as io:
        return int(next(line for line in io if line.startswith("rchar:")).split()[1])


def reads_of(action):
    """The bytes that `action()` reads through system calls (the kernel's rchar), and its result."""
    first = rchar()
    second = rchar()  # about what reading the counter itself costs, taken off below
    result = action()
    return rchar() - second - (second - first), result


@pytest.fixture(scope="module")
def stack(tmp_path_factory):
    """A float32 stack of 32 planes of 64 x 256 (2 MiB of pixels) and its pixels as NumPy has them."""
    pixels = numpy.arange(32 * 64 * 256, dtype=numpy.float32).reshape(32, 64, 256)
    path = write_dm4(tmp_path_factory.mktemp("stack") / "stack.dm4", [256, 64, 32], 2, pixels.tobytes())
    return path, pixels


ROW = 256 * 4
# (index, bytes it must read: one run per selected row or plane, spanning the selection within it)
SLICES = [
    (numpy.s_[7], 64 * ROW),                       # one plane
    (numpy.s_[3:5], 2 * 64 * ROW),                 # planes next to each other: one run
    (numpy.s_[::-8], 4 * 64 * ROW),                # every 8th plane, backwards
    (numpy.s_[2, 10:20], 10 * ROW),                # rows of a plane
    (numpy.s_[2, 10:20, 5:7], 10 * 2 * 4),         # a box: two pixels of each row
    (numpy.s_[..., 100], 32 * 64 * 4),             # a column: one pixel a row
    (numpy.s_[1, ::-3, 250:3:-100], 22 * 201 * 4), # steps and reversals within rows
    (numpy.s_[5:5], 0),                            # nothing
]


def test_reads_take_only_the_bytes_they_need(stack):
    path, pixels = stack
    opened, file = reads_of(lambda: trestan.open(path))
    assert opened < pixels.nbytes // 8  # the tags, not the pixels
    with file:
        frame = file.frames[0]
        for index, expected in SLICES:
            count, part = reads_of(lambda: frame[index])
            assert expected <= count < expected + 64, index  # the counter's own text may grow
            assert part.flags.writeable
            numpy.testing.assert_array_equal(part, pixels[index])
        assert pixels.nbytes <= reads_of(frame.asarray)[0] < pixels.nbytes + 64


def test_colour_reads_show_three_of_four_stored_bytes(tmp_path):
    stored = numpy.arange(5 * 7 * 4, dtype=numpy.uint8).reshape(5, 7, 4)
    path = write_dm4(tmp_path / "colour.dm4", [7, 5], 23, stored.tobytes())
    with trestan.open(path) as file:
        frame = file.frames[0]
        assert (frame.shape, frame.dtype) == ((5, 7, 3), numpy.uint8)
        storage = frame._storage
        assert (storage["shape"], storage["strides"], storage["dtype"].itemsize) == ((5, 7), (28, 4), 4)
        assert storage["dtype"].names == ("R", "G", "B") and storage["byte_count"] == stored.nbytes
        for array in (frame.asarray(), frame.memmap(), frame[...]):
            numpy.testing.assert_array_equal(array, stored[..., :3])
        for index in (numpy.s_[1:4, ::2], numpy.s_[..., 1], numpy.s_[2, 3, ::-1], numpy.s_[::-1, 6, :2]):
            numpy.testing.assert_array_equal(frame[index], stored[..., :3][index])
        assert frame._stored().tobytes() == stored.tobytes()
        (signal,) = trestan.load(file)
    assert signal["data"].dtype == trestan.RGB8 and signal["data"].flags.writeable
    assert signal["data"]["B"].tolist() == stored[..., 2].tolist()


def test_memory_maps_read_nothing_until_touched_and_outlive_the_file(stack):
    path, pixels = stack
    file = trestan.open(path)
    count, mapped = reads_of(file.frames[0].memmap)
    assert count < 4096  # mapped, not read
    assert isinstance(mapped, numpy.memmap) and not mapped.flags.writeable
    file.close()
    numpy.testing.assert_array_equal(mapped, pixels)


def test_frames_cut_short_are_refused_unless_allowed(tmp_path):
    pixels = numpy.arange(1, 3 * 4 * 5 + 1, dtype=numpy.float32)
    path = write_dm4(tmp_path / "cut.dm4", [5, 4, 3], 2, pixels.tobytes(), cut=72)
    with trestan.open(path) as file:
        frame = file.frames[0]
        assert (frame.truncated, frame.byte_count, frame.bytes_in_file) == (True, 240, 168)
        assert frame._storage["bytes_in_file"] == 168
        message = "frame 0 is cut short: the file holds 168 of its 240 pixel bytes"
        for read in (frame.asarray, lambda: frame[0], lambda: frame.read(numpy.s_[2, 3]), frame._stored):
            with pytest.raises(trestan.Error, match=message):
                read()
        with pytest.raises(trestan.Error, match="frame 0 cannot be mapped: the file holds 168 of its 240"):
            frame.memmap()
        whole = frame.asarray(allow_truncated=True)
        assert whole.ravel()[41] == 42 and not whole.ravel()[42:].any()  # zeros for the missing bytes
        numpy.testing.assert_array_equal(frame.read(numpy.s_[2, 1:], allow_truncated=True), whole[2, 1:])
    # A frame that declares more than any machine holds: MemoryError before a byte is touched.
    vast = write_dm4(tmp_path / "vast.dm4", [1 << 16] * 3, 2, bytes(64), cut=64)
    with trestan.open(vast) as file, pytest.raises(MemoryError, match="frame 0 needs 1125899906842624 bytes"):
        file.frames[0].asarray(allow_truncated=True)


def test_close_waits_for_a_read_in_flight(tmp_path):
    # A read of 128 MiB takes a while; close() comes while it runs and returns only after it.
    pixels = numpy.arange(128 * MIB // 4, dtype=numpy.float32)
    path = write_dm4(tmp_path / "large.dm4", [4096, 8192], 2, pixels)
    for _ in range(3):
        file = trestan.open(path)
        frame = file.frames[0]
        started = threading.Event()
        outcome = {}

        def read():
            started.set()
            try:
                outcome["array"] = frame.asarray()
            except ValueError as error:  # close() came first
                outcome["error"] = error
            outcome["ended"] = time.monotonic()

        reader = threading.Thread(target=read)
        reader.start()
        started.wait()
        time.sleep(0.005)
        file.close()
        closed = time.monotonic()
        reader.join()
        if "array" in outcome:
            assert outcome["ended"] <= closed
            assert numpy.array_equal(outcome["array"].ravel(), pixels)  # read by several threads
        else:
            assert "closed file" in str(outcome["error"])
        # Whatever won, the file's descriptor is closed and a new file may take its number.
        with pytest.raises(ValueError, match="closed file"):
            frame[0]


def test_a_file_replaced_after_opening_is_read_as_it_was(tmp_path):
    path = tmp_path / "image.dm4"
    old = numpy.arange(12, dtype=numpy.float32)
    write_dm4(path, [4, 3], 2, old.tobytes())
    with trestan.open(path) as file:
        write_dm4(tmp_path / "new.dm4", [4, 3], 2, (old + 100).tobytes())
        os.replace(tmp_path / "new.dm4", path)
        frame = file.frames[0]
        for array in (frame.asarray(), frame.memmap(), frame[1:]):
            numpy.testing.assert_array_equal(array.ravel(), old[12 - array.size:])
        assert file._identity[2] != os.stat(path).st_ino


def test_a_large_read_takes_its_own_bytes_of_memory_once(tmp_path):
    # In a child, so that the peak is this read's alone: asarray() and load() of 256 MiB of pixels
    # raise the peak by the array and not much more (no second copy).
    pixels = numpy.ones((256, 1024, 256), numpy.float32)
    path = write_dm4(tmp_path / "big.dm4", [256, 1024, 256], 2, pixels)
    del pixels
    # VmHWM, the peak of the process's own memory (ru_maxrss would carry the parent's from fork).
    code = (
        "import numpy, trestan\n"
        "def status(key):\n"
        "    return int(next(l for l in open('/proc/self/status') if l.startswith(key)).split()[1]) * 1024\n"
        f"file = trestan.open({str(path)!r})\n"
        "base = status('VmRSS:')\narray = file.frames[0].asarray()\ngrown = status('VmHWM:') - base\n"
        "assert array.flags.writeable and array[255, 1023, 255] == 1\n"
        "print(grown / file.frames[0].byte_count)\n")
    told = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ))
    assert told.returncode == 0, told.stderr
    assert float(told.stdout) < 1.05
