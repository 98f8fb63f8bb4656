"""Every file of the shared corpus: frames as the manifest lists them, their pixels (SHA-256 of the
plugin's whole-frame read) through every read (asarray, memmap, slices, load() laid out back in frame
order), metadata as the expected tree."""

import hashlib
import json

import numpy
import pytest
import trestan
from conftest import CORPUS_DIR, MANIFEST, same



def packed_sha256(array):
    return hashlib.sha256(numpy.ascontiguousarray(array).tobytes()).hexdigest()


def in_pieces(frame):
    """The whole frame read in three parts along its first axis (the middle one backwards), put back
    together."""
    third = max(1, frame.shape[0] // 3)
    return numpy.concatenate([frame[:third], frame[2 * third - 1:third - 1:-1][::-1], frame[2 * third:]])


def frame_order(signal, frame_ndim, frame_axes, shape):
    """A load() signal's data put back in its frame's order (its NumPy shape, axis 0 last)."""
    data = signal["data"]
    order = sorted(range(data.ndim), key=lambda axis: -frame_axes[axis])
    return data.transpose(order).reshape(shape[:frame_ndim])


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
            assert (frame.index, frame.shape, frame.truncated) == (expected["index"], shape, False)
            assert frame.dtype == numpy.dtype("uint8" if colour else expected["dataType"])
            # The plugin's pixels (its whole-frame region read), however they are read.
            array = frame.asarray()
            assert array.shape == shape and array.dtype == frame.dtype and array.flags.writeable
            for read in (array, frame.memmap(), frame[...], in_pieces(frame)):
                assert packed_sha256(read) == expected["sha256"]
            if frame.ndim > 1:
                for index in (numpy.s_[::-2, 1:], numpy.s_[..., -1], numpy.s_[-1, ::3]):
                    numpy.testing.assert_array_equal(frame[index], array[index])
            calibration = expected.get("calibration")
            if calibration:
                assert (list(frame.calibration.origin), list(frame.calibration.scale), frame.calibration.unit) == (
                    calibration["origin"], calibration["spacing"], calibration["unit"])
            assert frame.bit_depth == expected.get("bitDepth", frame.bit_depth)
            assert frame.interpretation == {3: "BINARY", 33: "RGB"}.get(expected.get("interpretation"), frame.interpretation)
        # load() lays the same pixels out as its axes say; put back in frame order they are the
        # plugin's.
        for signal, (index, frame_ndim, frame_axes, _) in zip(trestan.load(file), file._signals()):
            data = frame_order(signal, frame_ndim, frame_axes, file.frames[index].shape)
            assert signal["data"].flags.writeable
            assert packed_sha256(data) == MANIFEST[name]["frames"][index]["sha256"]
        document = file.metadata.to_json()
    same(json.loads(document), json.loads((CORPUS_DIR / "expected" / f"{name}.tree.json").read_text()))
