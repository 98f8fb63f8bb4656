#!/usr/bin/python3
"""An export whose write fails midway (here: past a file size limit) leaves the target as it was and
nothing beside it, in every output format; the same export without the limit replaces the target."""

import argparse
import pathlib
import resource
import signal
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser()
parser.add_argument("--trestan", required=True)
parser.add_argument("--make-inputs", required=True)
args = parser.parse_args()


def limited():
    # Writes past 8 KiB fail with EFBIG instead of stopping the process.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))


failures = []
with tempfile.TemporaryDirectory() as scratch:
    inputs, outputs = pathlib.Path(scratch, "in"), pathlib.Path(scratch, "out")
    subprocess.run([args.make_inputs, inputs], check=True)
    outputs.mkdir()
    for name in ["out.npy", "out.tif", "out.png", "out.raw"]:
        target = outputs / name
        target.write_bytes(b"previous")
        command = [args.trestan, "export", inputs / "noisy.dm4", "-o", target]
        failed = subprocess.run(command, capture_output=True, text=True, preexec_fn=limited)
        if failed.returncode != 1 or not failed.stderr.startswith(f"trestan: {target}: "):
            failures.append(f"{name}: exit {failed.returncode}, {failed.stderr!r}")
        if target.read_bytes() != b"previous" or [p.name for p in outputs.iterdir()] != [name]:
            failures.append(f"{name}: the failed export changed {sorted(p.name for p in outputs.iterdir())}")
        # The replacement keeps the target's permission bits but not set-user-ID, set-group-ID or sticky.
        target.chmod(0o7754)
        replaced = subprocess.run(command, capture_output=True, text=True)
        if replaced.returncode != 0 or target.stat().st_size < 16384 or [p.name for p in outputs.iterdir()] != [name]:
            failures.append(f"{name}: the export without a limit gave {replaced.returncode} {replaced.stderr!r}")
        if target.stat().st_mode & 0o7777 != 0o754:
            failures.append(f"{name}: the replaced file has mode {target.stat().st_mode & 0o7777:o}, not 754")
        target.unlink()
print("\n".join(failures) or "staged exports behave")
sys.exit(1 if failures else 0)
