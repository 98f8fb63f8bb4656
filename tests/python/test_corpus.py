"""Every file of the shared corpus: frames as the manifest lists them (pixels through the array and a
region read of the whole frame), metadata as the expected tree."""

import hashlib
import json

import numpy
import pytest
import trestan
from conftest import CORPUS_DIR, MANIFEST, same



def packed_sha256(array):
    return hashlib.sha256(numpy.ascontiguousarray(array).tobytes()).hexdigest()


@pytest.mark.parametrize("name", sorted(MANIFEST) or ["(no corpus)"])
def test_frames_and_tree_agree_with_the_corpus(name):
    if not MANIFEST:
        pytest.skip(f"no corpus at {CORPUS_DIR}")
    with trestan.open(CORPUS_DIR / name) as file:
        assert (file.format, file.plugin) == ("DM", "GatanPlugin")
        assert len(file) == len(MANIFEST[name]["frames"])
        for frame, expected in zip(file.frames, MANIFEST[name]["frames"]):
            colour = expected["dataType"] == "rgb8"
            shape = tuple(reversed(expected["shape"])) + ((3,) if colour else ())
            assert (frame.index, frame.shape) == (expected["index"], shape)
            assert frame.dtype == numpy.dtype("uint8" if colour else expected["dataType"])
            array = frame.asarray()
            assert array.shape == shape and array.dtype == frame.dtype
            assert packed_sha256(array) == packed_sha256(frame[...]) == expected["sha256"]
            calibration = expected.get("calibration")
            if calibration:
                assert (list(frame.calibration.origin), list(frame.calibration.scale), frame.calibration.unit) == (
                    calibration["origin"], calibration["spacing"], calibration["unit"])
            assert frame.bit_depth == expected.get("bitDepth", frame.bit_depth)
            assert frame.interpretation == {3: "BINARY", 33: "RGB"}.get(expected.get("interpretation"), frame.interpretation)
        document = file.metadata.to_json()
    same(json.loads(document), json.loads((CORPUS_DIR / "expected" / f"{name}.tree.json").read_text()))
