#!/usr/bin/python3
"""What an export or a checksum needs in memory, under an address-space limit (ulimit -v): a frame
of 6 GiB that files of a kilobyte declare is refused with a message, never by the process dying; a
frame of 32 MiB is written in every format and summed within a few times its size, which the PNG
preview's percentiles once took seven times over."""

import argparse
import pathlib
import re
import resource
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser()
parser.add_argument("--trestan", required=True)
parser.add_argument("--make-inputs", required=True)
args = parser.parse_args()
MiB = 1 << 20


def run(command, limit):
    def limited():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    return subprocess.run(command, capture_output=True, text=True, preexec_fn=limited)


failures = []
with tempfile.TemporaryDirectory() as scratch:
    inputs, out = pathlib.Path(scratch, "in"), pathlib.Path(scratch, "out")
    subprocess.run([args.make_inputs, inputs], check=True)
    out.mkdir()
    # The least address space (to 4 MiB) in which a small export runs: libraries, plugin, stacks.
    low, high = 16 * MiB, 2048 * MiB
    while high - low > 4 * MiB:
        middle = (low + high) // 2
        small = run([args.trestan, "export", inputs / "noisy.dm4", "-o", out / "small.png"], middle)
        low, high = (low, middle) if small.returncode == 0 else (middle, high)
    base = high

    vast = inputs / "vast.dm4"
    for limit in [base + 256 * MiB, 8192 * MiB]:
        for command in [["export", vast, "-o", out / "vast.png"], ["export", vast, "-o", out / "vast.npy"],
                        ["info", "--checksum", vast]]:
            result = run([args.trestan] + command, limit)
            said = re.search(r"need \d+ bytes of memory, more than the \d+ bytes|out of memory$", result.stderr)
            if result.returncode != 1 or not result.stderr.startswith(f"trestan: {vast}: ") or not said:
                failures.append(f"{command[:2]} of 6 GiB in {limit // MiB} MiB: exit {result.returncode}, {result.stderr!r}")

    # The plugin's copy of the frame and the export's: twice 32 MiB, and room to spare.
    large = inputs / "large.dm4"
    for command in [["export", large, "-o", out / f"large.{extension}"] for extension in ["png", "npy", "tif", "raw"]] + [
            ["info", "--checksum", large]]:
        result = run([args.trestan] + command, base + 5 * 32 * MiB)
        if result.returncode != 0:
            failures.append(f"{command[:2]} of 32 MiB in {(base + 160 * MiB) // MiB} MiB: exit {result.returncode}, "
                            f"{result.stderr!r}")
print("\n".join(failures) or f"exports fit (a small one runs in {base // MiB} MiB)")
sys.exit(1 if failures else 0)
