"""Opens each file with the Python package and takes every frame as a NumPy array, in one process,
as bench/python-compare times it.

Prints one summary line as key=value pairs: files, opened, importSeconds (importing trestan and
NumPy), loadSeconds (all the opens and arrays) and pixelBytes (bytes of the arrays). A file that is
refused is reported on standard error and counted as not opened; the exit status is 1 then.
"""

import sys
import time


def main(paths):
    start = time.perf_counter()
    # NumPy is imported here, with the package, as hyperspy.api imports it: the load time is then
    # the opens alone.
    import numpy  # noqa: F401
    import trestan

    imported = time.perf_counter()
    opened = 0
    pixel_bytes = 0
    for path in paths:
        try:
            with trestan.open(path) as file:
                arrays = [frame.asarray() for frame in file.frames]
            pixel_bytes += sum(array.nbytes for array in arrays)
            del arrays
            opened += 1
        except Exception as error:  # noqa: BLE001 - every refusal is reported and counted
            print(f"trestan_load: {path}: {type(error).__name__}: {error}", file=sys.stderr)
    loaded = time.perf_counter()
    print(
        f"files={len(paths)} opened={opened} pixelBytes={pixel_bytes}"
        f" importSeconds={imported - start:.6f} loadSeconds={loaded - imported:.6f}"
    )
    return 0 if opened == len(paths) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
