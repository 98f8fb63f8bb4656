"""Loads each file with HyperSpy's hyperspy.api.load, in one process, as bench/compare times it.

    hyperspy_load.py FILE...                  import hyperspy.api, then load every file
    hyperspy_load.py --import-deferred FILE...  also import, before the loads, what `import
                                              hyperspy.api` leaves to first use: hyperspy.io and
                                              the signal classes of hs.signals

Prints one summary line as key=value pairs: files, opened, pixelBytes (bytes of the loaded data
arrays), importSeconds (importing hyperspy.api), deferredImportSeconds (with --import-deferred:
importing hyperspy.io and the signal classes) and loadSeconds (all the loads). A file that HyperSpy
refuses is reported on standard error and counted as not opened; the exit status is 1 then.
"""

import sys
import time


def data_bytes(loaded):
    signals = loaded if isinstance(loaded, list) else [loaded]
    return sum(int(signal.data.nbytes) for signal in signals)


def import_deferred(hs):
    """Imports what `import hyperspy.api` defers to the first load or the first signal: its file
    readers and writers (hyperspy.io) and its signal classes (each class of hs.signals is imported
    when first asked for). Loads then import nothing of size. bench/trestan_load.py hyperspy imports
    the same."""
    import hyperspy.io  # noqa: F401

    for name in dir(hs.signals):
        if not name.startswith("_"):
            getattr(hs.signals, name)


def main(arguments):
    deferred = arguments[:1] == ["--import-deferred"]
    paths = arguments[1:] if deferred else arguments
    start = time.perf_counter()
    import hyperspy.api as hs

    imported = time.perf_counter()
    if deferred:
        import_deferred(hs)
    ready = time.perf_counter()
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
        f"files={len(paths)} opened={opened} pixelBytes={pixel_bytes} importSeconds={imported - start:.6f}"
        + (f" deferredImportSeconds={ready - imported:.6f}" if deferred else "")
        + f" loadSeconds={loaded - ready:.6f}"
    )
    return 0 if opened == len(paths) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
