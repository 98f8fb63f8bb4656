"""Gatan Digital Micrograph (DM3, DM4) files as NumPy arrays and metadata trees.

    import numpy, trestan
    with trestan.open("image.dm4") as f:
        for frame in f.frames:
            print(frame.index, frame.shape, frame.dtype, frame.calibration)
        image = f.frames[1].asarray()        # read-only; read once, then the same array
        tags = f.metadata.to_dict()          # the whole tag tree as nested dicts

The files are read by the same plugin as the `trestan` command (libtrestan-gatan.so), found next
to this package in a build or install tree, or in the directories of TRESTAN_PLUGIN_PATH.
"""

from ._trestan import Calibration, Error, File, Frame, Node, UnsupportedFormat, open

__all__ = ["open", "File", "Frame", "Node", "Calibration", "Error", "UnsupportedFormat"]
