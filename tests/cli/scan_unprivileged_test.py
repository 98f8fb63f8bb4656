#!/usr/bin/python3
"""scan as a user whom the system refuses things. A folder it cannot list, given or found at any
depth, gives an error record in its place and exit code 1. Threads it cannot start (a process limit
of 1) leave the files to the main thread, with a warning naming the threads asked for: at most four
per core. Root reads every folder and has no process limit, so as root the commands run as "nobody";
exit 77 (skipped) when that is not possible."""

import argparse
import json
import os
import pathlib
import resource
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


def one_process():
    resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))


failures = []
with tempfile.TemporaryDirectory() as scratch:
    root = pathlib.Path(scratch)
    root.chmod(0o755)
    subprocess.run([args.make_inputs, root / "in"], check=True)
    dm = (root / "in" / "two.dm4").read_bytes()
    # top/{a.dm4, locked/h.dm4, open/{b.dm4, deeper/c.dm4}} and alone/d.dm4; locked, deeper and alone
    # cannot be listed. many/ holds one file more than four per core.
    cores = os.cpu_count()
    many = [f"many/{i:04}.dm4" for i in range(4 * cores + 1)]
    for name in ["top/a.dm4", "top/locked/h.dm4", "top/open/b.dm4", "top/open/deeper/c.dm4", "alone/d.dm4"] + many:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(dm)
    locked = ["top/locked", "top/open/deeper", "alone"]
    for name in locked:
        (root / name).chmod(0)
    try:
        probe = subprocess.run(drop + ["ls", root / "alone"], capture_output=True)
        if probe.returncode == 0 or subprocess.run(drop + [trestan, "--version"], capture_output=True).returncode:
            print("skipped: cannot run the scan as a user that is refused these folders")
            sys.exit(77)
        unreadable = subprocess.run(drop + [trestan, "scan", "top", "alone"], cwd=root, capture_output=True)
        # LeakSanitizer (in sanitizer builds) needs a thread of its own at exit.
        no_leak_check = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        threads = {jobs: subprocess.run(drop + [trestan, "scan", "-j", jobs, "many"], cwd=root, env=no_leak_check,
                                        capture_output=True, text=True, preexec_fn=one_process)
                   for jobs in ["20000", "3"]}
    finally:
        for name in locked:
            (root / name).chmod(0o755)

found = [(r["path"], r.get("error")) for r in map(json.loads, unreadable.stdout.splitlines())]
denied = "cannot list the folder: Permission denied"
expected = [("top/a.dm4", None), ("top/locked", denied), ("top/open/b.dm4", None),
            ("top/open/deeper", denied), ("alone", denied)]
if found != expected or unreadable.returncode != 1:
    failures.append(f"unreadable folders: exit {unreadable.returncode}, records {found}\n{unreadable.stderr.decode()}")

for jobs, result in threads.items():
    wanted = min(int(jobs), 4 * cores, len(many))
    warning = (f"trestan: warning: 0 of {wanted} threads could be started (Resource temporarily unavailable); "
               "the scan ran on the main thread\n")
    paths = [json.loads(line).get("path") for line in result.stdout.splitlines() if "error" not in line]
    if result.returncode != 0 or paths != many or result.stderr != warning:
        failures.append(f"-j {jobs} with no threads to spare: exit {result.returncode}, {len(paths)} of "
                        f"{len(many)} files read, {result.stderr!r}")

print("\n".join(failures) or "refused folders and threads are reported")
sys.exit(1 if failures else 0)
