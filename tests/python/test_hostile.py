"""What a hostile or careless caller does to the package: objects used after close() or made by
hand, close() racing other threads, odd paths and odd indices. Each must end in an exception,
never in a crash or a hang."""

import os
import subprocess
import sys
import threading
import time

import numpy
import pytest
import trestan
from conftest import SAMPLE, write_dm4


def run_isolated(code, timeout=20):
    """Runs `code` in a fresh interpreter (a crash there is a failed test, not a dead test run)."""
    return subprocess.run([sys.executable, "-c", "import trestan\n" + code], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ))


# (code, the start of what it must raise)
MISUSES = [
    ("f = trestan.open(PATH); f.close(); f.main_frame", "ValueError: I/O operation on closed file"),
    ("f = trestan.open(PATH); f.close(); f._signals()", "ValueError: I/O operation on closed file"),
    ("f = trestan.open(PATH); f.close(); trestan.load(f)", "ValueError: I/O operation on closed file"),
    ("trestan.Frame.__new__(trestan.Frame).asarray()", "TypeError: cannot create trestan.Frame"),
    ("trestan.Node.__new__(trestan.Node).name", "TypeError: cannot create trestan.Node"),
    ("trestan.File.__new__(trestan.File).frames", "TypeError: cannot create trestan.File"),
    ("trestan.Calibration.__new__(trestan.Calibration).unit", "TypeError: cannot create trestan.Calibration"),
    ("import copy; copy.copy(trestan.open(PATH).frames[1]).asarray()", "TypeError"),
    ("trestan.open(PATH).frames[1][10**20]", "IndexError"),
    ("trestan.open(PATH).frames[1][True]", "IndexError: boolean indices are not supported"),
    ("trestan.open(PATH).frames[1][3, False]", "IndexError: boolean indices are not supported"),
]


def test_misuse_raises_instead_of_crashing():
    # All cases in one child, each reporting what it raised; a crash ends the child's output there.
    code = f"PATH = {str(SAMPLE)!r}\nfor case in {[m[0] for m in MISUSES]!r}:\n" \
           "    try:\n        exec(case)\n        print('raised nothing', flush=True)\n" \
           "    except Exception as error:\n        print(f'{type(error).__name__}: {error}', flush=True)\n"
    told = run_isolated(code)
    assert told.returncode == 0, told.stdout + told.stderr
    for (case, expected), raised in zip(MISUSES, told.stdout.splitlines(), strict=True):
        assert raised.startswith(expected), case


def test_close_racing_every_method_never_crashes():
    # One thread closes the shared file and opens a new one every millisecond; the others use
    # whatever file is current. Each use gives a whole result or ValueError.
    current = [trestan.open(SAMPLE)]
    stop = threading.Event()
    uses = {
        "load": lambda f: trestan.load(f)[0]["data"].shape,
        "main_frame": lambda f: f.main_frame,
        "frames": lambda f: tuple(frame.asarray().shape for frame in f.frames),
        "metadata": lambda f: len(f.metadata.to_dict()),
        "len": len,
        "repr": repr,
    }
    results = {name: set() for name in uses}
    unexpected = []

    def churn():
        while not stop.is_set():
            current[0].close()
            current[0] = trestan.open(SAMPLE)
            stop.wait(0.001)

    def use(name):
        deadline = time.monotonic() + 1.5
        while time.monotonic() < deadline:
            try:
                results[name].add(uses[name](current[0]))
            except ValueError as error:
                if "closed file" not in str(error):
                    unexpected.append(error)
            except Exception as error:  # noqa: BLE001: reported below
                unexpected.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # threads take turns often, as on a loaded machine
    closer = threading.Thread(target=churn)
    closer.start()
    try:
        users = [threading.Thread(target=use, args=(name,)) for name in uses]
        for thread in users:
            thread.start()
        for thread in users:
            thread.join()
    finally:
        stop.set()
        closer.join()
        sys.setswitchinterval(interval)
    assert not unexpected
    assert results["load"] <= {(128, 128)} and results["main_frame"] <= {1}
    assert results["frames"] <= {((64, 64, 3), (128, 128))} and results["len"] <= {2}


def test_paths_with_nul_bytes_are_refused_by_every_entry(tmp_path):
    (tmp_path / "notes.txt").write_text("not a DM file")
    bad = str(tmp_path / "notes.txt") + "\0.dm4"
    calls = [trestan.open, trestan.load, trestan.scan, lambda p: trestan.scan([tmp_path, p])]
    if "dask" in sys.modules or _has("dask"):
        calls.append(trestan.dask.read)
    for call in calls:
        for path in (bad, os.fsencode(bad)):
            with pytest.raises(ValueError, match="embedded null byte"):
                call(path)


def _has(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def test_paths_that_are_not_utf8_come_back_as_given(tmp_path):
    name = os.fsencode(tmp_path) + b"/bad\xff.dm4"
    pixels = numpy.arange(12, dtype=numpy.float32)
    write_dm4(os.fsdecode(name), [4, 3], 2, pixels.tobytes())
    with trestan.open(name) as file:
        numpy.testing.assert_array_equal(file.frames[0].asarray().ravel(), pixels)
    for scanned in (trestan.scan(name), trestan.scan(os.fsdecode(name)), trestan.scan(tmp_path)):
        (record,) = scanned
        assert "error" not in record and os.fsencode(record["path"]) == name
        assert trestan.load(record["path"])[0]["data"].shape == (3, 4)


def test_what_is_not_a_regular_file_is_refused_at_once(tmp_path):
    fifo = tmp_path / "x.dm4"
    os.mkfifo(fifo)
    # In a child: a reader that blocked on the FIFO would hang there, not here.
    told = run_isolated(f"trestan.open({str(fifo)!r})", timeout=20)
    assert "trestan.Error: not a regular file" in told.stderr
    (record,) = trestan.scan([fifo])
    assert "regular file" in record["error"]


def test_dask_stack_of_one_path_string(tmp_path):
    pytest.importorskip("dask")
    path = write_dm4(tmp_path / "one.dm4", [4, 3], 2, numpy.ones(12, numpy.float32).tobytes())
    for one in (path, str(path), os.fsencode(path)):
        assert trestan.dask.stack(one).shape == (1, 3, 4)
