"""Every file of the shared corpus: frames as the manifest lists them, metadata as the expected tree."""

import hashlib
import json
import math

import numpy
import pytest
import trestan
from conftest import CORPUS_DIR, corpus_manifest

MANIFEST = corpus_manifest()
NUMPY_TYPES = {"rgb8": "uint8"}


def needs_corpus():
    if not MANIFEST:
        pytest.skip(f"no corpus at {CORPUS_DIR}")


def packed_sha256(array):
    return hashlib.sha256(numpy.ascontiguousarray(array).tobytes()).hexdigest()


@pytest.mark.parametrize("name", sorted(MANIFEST) or ["(no corpus)"])
def test_frames_agree_with_manifest(name):
    needs_corpus()
    with trestan.open(CORPUS_DIR / name) as file:
        assert (file.format, file.plugin) == ("DM", "GatanPlugin")
        expected_frames = MANIFEST[name]["frames"]
        assert len(file) == len(expected_frames)
        for frame, expected in zip(file.frames, expected_frames):
            shape = tuple(reversed(expected["shape"])) + ((3,) if expected["dataType"] == "rgb8" else ())
            assert (frame.index, frame.shape) == (expected["index"], shape)
            assert frame.dtype == numpy.dtype(NUMPY_TYPES.get(expected["dataType"], expected["dataType"]))
            array = frame.asarray()
            assert array.shape == shape and array.dtype == frame.dtype
            assert packed_sha256(array) == expected["sha256"]
            assert packed_sha256(frame[...]) == expected["sha256"]
            if "calibration" in expected:
                calibration = frame.calibration
                assert list(calibration.origin) == expected["calibration"]["origin"]
                assert list(calibration.scale) == expected["calibration"]["spacing"]
                assert calibration.unit == expected["calibration"]["unit"]
            if "bitDepth" in expected:
                assert frame.bit_depth == expected["bitDepth"]
            interpretation = {3: "BINARY", 33: "RGB"}.get(expected.get("interpretation"))
            if interpretation:
                assert frame.interpretation == interpretation


def same_json(actual, expected, float32=False):
    """Numbers compared as the corpus README says: float32 values after rounding to float32."""
    if isinstance(expected, dict):
        assert isinstance(actual, dict) and list(actual) == list(expected)
        float32 = expected.get("type") == "float32" if "type" in expected else float32
        for key in expected:
            same_json(actual[key], expected[key], float32)
    elif isinstance(expected, list):
        assert isinstance(actual, list) and len(actual) == len(expected)
        for a, e in zip(actual, expected):
            same_json(a, e, float32)
    elif float32 and isinstance(expected, float) and math.isfinite(expected):
        assert numpy.float32(actual) == numpy.float32(expected)
    else:
        assert actual == expected and type(actual) is type(expected)


@pytest.mark.parametrize("name", sorted(MANIFEST) or ["(no corpus)"])
def test_tree_agrees_with_expected_json(name):
    needs_corpus()
    with trestan.open(CORPUS_DIR / name) as file:
        document = file.metadata.to_json()
    same_json(json.loads(document), json.loads((CORPUS_DIR / "expected" / f"{name}.tree.json").read_text()))
