#!/usr/bin/python3
"""Real DM files of the shared corpus: `trestan info --json --checksum` against the manifest, and the
same read through the plugin's open (--via-plugin) giving the same document as through the index;
`trestan scan` of the whole corpus summarises every file as `info` does. (The trees
are compared with the expected ones by the Python package's corpus test, through the same JSON writer;
the NumPy, TIFF and PNG writers' bytes are held by the golden cases, cases.txt, for every element
type.) Exits with 77, which CTest counts as skipped, without the corpus."""

import argparse
import json
import pathlib
import struct
import subprocess
import sys

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


def check_file(binary, corpus, name, entry):
    path = str(corpus / name)
    result = subprocess.run([binary, "info", "--json", "--checksum", path], capture_output=True, text=True, timeout=300)
    if not check(result.returncode == 0, f"{name}: info exits with {result.returncode}: {result.stderr}"):
        return
    via_plugin = subprocess.run([binary, "info", "--via-plugin", "--json", "--checksum", path], capture_output=True,
                                text=True, timeout=300)
    check(via_plugin.returncode == 0 and via_plugin.stdout == result.stdout,
          f"{name}: info --via-plugin differs from info: {via_plugin.stderr}")
    info = json.loads(result.stdout)
    check(info["file"] == path and info["format"] == "DM", f"{name}: file and format {info['file']} {info['format']}")
    check(len(info["frames"]) == len(entry["frames"]), f"{name}: {len(info['frames'])} frames")
    for frame, wanted in zip(info["frames"], entry["frames"]):
        what = f"{name} frame {wanted['index']}"
        for key in ("index", "shape", "dataType", "dataTypeId", "sha256", "bitDepth", "interpretation"):
            check(key not in wanted or frame.get(key) == wanted[key], f"{what}: {key} {frame.get(key)}, expected {wanted.get(key)}")
        if "calibration" in wanted:
            for key in ("origin", "spacing"):  # float32 in the file, the sign of zero too
                got, want = frame["calibration"][key], wanted["calibration"][key]
                check(struct.pack(f"<{len(got)}f", *got) == struct.pack(f"<{len(want)}f", *want),
                      f"{what}: calibration {key} {frame['calibration'][key]}")
            check(frame["calibration"]["unit"] == wanted["calibration"]["unit"], f"{what}: unit")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trestan", required=True)
    parser.add_argument("--corpus", required=True, type=pathlib.Path)
    args = parser.parse_args()
    if not (args.corpus / "manifest.json").is_file():
        print(f"no corpus at {args.corpus}")
        return 77
    manifest = json.loads((args.corpus / "manifest.json").read_text())
    for name, entry in manifest.items():
        check_file(args.trestan, args.corpus, name, entry)
    scan = subprocess.run([args.trestan, "scan", "-j", "2", str(args.corpus)], capture_output=True, text=True, timeout=300)
    records = {pathlib.Path(r["path"]).name: r for r in map(json.loads, scan.stdout.splitlines())}
    check(scan.returncode == 0 and set(records) == set(manifest), f"scan of the corpus: {scan.returncode} {scan.stderr}")
    for name, record in records.items():
        shapes = [frame["shape"] for frame in manifest.get(name, {}).get("frames", [])]
        check([frame["shape"] for frame in record.get("frames", [])] == shapes, f"{name}: scan's frames {record}")
    for failure in failures[:50]:
        print("FAILED", failure)
    print(f"{len(manifest)} files, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
