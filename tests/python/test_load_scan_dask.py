"""trestan.load() against the corpus's expected metadata, and trestan.scan() over good and damaged
files. The Dask arrays are tested in test_lazy.py."""

import json

import numpy
import pytest
import trestan
from conftest import CORPUS_DIR, SAMPLE, same, write_dm4

EXPECTED = sorted(p.name[: -len(".hyperspy.json")] for p in (CORPUS_DIR / "expected").glob("*.hyperspy.json"))


@pytest.mark.parametrize("name", EXPECTED or ["(no corpus)"])
def test_load_agrees_with_expected_metadata(name):
    if not EXPECTED:
        pytest.skip(f"no corpus at {CORPUS_DIR}")
    expected = json.loads((CORPUS_DIR / "expected" / f"{name}.hyperspy.json").read_text())["signals"]
    for want in expected:
        # HyperSpy gives every EDS detector an energy resolution of its own when the file has none;
        # the mapping takes values from tags only.
        for microscope in want["Acquisition_instrument"].values():
            microscope.get("Detector", {}).get("EDS", {}).pop("energy_resolution_MnKa", None)
    signals = trestan.load(CORPUS_DIR / name)
    assert [s["frame"] for s in signals] == [e["frame"] for e in expected]
    with trestan.open(CORPUS_DIR / name) as file:
        tree = file.metadata.to_dict()
        # Each signal's whole mapping (frame, shape, axes, General, Sample, Signal,
        # Acquisition_instrument), as the module hands it to load().
        mapped = [mapping for (_, _, _, mapping) in file._signals()]
    same(mapped, expected, "mapping", rel=1e-9, ordered=False)
    for signal, want in zip(signals, mapped):
        assert signal["data"].shape == tuple(want["shape"])
        assert signal["axes"] == want["axes"]
        # load() hands out the mapping's values as they are.
        assert {"General", "Sample", "Signal", "Acquisition_instrument"} <= signal["metadata"].keys()
        assert signal["metadata"] == {key: want[key] for key in signal["metadata"]}
        assert signal["original_metadata"].keys() == tree.keys()


def test_load_gives_spectrum_images_their_spectrum_axis_last(tmp_path):
    # Stored x, y, energy (energy slowest): the frame's array is (energy, y, x), the signal's (y, x, energy).
    pixels = numpy.arange(10 * 3 * 4, dtype=numpy.float32)
    path = write_dm4(tmp_path / "si.dm4", [4, 3, 10], 2, pixels.tobytes(),
                     {"Signal": "EELS", "Format": "Spectrum image"})
    (signal,) = trestan.load(path)
    assert [a["navigate"] for a in signal["axes"]] == [True, True, False]
    assert signal["data"].shape == (3, 4, 10)
    numpy.testing.assert_array_equal(signal["data"], pixels.reshape(10, 3, 4).transpose(1, 2, 0))


def test_hyperspy_operates_in_place_on_loaded_arrays():
    hyperspy_io = pytest.importorskip("hyperspy.io")
    (loaded,) = trestan.load(SAMPLE)
    before = loaded["data"].copy()
    signal = hyperspy_io.dict2signal({key: loaded[key] for key in ("data", "axes", "metadata", "original_metadata")})
    signal += 1
    signal.map(numpy.negative)
    numpy.testing.assert_array_equal(signal.data, -(before + 1))


def damaged_files(directory):
    """Three files the reader refuses: truncated, a wrong version, not a DM file at all."""
    good = write_dm4(directory / "good.dm4", [4, 3], 2, numpy.ones(12, numpy.float32).tobytes()).read_bytes()
    files = [directory / "truncated.dm4", directory / "version.dm4", directory / "text.dm3"]
    files[0].write_bytes(good[:40])
    files[1].write_bytes(b"\x00\x00\x00\x09" + good[4:])
    files[2].write_bytes(b"not a Digital Micrograph file\n" * 4)
    return files


def test_scan_reports_every_file_in_one_run(tmp_path):
    damaged = damaged_files(tmp_path)
    good = sorted(p for p in CORPUS_DIR.glob("*.dm[34]")) if EXPECTED else [tmp_path / "good.dm4"]
    records = trestan.scan(good + damaged, workers=2)
    assert [r["path"] for r in records] == [str(p) for p in good + damaged]
    for record in records[: len(good)]:
        assert "error" not in record and record["format"] == "DM"
        assert record["frames"][record["main"]]["thumbnail"] is False
    for record in records[len(good):]:
        assert record["error"] and "frames" not in record
    # A directory is walked for DM files; the same records come back as a table.
    table = trestan.scan(tmp_path, as_frame=True)
    assert sorted(table["path"]) == sorted(str(p) for p in tmp_path.glob("*.dm[34]"))
