import os
from typing import Any, Union

import numpy

_Path = Union[str, bytes, os.PathLike]

RGBA8: numpy.dtype
"""Element type of colour signals: records (R, G, B, A) of the four stored bytes."""

def load(path: _Path, lazy: bool = False) -> Any:
    """What hyperspy.api.load(path, lazy=lazy) gives: one signal, or a list of them."""
