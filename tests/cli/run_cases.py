#!/usr/bin/python3
"""Runs the trestan command (or plugin_log_probe, for "{probe}") of every line of cases.txt and compares its exit code, standard output,
standard error and the files it wrote with expected/NAME.out, expected/NAME.err and expected/NAME/
(absent: nothing). --update writes what the command did as the new expectation."""

import argparse
import difflib
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
EXPECTED = HERE / "expected"
SAMPLES = HERE.parent.parent / "samples"  # the bundled samples, "{samples}" in cases


def normalised(text, inputs, outputs, build):
    text = text.replace(str(outputs), "{out}").replace(str(inputs), "{in}").replace(str(build), "{build}")
    text = text.replace(str(SAMPLES), "{samples}")
    # What memory is left changes from run to run.
    text = re.sub(r"more than the \d+ bytes", "more than the {available} bytes", text)
    # Log records carry the time and the source line of the call.
    return re.sub(r"^\[[0-9-]+ [0-9:.]+\] (.*?\.cpp):\d+\]", r"[time] \1]", text, flags=re.M)


def run_case(trestan, name, code, arguments, inputs, outputs):
    """What the case did, as {expected file name: bytes}, and its failures."""
    if arguments[:1] == ["{probe}"]:
        trestan, arguments = PROBE, arguments[1:]
    argv = [trestan] + [a.replace("{in}", str(inputs)).replace("{out}", str(outputs)).replace("{samples}", str(SAMPLES))
                        for a in arguments]
    stdout = open(argv.pop()[1:], "wb") if argv[-1].startswith(">") else subprocess.PIPE
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE, timeout=60)
    actual = {}
    for suffix, data in ((".out", result.stdout), (".err", result.stderr)):
        if data:
            build = pathlib.Path(trestan).resolve().parent.parent
            actual[name + suffix] = normalised(data.decode("utf-8", "surrogateescape"), inputs, outputs, build).encode("utf-8", "surrogateescape")
    for path in sorted(outputs.rglob("*")):
        actual[f"{name}/{path.relative_to(outputs)}"] = path.read_bytes()
    failures = [] if result.returncode == code else [f"exit code {result.returncode}, expected {code}"]
    return actual, failures


def expected_files(name):
    paths = [EXPECTED / (name + ".out"), EXPECTED / (name + ".err")] + list(EXPECTED.glob(name + "/*"))
    return {str(p.relative_to(EXPECTED)): p for p in paths if p.is_file()}


def compare(actual, name):
    expected = {key: path.read_bytes() for key, path in expected_files(name).items()}
    failures = []
    for key in sorted(set(actual) | set(expected)):
        got, want = actual.get(key, b""), expected.get(key, b"")
        if got != want and key.endswith((".out", ".err")):
            diff = difflib.unified_diff(want.decode().splitlines(), got.decode().splitlines(), "expected", "actual", lineterm="")
            failures.append(f"{key} differs:\n" + "\n".join(list(diff)[:40]))
        elif got != want:
            failures.append(f"{key}: {len(got)} bytes written, {len(want)} expected")
    return failures


def update(actual, name):
    for path in expected_files(name).values():
        path.unlink()
    for key, data in actual.items():
        (EXPECTED / key).parent.mkdir(parents=True, exist_ok=True)
        (EXPECTED / key).write_bytes(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trestan", required=True)
    parser.add_argument("--make-inputs", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--update", action="store_true")
    args = parser.parse_args()
    global PROBE
    PROBE = args.probe
    failed = 0
    with tempfile.TemporaryDirectory(prefix="trestan-cases-") as scratch:
        inputs = pathlib.Path(scratch, "in")
        subprocess.run([args.make_inputs, str(inputs)], check=True)
        for line in (HERE / "cases.txt").read_text().splitlines():
            if not line.strip() or line.startswith("#"):
                continue
            name, code, arguments = (field.strip() for field in line.split("|", 2))
            outputs = pathlib.Path(scratch, "out", name)
            outputs.mkdir(parents=True)
            actual, failures = run_case(args.trestan, name, int(code), arguments.split(), inputs, outputs)
            if args.update:
                update(actual, name)
            failures += compare(actual, name)
            if failures:
                failed += 1
                print(f"FAILED {name}: trestan {arguments}\n  " + "\n  ".join(failures))
    print(f"{failed} case(s) failed" if failed else "all cases passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
