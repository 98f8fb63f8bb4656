#!/usr/bin/python3
"""What the commands need in memory, under an address-space limit (ulimit -v): the tags of a file
are summarised in the memory of its tags, whatever the size of its pixels (a sparse file of 64 GiB);
frames are hashed and exported a piece at a time, so that a frame larger than the limit is written in
every format; a frame that the file ends inside is refused unless --allow-truncated."""
import argparse
import json
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

    limit = base + 256 * MiB

    def check(command, expect_exit=0, said=None):
        result = run([args.trestan] + command, limit)
        if result.returncode != expect_exit or (said and not re.search(said, result.stderr)):
            failures.append(f"{' '.join(map(str, command))} in {limit // MiB} MiB: exit {result.returncode}, "
                            f"{result.stderr!r}")
        return result

    # 64 GiB of pixels that the file holds as a hole: its tags only, or a plane of it.
    sparse = inputs / "sparse-64GiB.dm4"
    for command in [["info", sparse], ["tree", "--depth", "1", sparse], ["info", "--json", sparse]]:
        check(command)
    # A folder that holds it, beside damaged files: every file gets its line.
    records = [json.loads(line) for line in check(["scan", inputs], 1).stdout.splitlines()]
    summarised = [r for r in records if r["path"] == str(sparse) and "error" not in r]
    if len(records) < 20 or len(summarised) != 1:
        failures.append(f"scan of {inputs}: {len(records)} records, the sparse file's: {summarised}")
    # 512 MiB of pixels, twice the room left above the program: written in every format.
    frame = inputs / "sparse-512MiB.dm4"
    for extension in ["npy", "raw", "tif", "png"]:
        check(["export", frame, "-o", out / f"frame.{extension}"])
        if not (out / f"frame.{extension}").is_file():
            failures.append(f"export to .{extension} wrote nothing")
    check(["info", "--checksum", frame])
    # 6 GiB declared by a file of a kilobyte: refused, or hashed as zeros when allowed.
    vast = inputs / "vast.dm4"
    for command in [["export", vast, "-o", out / "vast.npy"], ["info", "--checksum", vast]]:
        check(command, 1, rf"^trestan: {re.escape(str(vast))}: .*the file holds \d+ of the 6442450944 bytes")
    check(["info", "--checksum", "--allow-truncated", vast])
print("\n".join(failures) or f"exports fit (a small one runs in {base // MiB} MiB)")
sys.exit(1 if failures else 0)
