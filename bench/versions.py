#!/usr/bin/env python3
"""Writes version N of a file for the patch bench, the same bytes on every run.

Version 1 is real machine code and data: a runnable program (/bin/true) with
the system's own libraries appended, SIZE bytes in all. Each later version
changes the one before it as a new build changes a program: with --edit, about
1% of its bytes rewritten in 4 KiB runs at places of its own (the loader never
reads past /bin/true); with --shift, 30 runs of 100 bytes inserted, so that
what follows moves.

Usage: versions.py OUTPUT SIZE VERSION [--edit | --shift] [--seed NAME]
"""
import glob
import os
import random
import sys


def first_version(size, seed):
    head = open("/bin/true", "rb").read()
    parts = [head]
    have = len(head)
    libraries = sorted(p for p in glob.glob("/usr/lib/x86_64-linux-gnu/*.so*") if os.path.isfile(p))
    random.Random(seed).shuffle(libraries)
    for path in libraries:
        if have >= size:
            break
        data = open(path, "rb").read()
        parts.append(data)
        have += len(data)
    return bytearray(b"".join(parts)[:size]), len(head)


def main():
    output, size, version = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    mode = "--shift" if "--shift" in sys.argv else "--edit"
    seed = sys.argv[sys.argv.index("--seed") + 1] if "--seed" in sys.argv else "program"
    data, protected = first_version(size, seed)
    for n in range(2, version + 1):
        r = random.Random(f"{seed} {n}")
        if mode == "--edit":
            for _ in range(max(1, len(data) // 100 // 4096)):
                at = r.randrange(protected, len(data) - 4096)
                data[at:at + 4096] = r.randbytes(4096)
        else:
            for _ in range(30):
                at = r.randrange(protected, len(data))
                data[at:at] = r.randbytes(100)
    with open(output, "wb") as f:
        f.write(data)
    os.chmod(output, 0o755)


if __name__ == "__main__":
    main()
