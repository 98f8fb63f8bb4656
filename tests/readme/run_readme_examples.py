#!/usr/bin/python3
"""Runs the README's examples as a new user would type them, in a scratch folder that holds what they
name: samples/ (the bundled samples) and build/release (the build under test).

- The ```sh blocks run in order as one bash script (a line of one block may set up the next, as
  `export PATH=...` does), stopping at the first command that fails. The set-up blocks, which
  install packages and build, are left out: they are the commands CI itself runs.
- The ```python blocks of `>>>` lines run in order as one doctest session: their printed outputs
  must be what the README shows.
- Every other ```python block runs as a script file of its own.

    run_readme_examples.py --readme README.md --source-dir . --build-dir build/dev
"""

import argparse
import doctest
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

PYTHON = "/usr/bin/python3"


def blocks(text, language):
    return re.findall(r"^```" + language + r"\n(.*?)^```", text, flags=re.S | re.M)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--readme", type=Path, required=True)
    parser.add_argument("--source-dir", type=Path, required=True)
    parser.add_argument("--build-dir", type=Path, required=True)
    args = parser.parse_args()
    text = args.readme.read_text()

    with tempfile.TemporaryDirectory(prefix="readme-") as scratch:
        scratch = Path(scratch)
        shutil.copytree(args.source_dir / "samples", scratch / "samples")
        (scratch / "build").mkdir()
        (scratch / "build" / "release").symlink_to(args.build_dir.resolve())
        env = dict(os.environ, PYTHONPATH=str(scratch / "build" / "release" / "python"))
        failures = 0

        shell = [b for b in blocks(text, "sh") if "install-deps" not in b]
        script = "set -euxo pipefail\n" + "\n".join(shell)
        done = subprocess.run(["bash", "-c", script], cwd=scratch, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            failures += 1
            print(f"shell examples failed ({done.returncode}):\n{done.stderr[-4000:]}")
        else:
            print(f"{len(shell)} shell blocks ran")

        python = blocks(text, "python")
        session = "\n".join(b for b in python if b.lstrip().startswith(">>>"))
        os.chdir(scratch)
        sys.path.insert(0, env["PYTHONPATH"])
        test = doctest.DocTestParser().get_doctest(session, {}, "README", str(args.readme), 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test)
        failures += runner.failures
        print(f"{runner.tries} Python examples, {runner.failures} failed")

        for number, body in enumerate(b for b in python if not b.lstrip().startswith(">>>")):
            path = scratch / f"example{number}.py"
            path.write_text(body)
            try:
                done = subprocess.run([PYTHON, path], cwd=scratch, env=env, capture_output=True, text=True,
                                      timeout=120)
            except subprocess.TimeoutExpired:
                failures += 1
                print(f"Python script {number} did not finish in 120 s:\n{body}")
                continue
            if done.returncode != 0:
                failures += 1
                print(f"Python script {number} failed ({done.returncode}):\n{body}\n{done.stderr[-4000:]}")
            else:
                print(f"Python script {number} ran: {done.stdout.strip()}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
