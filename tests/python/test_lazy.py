"""Lazy arrays: trestan.load(lazy=True), trestan.dask.read() and stack() against the eager reads,
on the corpus and on files written here; tasks that read their own bytes on worker processes; files
cut short or changed; graphs that pickle small."""

import io
import os
import pickle
import struct
import subprocess
import sys

import numpy
import pytest
import trestan
from conftest import CORPUS_DIR, MANIFEST, SAMPLE, _directory, _tag, write_dm4

dask = pytest.importorskip("dask")
import trestan.dask  # noqa: E402  (after the skip)


@pytest.mark.parametrize("path", [CORPUS_DIR / name for name in sorted(MANIFEST)] or [SAMPLE], ids=str)
def test_lazy_reads_equal_the_eager_ones(path):
    with trestan.open(path) as file:
        signals = trestan.load(file)
        # Per frame what load() gives; a thumbnail, which is no signal, as asarray() (colour as RGB8).
        frames = {f.index: f.asarray().view(trestan.RGB8)[..., 0] if f.interpretation == "RGB" else f.asarray()
                  for f in file.frames} | {s["frame"]: s["data"] for s in signals}
    for chunks in ("auto", "1 KiB"):  # one chunk, and many (a small file's signal axes split too)
        lazy = trestan.load(path, lazy=True, chunks=chunks)
        same = [(s.keys(), s["frame"], s["axes"], s["metadata"], s["data"].dtype) for s in signals]
        assert [(s.keys(), s["frame"], s["axes"], s["metadata"], s["data"].dtype) for s in lazy] == same
        for index, array in frames.items():
            for data in [trestan.dask.read(path, index, chunks=chunks)] + [s["data"] for s in lazy if s["frame"] == index]:
                computed = data.compute()
                assert data.dtype == computed.dtype == array.dtype
                numpy.testing.assert_array_equal(computed, array)


# (frame axes, axis 0 first; DM data type; element type; Meta Data; a chunk size and the chunks it
# gives: the navigation axes split, the signal axes whole)
LAYOUTS = [
    ([8, 6, 16], 2, numpy.float32, {"Signal": "EELS", "Format": "Spectrum image"}, "512 B", ((1,) * 6, (8,), (16,))),
    ([8, 4, 5, 6], 2, numpy.float32, {}, "512 B", ((1,) * 6, (3, 2), (4,), (8,))),  # a 4-D scan
    ([8, 1, 5, 6], 10, numpy.uint16, {}, "64 B", ((1,) * 6, (3, 2), (8,))),        # detector rows: one signal axis
    ([16, 8, 6], 23, numpy.uint32, {}, "1 KiB", ((2, 2, 2), (8,), (16,))),         # colour: 4 bytes a pixel
    ([8, 8, 4], 3, numpy.complex64, {}, "1 KiB", ((2, 2), (8,), (8,))),
]


@pytest.mark.parametrize("dimensions, code, dtype, meta, limit, chunks", LAYOUTS)
def test_layouts_and_chunks(tmp_path, dimensions, code, dtype, meta, limit, chunks):
    pixels = numpy.arange(numpy.prod(dimensions), dtype=numpy.uint64).astype(dtype)
    path = write_dm4(tmp_path / "image.dm4", dimensions, code, pixels.tobytes(), meta)
    (signal,) = trestan.load(path)
    for chunking in (limit, {0: 2}, 3):
        (lazy,) = trestan.load(path, lazy=True, chunks=chunking)
        assert lazy["data"].chunks == chunks or chunking != limit
        computed = lazy["data"].compute()
        assert lazy["data"].dtype == computed.dtype == signal["data"].dtype
        numpy.testing.assert_array_equal(computed, signal["data"])
    # A stack lays out each file as load() does, and names a file that differs.
    odd = write_dm4(tmp_path / "odd.dm4", [2], code, pixels[:2].tobytes())
    for check in (True, False):
        stacked = trestan.dask.stack([path, path], chunks=limit, check=check)
        numpy.testing.assert_array_equal(stacked.compute(), numpy.stack([signal["data"]] * 2))
        with pytest.raises(trestan.Error, match="odd.dm4: frame of shape"):
            trestan.dask.stack([path, odd], check=check).compute()
    assert trestan.dask.stack(str(path)).shape == (1,) + signal["data"].shape  # one path is one file


def cut_short(path, dimensions, pixels, missing):
    """A DM4 file whose float32 image of `dimensions` is its last tag, `missing` bytes cut off the
    end of `pixels` (fewer than the dimensions declare)."""
    image_data = _directory("ImageData", [
        _tag("DataType", [5], struct.pack("<I", 2)),
        _directory("Dimensions", [_tag("", [5], struct.pack("<I", n)) for n in dimensions]),
        _tag("Data", [20, 6, int(numpy.prod(dimensions))], pixels.tobytes())])
    root = b"\x00\x00" + struct.pack(">Q", 1) + _directory("ImageList", [_directory("", [image_data])])
    path.write_bytes((struct.pack(">IQI", 4, len(root), 1) + root)[:len(root) + 16 - missing])
    return path


def test_frames_cut_short_are_refused_unless_allowed(tmp_path, monkeypatch):
    pixels = numpy.arange(1, 61, dtype=numpy.float32)
    path = cut_short(tmp_path / "cut.dm4", [4, 3, 5], pixels, 72)
    with pytest.raises(trestan.Error) as eager:
        trestan.load(path)
    for call in (lambda: trestan.load(path, lazy=True), lambda: trestan.dask.read(path),
                 lambda: trestan.dask.stack([SAMPLE, path], frame=0, check=True)):
        with pytest.raises(trestan.Error, match="cut.dm4: frame 0 is cut short: the file holds 168 of its 240") as lazy:
            call()
        assert str(lazy.value).endswith(str(eager.value))  # the eager read's message, naming the file
    (eager,) = trestan.load(path, allow_truncated=True)  # the missing bytes read as zeros
    assert eager["data"].ravel()[41] == 42 and not eager["data"].ravel()[42:].any()
    for chunks in ("auto", "20 B"):
        (lazy,) = trestan.load(path, lazy=True, chunks=chunks, allow_truncated=True)
        numpy.testing.assert_array_equal(lazy["data"].compute(), eager["data"])

    # A frame that declares 4 GiB: chunks of 128 MiB, and a clear refusal of too many tasks (with a
    # limit of 10 here rather than a million: the counts that a graph without the limit would make
    # stay small).
    huge = cut_short(tmp_path / "huge.dm4", [4096, 4096, 64], pixels, 0)
    (lazy,) = trestan.load(huge, lazy=True, allow_truncated=True)
    assert lazy["data"].chunks == ((2,) * 32, (4096,), (4096,))
    assert lazy["data"][0, :2, :3].compute().tolist() == [[1, 2, 3], [0, 0, 0]]
    monkeypatch.setattr(trestan._lazy, "MAX_CHUNKS", 10)
    for chunks in (1024, "32 MiB", (1, 1024, 4096), {0: 1, 1: 1024}):
        with pytest.raises(ValueError, match="more than 10: ask for larger chunks"):
            trestan.load(huge, lazy=True, allow_truncated=True, chunks=chunks)
    with pytest.raises(ValueError, match="more than 10"):
        trestan.dask.stack([huge] * 6, chunks=(32, 4096, 4096), allow_truncated=True)


class NoArrays(pickle.Pickler):
    def reducer_override(self, value):
        if isinstance(value, (numpy.ndarray, io.IOBase, memoryview)) or type(value).__module__.startswith("mmap"):
            raise AssertionError(f"the graph holds a {type(value).__name__}")
        return NotImplemented


def test_graphs_pickle_small_and_refuse_a_changed_file(tmp_path):
    pixels = numpy.ones(16 * 32 * 24 * 8, numpy.float32)
    path = write_dm4(tmp_path / "scan.dm4", [24, 8, 32, 16], 2, pixels.tobytes())
    arrays = [trestan.load(path, lazy=True, chunks="8 KiB")[0]["data"], trestan.dask.read(path, chunks="8 KiB"),
              trestan.dask.stack([path] * 3, chunks="8 KiB"), trestan.dask.stack([path] * 3, chunks="8 KiB", check=True)]
    for array in arrays:
        graph = dict(array.__dask_graph__())
        assert array.npartitions > 40 and len(graph) == array.npartitions  # one task per chunk
        NoArrays(io.BytesIO()).dump(graph)
        assert len(pickle.dumps(graph)) < 200 * len(graph)
    assert arrays[0].sum().compute() == pixels.size
    os.utime(path, ns=(0, os.stat(path).st_mtime_ns + 1))  # the same bytes, but not the same file
    for array in arrays:
        with pytest.raises(trestan.Error, match="scan.dm4: the file changed after the array was made"):
            array[0].compute()
    path.write_bytes(bytes(100))
    with pytest.raises(trestan.Error, match="scan.dm4"):
        arrays[2][2].compute()  # a file the tasks open themselves: no DM file any more


def test_trestan_and_eager_reads_do_not_import_dask():
    code = (f"import sys, trestan\ntrestan.load({str(SAMPLE)!r})\nprint('dask' in sys.modules)\n"
            f"trestan.load({str(SAMPLE)!r}, lazy=True)\nprint('dask' in sys.modules)\n")
    told = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ))
    assert told.stdout.split() == ["False", "True"], told.stderr


def test_worker_processes_read_only_their_own_bytes(tmp_path):
    distributed = pytest.importorskip("distributed")
    pixels = numpy.random.default_rng(3).random(32 * 16 * 64 * 48, numpy.float32)  # 6 MiB, a 4-D scan
    path = write_dm4(tmp_path / "scan.dm4", [64, 48, 16, 32], 2, pixels.tobytes())
    with trestan.open(path) as file:
        first = file.frames[0]._storage["offset"]

    def record_reads():  # in each worker: every positioned read noted as (offset, byte count)
        import os
        def preadv(fd, buffers, offset, *flags, original=os.preadv):
            preadv.reads.append((offset, original(fd, buffers, offset, *flags)))
            return preadv.reads[-1][1]
        preadv.reads, os.preadv = [], preadv

    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        client.run(record_reads)
        data = trestan.load(path, lazy=True, chunks="512 KiB")[0]["data"]
        assert data.numblocks == (16, 1, 1, 1)
        total = client.compute(data.sum(axis=(-2, -1))).result()
        numpy.testing.assert_allclose(total, pixels.reshape(data.shape).sum(axis=(-2, -1)), rtol=1e-5)
        per_worker = list(client.run(lambda: __import__("os").preadv.reads).values())
        assert all(per_worker)  # both workers read
        # The reads tile the pixel bytes: each byte read once, none outside them.
        spans = sorted(span for spans in per_worker for span in spans)
        assert [offset for offset, _ in spans] == list(numpy.cumsum([first] + [n for _, n in spans[:-1]]))
        assert sum(n for _, n in spans) == pixels.nbytes
        os.utime(path, ns=(0, os.stat(path).st_mtime_ns + 1))  # the worker's error names a changed file
        with pytest.raises(trestan.Error, match="scan.dm4: the file changed"):
            client.compute(data.sum()).result()
