"""Loads each file with HyperSpy's hyperspy.api.load, in one process, as bench/compare times it.

Prints one summary line as key=value pairs: files, opened, importSeconds (importing hyperspy.api),
loadSeconds (all the loads) and pixelBytes (bytes of the loaded data arrays). A file that HyperSpy
refuses is reported on standard error and counted as not opened; the exit status is 1 then.
"""

import sys
import time


def data_bytes(loaded):
    signals = loaded if isinstance(loaded, list) else [loaded]
    return sum(int(signal.data.nbytes) for signal in signals)


def main(paths):
    start = time.perf_counter()
    import hyperspy.api as hs

    imported = time.perf_counter()
    opened = 0
    pixel_bytes = 0
    for path in paths:
        try:
            pixel_bytes += data_bytes(hs.load(path))
            opened += 1
        except Exception as error:  # noqa: BLE001 - every refusal is reported and counted
            print(f"hyperspy_load: {path}: {type(error).__name__}: {error}", file=sys.stderr)
    loaded = time.perf_counter()
    print(
        f"files={len(paths)} opened={opened} pixelBytes={pixel_bytes}"
        f" importSeconds={imported - start:.6f} loadSeconds={loaded - imported:.6f}"
    )
    return 0 if opened == len(paths) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
