#!/usr/bin/env python3
"""Runs a command and prints its wall seconds and CPU seconds (user + system,
with the descendants it waited for) to the millisecond, on one line. (Its peak
memory is not printed: the fork from this interpreter would count in it.)

Usage: measure.py OUTFILE COMMAND [ARGS...]
"""
import os
import subprocess
import sys
import tempfile
import time


def main():
    out, command = sys.argv[1], sys.argv[2:]
    with tempfile.TemporaryFile() as errors:
        start = time.monotonic()
        child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=errors)
        # wait4 gives this child's own usage, not that of whatever else this process reaped.
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.monotonic() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            errors.seek(0)
            sys.stderr.write(f"bench: {' '.join(command)} failed with status {child.returncode}:\n")
            sys.stderr.write(errors.read().decode("utf-8", "replace"))
    with open(out, "w") as f:
        f.write(f"{wall:.3f} {usage.ru_utime + usage.ru_stime:.3f}\n")
    sys.exit(child.returncode)


if __name__ == "__main__":
    main()
