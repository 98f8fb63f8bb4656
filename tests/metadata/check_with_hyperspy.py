"""Checks the HyperSpy column of the metadata tables against HyperSpy itself.

mappings.txt and datetimes.txt say what the mapping gives, and, where it departs from HyperSpy
1.7.3, what HyperSpy gives instead. This script writes the tables' files again (DM4, laid out as
DmMetadataTest.cpp lays them out), loads them with hyperspy.api.load and reports every expectation
where HyperSpy gives something other than the table says. It is run by hand where HyperSpy is
installed (the tests do not need it):

    /usr/bin/python3 tests/metadata/check_with_hyperspy.py
"""

import json
import logging
import math
import re
import struct
import sys
import tempfile
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent

# DM tag type codes.
CODES = {"i16": (2, "<h"), "i32": (3, "<i"), "u16": (4, "<H"), "u32": (5, "<I"), "f32": (6, "<f"),
         "f64": (7, "<d"), "bool": (8, "<?"), "i8": (9, "<b"), "u8": (10, "<B")}


class Tag:
    def __init__(self, info, data):
        self.info, self.data = info, data


def text_tag(text):
    units = text.encode("utf-16-le")
    return Tag([20, 4, len(units) // 2], units)


def tag_of(written):
    """A tag as a "tag" line of mappings.txt states it."""
    if written.startswith('"'):
        return text_tag(json.loads(written))
    kind, value = written.split(" ", 1)
    if kind == "u8text":
        data = json.loads(value).encode("latin-1")
        return Tag([20, 10, len(data)], data)
    if kind == "string":
        units = json.loads(value).encode("utf-16-le")
        return Tag([18, len(units) // 2], units)
    code, form = CODES[kind]
    number = value == "true" if kind == "bool" else float(value) if kind.startswith("f") else int(float(value))
    return Tag([code], struct.pack(form, number))


def scalar(kind, value):
    code, form = CODES[kind]
    return Tag([code], struct.pack(form, value))


def image(shape, name="Image"):
    """An "ImageList" entry as dmwriter::addImage writes a float32 ramp image: entries are (name,
    value) pairs, a directory's value a list of entries."""
    count = math.prod(shape)
    calibration = lambda: [("Origin", scalar("f32", 0.0)), ("Scale", scalar("f32", 1.0)), ("Units", text_tag(""))]
    pixels = b"".join(struct.pack("<f", float(i % 251)) for i in range(count))
    return [
        ("ImageData", [
            ("Calibrations", [
                ("Brightness", calibration()),
                ("Dimension", [("", calibration()) for _ in shape]),
                ("DisplayCalibratedUnits", scalar("bool", True)),
            ]),
            ("Data", Tag([20, 6, count], pixels)),
            ("DataType", scalar("u32", 2)),
            ("Dimensions", [("", scalar("u32", length)) for length in shape]),
            ("PixelDepth", scalar("u32", 4)),
        ]),
        ("ImageTags", []),
        ("Name", text_tag(name)),
        ("UniqueID", [("", scalar("u32", part)) for part in (1, 2, 3, 4)]),
    ]


def directory_at(entries, name):
    """The directory `name` of a directory's entries, made when missing; "#N" is the N-th unnamed one."""
    unnamed = name.startswith("#")
    seen = 0
    for key, value in entries:
        if isinstance(value, list) and (key == "" and unnamed and seen == int(name[1:]) or key == name and not unnamed):
            return value
        seen += isinstance(value, list) and key == "" and unnamed
    made = []
    entries.append(("" if unnamed else name, made))
    return made


def edit(entry, path, tag):
    names = path.split("/")
    entries = entry
    for name in names[:-1]:
        entries = directory_at(entries, name)
    entries[:] = [(key, value) for key, value in entries if key != names[-1]]
    if tag is not None:
        entries.append((names[-1], tag))


def encode(name, value):
    raw = name.encode("latin-1")
    if isinstance(value, list):
        body = b"\x01\x00" + struct.pack(">Q", len(value)) + b"".join(encode(k, v) for k, v in value)
        return b"\x14" + struct.pack(">H", len(raw)) + raw + struct.pack(">Q", len(body)) + body
    body = b"%%%%" + struct.pack(">Q", len(value.info)) + b"".join(struct.pack(">q", i) for i in value.info) + value.data
    return b"\x15" + struct.pack(">H", len(raw)) + raw + struct.pack(">Q", len(body)) + body


def write_file(path, entry):
    root = [("ImageList", [("", image([2, 2])), ("", entry)]),
            ("Thumbnails", [("", [("ImageIndex", scalar("u32", 0))])])]
    body = b"\x01\x00" + struct.pack(">Q", len(root)) + b"".join(encode(k, v) for k, v in root)
    Path(path).write_bytes(struct.pack(">IQI", 4, len(body) + 8, 1) + body + bytes(8))


def load(path):
    """HyperSpy's metadata of the file's signal, and its axes as [name, navigate, size] (name None
    where HyperSpy gives none)."""
    import hyperspy.api as hs
    signal = hs.load(str(path))
    axes = [[axis.name if isinstance(axis.name, str) else None, axis.navigate, axis.size]
            for axis in signal.axes_manager._axes]
    metadata = signal.metadata.as_dictionary()
    # Left out: what HyperSpy notes about the loading, not about the file.
    for key in ("original_filename", "FileIO"):
        metadata["General"].pop(key, None)
    # HyperSpy's metadata has no "Sample" without a specimen, and no "Acquisition_instrument"
    # without instrument tags; the mapping always has both.
    metadata.setdefault("Sample", {})
    metadata.setdefault("Acquisition_instrument", {})
    return metadata, axes


def value_at(metadata, key):
    node = metadata
    for part in key.split("."):
        if not isinstance(node, dict) or part not in node:
            return None
        node = node[part]
    return node


def same(actual, expected):
    if isinstance(expected, float) or isinstance(actual, float):
        return isinstance(actual, (int, float)) and math.isclose(actual, expected, rel_tol=1e-12)
    if isinstance(expected, dict):
        return isinstance(actual, dict) and actual.keys() == expected.keys() and all(same(actual[k], v) for k, v in expected.items())
    if isinstance(expected, list):
        return isinstance(actual, list) and len(actual) == len(expected) and all(map(same, actual, expected))
    return actual == expected


def expectation(rest):
    """(key, value or None for "-") of HyperSpy's column, else of the mapping's."""
    mapping, _, theirs = rest.partition(" | hyperspy ")
    key, _, ours = mapping.partition(" ")
    value = (theirs or ours.removeprefix("= ")).strip()
    return key, None if value == "-" else json.loads(value)


def check_mappings(directory):
    problems, checked = [], 0
    cases = []
    for line in (HERE / "mappings.txt").read_text(encoding="utf-8").splitlines():
        if not line or line.startswith("#"):
            continue
        keyword, _, rest = line.partition(" ")
        if keyword == "case":
            cases.append({"title": rest, "shape": [3], "edits": [], "expect": []})
        elif keyword == "shape":
            cases[-1]["shape"] = [int(n) for n in rest.split()]
        elif keyword == "tag":
            path, _, written = rest.partition(" = ")
            cases[-1]["edits"].append((path, tag_of(written)))
        elif keyword == "remove":
            cases[-1]["edits"].append((rest, None))
        elif keyword == "expect":
            cases[-1]["expect"].append(expectation(rest))
        elif keyword == "axes":
            ours, _, theirs = rest.partition(" | hyperspy ")
            cases[-1]["expect"].append((None, json.loads(theirs or ours)))
    for number, case in enumerate(cases):
        entry = image(case["shape"])
        for path, tag in case["edits"]:
            edit(entry, path, tag)
        path = directory / f"case{number}.dm4"
        write_file(path, entry)
        metadata, axes = load(path)
        for key, expected in case["expect"]:
            actual = axes if key is None else value_at(metadata, key)
            checked += 1
            if not (actual is None and expected is None or actual is not None and expected is not None and same(actual, expected)):
                problems.append(f"{case['title']}: HyperSpy maps {key or 'axes'} to {json.dumps(actual)}, the table says {json.dumps(expected)}")
    return problems, checked


def check_datetimes(directory):
    problems, checked = [], 0
    for number, line in enumerate((HERE / "datetimes.txt").read_text(encoding="utf-8").splitlines()):
        if not line or line.startswith("#"):
            continue
        cells = line.split("|")
        theirs = cells[3] if len(cells) > 3 else cells[2]
        if theirs.startswith("("):
            continue  # HyperSpy fills in today's date: no fixed value to compare
        text = re.sub(r"\\u([0-9a-fA-F]{4})", lambda m: chr(int(m.group(1), 16)), cells[1])
        date, time = (text, "1:02:03 PM") if cells[0] == "date" else ("1/1/2001", text)
        entry = image([3])
        edit(entry, "ImageTags/DataBar/Acquisition Date", text_tag(date))
        edit(entry, "ImageTags/DataBar/Acquisition Time", text_tag(time))
        path = directory / f"datetime{number}.dm4"
        write_file(path, entry)
        actual = load(path)[0]["General"].get(cells[0], "-")
        checked += 1
        if actual != theirs:
            problems.append(f"{line}: HyperSpy gives {actual}")
    return problems, checked


def main():
    logging.disable(logging.WARNING)
    warnings.simplefilter("ignore")
    with tempfile.TemporaryDirectory() as directory:
        problems, checked = [], 0
        for check in (check_mappings, check_datetimes):
            found, count = check(Path(directory))
            problems += found
            checked += count
    print("\n".join(problems))
    print(f"{checked} expectations checked, {len(problems)} where HyperSpy differs from the tables")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
