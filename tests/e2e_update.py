#!/usr/bin/env python3
"""End to end: the real window code, copied into an application folder, updates
itself from Python's http.server and restarts the application; with the signing
tool, also with signed builds.

Usage: e2e_update.py WINDOW_DRIVER [TARVINOSIGN]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

DRIVER = None
SIGN_TOOL = None
IDENTITY = "Tarvino-6.10.1-20251201"
EXE = "Tarvíno.exe"


def program(version):
    """A tiny real program that records that it ran, and where."""
    return (
        "#!/bin/sh\n"
        f"echo 'Tarvíno {version}' > \"$(dirname \"$0\")/ran.txt\"\n"
        "echo \"args $#\" >> \"$(dirname \"$0\")/ran.txt\"\n"
        "pwd >> \"$(dirname \"$0\")/ran.txt\"\n"
    ).encode()


def strace_quoted(path):
    """A path as strace prints it: quoted, bytes outside printable ASCII in octal."""
    return '"' + "".join(chr(b) if 32 <= b < 127 and b not in b'"\\' else f"\\{b:03o}"
                         for b in str(path).encode()) + '"'


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="tarvino-e2e-"))
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.folder = self.tmp / "release/Windows/6.10.1/Executables"
        self.folder.mkdir(parents=True)
        for date in ("20250101", "20260101"):
            (self.folder / f"Tarvino-6.10.1-{date}.exe").write_bytes(program(date))

        self.app = self.tmp / "app"
        self.app.mkdir()
        shutil.copy2(DRIVER, self.app / "TarvinoUpdater")
        (self.app / EXE).write_bytes(program("20251201"))
        (self.app / EXE).chmod(0o755)
        self.cwd = self.tmp / "elsewhere"
        self.cwd.mkdir()

        self.server = subprocess.Popen(
            [sys.executable, "-u", "-m", "http.server", "0", "--bind", "127.0.0.1",
             "--directory", str(self.tmp / "release")],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(self.server.wait)
        self.addCleanup(self.server.kill)
        match = re.search(r"port (\d+)", self.server.stdout.readline())
        self.assertIsNotNone(match, "http.server did not say its port")
        self.base = f"http://127.0.0.1:{match.group(1)}/"

    def update(self, public_key):
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        return subprocess.run(
            [str(self.app / "TarvinoUpdater"), "update", self.base, "-", IDENTITY, public_key],
            cwd=self.cwd, env=env, capture_output=True, text=True, timeout=120)

    def test_update_from_python_http_server(self):
        result = self.update("none")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Inicio de descarga del archivo ejecutable", result.stderr)
        self.assertIn("Se supone que ya terminó", result.stderr)
        self.check_updated()

    def test_never_writes_into_the_program_or_its_backup(self):
        # Every open of the update, as the kernel saw it: the program and its
        # backup only ever change by link and rename, never by writing in place.
        trace = self.tmp / "opens.txt"
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        result = subprocess.run(
            ["strace", "-f", "-qq", "-e", "trace=open,openat,openat2,creat,truncate", "-o", str(trace),
             str(self.app / "TarvinoUpdater"), "update", self.base, "-", IDENTITY, "none"],
            cwd=self.cwd, env=env, capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.check_updated()
        lines = trace.read_text().splitlines()
        writing = re.compile(r"O_WRONLY|O_RDWR|O_TRUNC|O_CREAT|creat\(|truncate\(")
        # The staged build is opened for writing: the trace does show such opens.
        self.assertTrue([line for line in lines if strace_quoted(self.app / ("." + EXE + ".part-"))[:-1] in line
                         and writing.search(line)], "no open of the staged build was traced")
        watched = [strace_quoted(self.app / EXE), strace_quoted(self.app / IDENTITY)]
        self.assertEqual([line for line in lines if any(path in line for path in watched) and writing.search(line)],
                         [])

    def test_signed_update(self):
        if not SIGN_TOOL:
            self.skipTest("TarvinoSign not built")
        key = self.tmp / "publisher.key"
        public = subprocess.run([SIGN_TOOL, "keygen", str(key)], capture_output=True, text=True,
                                check=True).stdout.strip()
        signatures = self.folder.parent / "Signatures"
        signatures.mkdir()
        newest = self.folder / "Tarvino-6.10.1-20260101.exe"
        subprocess.run([SIGN_TOOL, "sign", str(key), str(newest), "--output",
                        str(signatures / (newest.name + ".sig"))], check=True)

        # The older build's bytes served under the newest name do not match its signature.
        genuine = newest.read_bytes()
        newest.write_bytes(program("20250101"))
        result = self.update(public)
        self.assertEqual(result.returncode, 1)
        self.assertIn("does not bear the publisher's signature", result.stderr)
        self.assertEqual((self.app / EXE).read_bytes(), program("20251201"))

        newest.write_bytes(genuine)
        result = self.update(public)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Firma verificada: Tarvino-6.10.1-20260101.exe", result.stderr)
        self.check_updated()

    def check_updated(self):
        self.assertEqual((self.app / EXE).read_bytes(), program("20260101"))
        self.assertEqual((self.app / IDENTITY).read_bytes(), program("20251201"))
        self.assertTrue(os.access(self.app / EXE, os.X_OK))
        self.assertTrue((self.cwd / "ListOfExecutables.html").exists())
        self.assertFalse((self.app / "ListOfExecutables.html").exists())

        ran = self.app / "ran.txt"
        self.assertTrue(wait_for(lambda: ran.exists() and ran.read_text().count("\n") == 3, 10),
                        "the restarted program did not run")
        self.assertEqual(ran.read_text(), f"Tarvíno 20260101\nargs 0\n{self.cwd}\n")
        self.assertEqual(sorted(p.name for p in self.app.iterdir()),
                         sorted([IDENTITY, EXE, "TarvinoUpdater", "ran.txt"]))


if __name__ == "__main__":
    DRIVER = sys.argv.pop(1)
    if len(sys.argv) > 1:
        SIGN_TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
