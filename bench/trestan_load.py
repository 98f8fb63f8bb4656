"""Reads files with the Python package in one process, as bench/python-compare times it.

    trestan_load.py load FILE...              trestan.load() of each file: its signals' arrays
    trestan_load.py open [--repeat N] FILE... trestan.open() and close() of each file, N times

Prints one summary line as key=value pairs: files, opened, pixelBytes (bytes of the arrays
load() gave), importSeconds (importing NumPy and trestan), loadSeconds or openSeconds (all the loads
or opens) and baseKiB (the resident memory once the imports are done, which the peak memory of the
reading is taken above). A file that is refused is reported on standard error and counted as not
opened; the exit status is 1 then.
"""

import argparse
import sys
import time


def resident_kib():
    with open("/proc/self/status") as status:
        return int(next(line for line in status if line.startswith("VmRSS:")).split()[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["load", "open"])
    parser.add_argument("--repeat", type=int, default=1, help="opens per file (open mode)")
    parser.add_argument("paths", nargs="+")
    args = parser.parse_args()

    start = time.perf_counter()
    # NumPy is imported here, with the package, as hyperspy.api imports it: the timed part is then
    # the reading alone.
    import numpy  # noqa: F401
    import trestan

    imported = time.perf_counter()
    base = resident_kib()
    opened = 0
    pixel_bytes = 0
    for path in args.paths:
        try:
            if args.mode == "load":
                signals = trestan.load(path)
                pixel_bytes += sum(signal["data"].nbytes for signal in signals)
                del signals
            else:
                for _ in range(args.repeat):
                    trestan.open(path).close()
            opened += 1
        except Exception as error:  # noqa: BLE001 - every refusal is reported and counted
            print(f"trestan_load: {path}: {type(error).__name__}: {error}", file=sys.stderr)
    done = time.perf_counter()
    key = "loadSeconds" if args.mode == "load" else "openSeconds"
    print(f"files={len(args.paths)} opened={opened} pixelBytes={pixel_bytes} baseKiB={base}"
          f" importSeconds={imported - start:.6f} {key}={done - imported:.6f}")
    return 0 if opened == len(args.paths) else 1


if __name__ == "__main__":
    sys.exit(main())
