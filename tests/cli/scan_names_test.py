#!/usr/bin/python3
"""scan prints file names as they are: in its JSON lines, bytes that are not UTF-8 as Python's
surrogate escapes (\\udcXY), so that os.fsencode(json.loads(line)["path"]) is the name again and the
line is valid UTF-8; in CSV, the name's own bytes."""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser()
parser.add_argument("--trestan", required=True)
parser.add_argument("--make-inputs", required=True)
args = parser.parse_args()
trestan = os.path.abspath(args.trestan)

# Names (before ".dm4") and the JSON text each must give.
NAMES = {
    b"bad\xff": r'"bad\udcff.dm4"',
    b"caf\xc3\xa9": '"caf\u00e9.dm4"',                   # valid UTF-8 stays as it is
    b"cut\xe2\x82": r'"cut\udce2\udc82.dm4"',          # a sequence cut short
    b"surrogate\xed\xa0\x80": r'"surrogate\udced\udca0\udc80.dm4"',
    b"overlong\xc0\xaf": r'"overlong\udcc0\udcaf.dm4"',
    b"past\xf4\x90\x80\x80": r'"past\udcf4\udc90\udc80\udc80.dm4"',
    b"four\xf0\x9f\x99\x82": '"four\U0001f642.dm4"',
    b'tab\t"quote\\\x01\x7f': r'"tab\t\"quote\\\u0001' + '\x7f.dm4"',
}

failures = []
with tempfile.TemporaryDirectory() as scratch:
    root = pathlib.Path(scratch)
    subprocess.run([args.make_inputs, root / "in"], check=True)
    dm = (root / "in" / "two.dm4").read_bytes()
    (root / "names").mkdir()
    for name in NAMES:
        (root / "names" / os.fsdecode(name + b".dm4")).write_bytes(dm)
    for name, text in NAMES.items():
        path = os.fsencode(root / "names") + b"/" + name + b".dm4"
        result = subprocess.run([trestan, "scan", path], capture_output=True)
        line = result.stdout.decode("utf-8")  # fails on bytes that are not UTF-8
        record = json.loads(line)
        if result.returncode != 0 or os.fsencode(record["path"]) != path or "error" in record:
            failures.append(f"{name!r}: exit {result.returncode}, {line!r}")
        if f'/names/{text[1:]},' not in line:
            failures.append(f"{name!r}: {line!r} does not write the name as {text}")
    table = subprocess.run([trestan, "scan", "--csv", "names"], cwd=root, capture_output=True)
    lines = table.stdout.splitlines()
    for name in NAMES:
        field = b"names/" + name + b".dm4"
        field = b'"' + field.replace(b'"', b'""') + b'"' if b'"' in field else field
        if table.returncode != 0 or not any(line.startswith(field + b",") for line in lines):
            failures.append(f"CSV: exit {table.returncode}, no row starts with {field!r}: {lines}")

print("\n".join(failures) or "names come back as they are")
sys.exit(1 if failures else 0)
