"""Reads files with the Python package in one process, as bench/python-compare times it.

    trestan_load.py load FILE...              trestan.load() of each file: its signals' arrays
    trestan_load.py open [--repeat N] FILE... trestan.open() and close() of each file, N times
    trestan_load.py hyperspy FILE...          trestan.hyperspy.load() of each file: HyperSpy signals

Prints one summary line as key=value pairs: files, opened, pixelBytes (bytes of the arrays
load() gave), importSeconds (importing NumPy and trestan; for hyperspy also trestan.hyperspy and
hyperspy.api), deferredImportSeconds (hyperspy only: what `import hyperspy.api` leaves to first use,
imported as bench/hyperspy_load.py --import-deferred imports it), loadSeconds or openSeconds (all
the loads or opens) and baseKiB (the resident memory once the imports are done, which the peak
memory of the reading is taken above). A file that is refused is reported on standard error and
counted as not opened; the exit status is 1 then.
"""

import argparse
import sys
import time


def resident_kib():
    with open("/proc/self/status") as status:
        return int(next(line for line in status if line.startswith("VmRSS:")).split()[1])


def signal_list(loaded):
    return loaded if isinstance(loaded, list) else [loaded]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["load", "open", "hyperspy"])
    parser.add_argument("--repeat", type=int, default=1, help="opens per file (open mode)")
    parser.add_argument("paths", nargs="+")
    args = parser.parse_args()

    start = time.perf_counter()
    # NumPy is imported here, with the package, as hyperspy.api imports it: the timed part is then
    # the reading alone.
    import numpy  # noqa: F401
    import trestan

    deferred = ""
    if args.mode == "hyperspy":
        import hyperspy.api as hs
        import trestan.hyperspy

        from hyperspy_load import import_deferred  # beside this script, on sys.path

        imported = time.perf_counter()

        import_deferred(hs)
        deferred = f" deferredImportSeconds={time.perf_counter() - imported:.6f}"
    else:
        imported = time.perf_counter()
    ready = time.perf_counter()
    base = resident_kib()
    opened = 0
    pixel_bytes = 0
    for path in args.paths:
        try:
            if args.mode == "load":
                signals = trestan.load(path)
                pixel_bytes += sum(signal["data"].nbytes for signal in signals)
                del signals
            elif args.mode == "hyperspy":
                signals = signal_list(trestan.hyperspy.load(path))
                pixel_bytes += sum(int(signal.data.nbytes) for signal in signals)
                del signals
            else:
                for _ in range(args.repeat):
                    trestan.open(path).close()
            opened += 1
        except Exception as error:  # noqa: BLE001 - every refusal is reported and counted
            print(f"trestan_load: {path}: {type(error).__name__}: {error}", file=sys.stderr)
    done = time.perf_counter()
    key = "openSeconds" if args.mode == "open" else "loadSeconds"
    print(f"files={len(args.paths)} opened={opened} pixelBytes={pixel_bytes} baseKiB={base}"
          f" importSeconds={imported - start:.6f}{deferred} {key}={done - ready:.6f}")
    return 0 if opened == len(args.paths) else 1


if __name__ == "__main__":
    sys.exit(main())
