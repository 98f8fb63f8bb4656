#!/usr/bin/python3
"""An export whose write fails midway (here: past a file size limit, whose signal trestan ignores)
leaves the target as it was and nothing beside it, in every output format; the same export without
the limit replaces the target, without its set-user-ID, set-group-ID and sticky bits. An export ended
by SIGINT, SIGTERM or SIGHUP while it writes removes its staged file and ends by that signal."""

import argparse
import os
import pathlib
import resource
import signal
import subprocess
import sys
import tempfile
import time

parser = argparse.ArgumentParser()
parser.add_argument("--trestan", required=True)
parser.add_argument("--make-inputs", required=True)
args = parser.parse_args()
FORMATS = ["npy", "tif", "png", "raw"]


def limited():
    # Writes past 8 KiB raise SIGXFSZ, whose default action ends the process.
    resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))


def interrupted(command, folder, sig):
    """Runs `command` until a staged file shows in `folder`, then sends `sig`; its exit code, or
    None when the export ended before its staged file was seen."""
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while process.poll() is None:
        if any(name.startswith(".") for name in os.listdir(folder)):
            process.send_signal(sig)
            return process.wait()
        time.sleep(0.001)
    return None


failures = []
with tempfile.TemporaryDirectory() as scratch:
    inputs, outputs = pathlib.Path(scratch, "in"), pathlib.Path(scratch, "out")
    subprocess.run([args.make_inputs, inputs], check=True)
    outputs.mkdir()
    for extension in FORMATS:
        name = "out." + extension
        target = outputs / name
        target.write_bytes(b"previous")
        command = [args.trestan, "export", inputs / "noisy.dm4", "-o", target]
        failed = subprocess.run(command, capture_output=True, text=True, preexec_fn=limited)
        if failed.returncode != 1 or not failed.stderr.startswith(f"trestan: {target}: "):
            failures.append(f"{name}: exit {failed.returncode}, {failed.stderr!r}")
        if target.read_bytes() != b"previous" or [p.name for p in outputs.iterdir()] != [name]:
            failures.append(f"{name}: the failed export changed {sorted(p.name for p in outputs.iterdir())}")
        target.chmod(0o7754)
        replaced = subprocess.run(command, capture_output=True, text=True)
        if replaced.returncode != 0 or target.stat().st_size < 16384 or [p.name for p in outputs.iterdir()] != [name]:
            failures.append(f"{name}: the export without a limit gave {replaced.returncode} {replaced.stderr!r}")
        if target.stat().st_mode & 0o7777 != 0o754:
            failures.append(f"{name}: the replaced file has mode {target.stat().st_mode & 0o7777:o}, not 754")
        target.unlink()

        # A frame of 32 MiB (the file declares it, and holds little of it): its export writes for a while after the staged file appears (and is
        # run again, up to twice, if it ended before that was seen).
        for sig in [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]:
            command = [args.trestan, "export", "--allow-truncated", inputs / "large.dm4", "-o", target]
            for attempt in range(3):
                code = interrupted(command, outputs, sig)
                if code is not None:
                    break
                target.unlink()
            if code != -sig or os.listdir(outputs):
                failures.append(f"{name} ended by {sig.name}: exit {code}, left {os.listdir(outputs)}")
            for left in outputs.iterdir():
                left.unlink()
print("\n".join(failures) or "staged exports behave")
sys.exit(1 if failures else 0)
