#!/usr/bin/python3
"""A folder that scan cannot list, given or found at any depth, gives an error record in its place
and exit code 1. Root reads every folder, so as root the scan runs as "nobody"; exit 77 (skipped)
when that is not possible."""

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser()
parser.add_argument("--trestan", required=True)
parser.add_argument("--make-inputs", required=True)
args = parser.parse_args()
trestan = os.path.abspath(args.trestan)

drop = []
if os.geteuid() == 0:
    drop = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    if shutil.which("setpriv") is None:
        print("skipped: running as root without setpriv to drop privileges")
        sys.exit(77)

with tempfile.TemporaryDirectory() as scratch:
    root = pathlib.Path(scratch)
    root.chmod(0o755)
    subprocess.run([args.make_inputs, root / "in"], check=True)
    dm = (root / "in" / "two.dm4").read_bytes()
    # top/{a.dm4, locked/h.dm4, open/{b.dm4, deeper/c.dm4}} and alone/d.dm4; locked, deeper and alone
    # cannot be listed.
    for name in ["top/a.dm4", "top/locked/h.dm4", "top/open/b.dm4", "top/open/deeper/c.dm4", "alone/d.dm4"]:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(dm)
    for name in ["top/locked", "top/open/deeper", "alone"]:
        (root / name).chmod(0)
    try:
        probe = subprocess.run(drop + ["ls", root / "alone"], capture_output=True)
        if probe.returncode == 0 or subprocess.run(drop + [trestan, "--version"], capture_output=True).returncode != 0:
            print("skipped: cannot run the scan as a user that is refused these folders")
            sys.exit(77)
        result = subprocess.run(drop + [trestan, "scan", "top", "alone"], cwd=root, capture_output=True)
    finally:
        for name in ["top/locked", "top/open/deeper", "alone"]:
            (root / name).chmod(0o755)

records = [json.loads(line) for line in result.stdout.splitlines()]
found = [(r["path"], r.get("error")) for r in records]
denied = "cannot list the folder: Permission denied"
expected = [("top/a.dm4", None), ("top/locked", denied), ("top/open/b.dm4", None),
            ("top/open/deeper", denied), ("alone", denied)]
if found != expected or result.returncode != 1:
    print(f"exit {result.returncode}, records {found}, expected {expected}\n{result.stderr.decode()}")
    sys.exit(1)
print("unreadable folders are reported")
