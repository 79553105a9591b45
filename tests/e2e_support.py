"""What the end-to-end tests share: a release folder made by scripts/publish, an
application folder holding the real window code as its updater, and running it."""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

IDENTITY = "Tarvino-6.10.1-20251201"
EXE = "Tarvíno.exe"
NEWEST = "Tarvino-6.10.1-20260101.exe"


class Tools:
    repo = None
    driver = None
    sign_tool = None


def program(version):
    """A tiny real program that records that it ran, and where."""
    return (
        "#!/bin/sh\n"
        f"echo 'Tarvíno {version}' > \"$(dirname \"$0\")/ran.txt\"\n"
        "echo \"args $#\" >> \"$(dirname \"$0\")/ran.txt\"\n"
        "pwd >> \"$(dirname \"$0\")/ran.txt\"\n"
    ).encode()


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def free_port():
    """A port the system hands out for 127.0.0.1, for servers that cannot say which they took."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, seconds=20):
    def listening():
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False
    return wait_for(lambda: listening() or process.poll() is not None, seconds) and process.poll() is None


def serve_python(test, directory, log=None):
    """Python's http.server on an ephemeral port for the test's lifetime: its base
    URL. With log, the requests it answered go to that file."""
    errors = open(log, "w") if log else subprocess.DEVNULL
    if log:
        test.addCleanup(errors.close)
    server = subprocess.Popen(
        [sys.executable, "-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", str(directory)],
        stdout=subprocess.PIPE, stderr=errors, text=True)
    test.addCleanup(server.stdout.close)
    test.addCleanup(server.wait)
    test.addCleanup(server.kill)
    match = re.search(r"port (\d+)", server.stdout.readline())
    test.assertIsNotNone(match, "http.server did not say its port")
    return f"http://127.0.0.1:{match.group(1)}/"


def main():
    Tools.repo = Path(sys.argv.pop(1))
    Tools.driver = sys.argv.pop(1)
    if len(sys.argv) > 1:
        Tools.sign_tool = sys.argv.pop(1)
    unittest.main(verbosity=2)


class UpdateCase(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="tarvino-e2e-"))
        self.addCleanup(shutil.rmtree, self.tmp, True)
        # Servers that drop their privileges must still read the release.
        self.tmp.chmod(0o755)
        self.release = self.tmp / "release"
        self.folder = self.release / "Windows/6.10.1/Executables"

        self.app = self.tmp / "app"
        self.app.mkdir()
        shutil.copy2(Tools.driver, self.app / "TarvinoUpdater")
        (self.app / EXE).write_bytes(program("20251201"))
        (self.app / EXE).chmod(0o755)
        self.cwd = self.tmp / "elsewhere"
        self.cwd.mkdir()

    def publish(self, signed=False):
        """Two builds around the installed one, published as a publisher would; the
        public key when signed."""
        public = None
        extra = []
        if signed:
            if not Tools.sign_tool:
                self.fail("signed publishing needs TarvinoSign")
            key = self.tmp / "publisher.key"
            public = subprocess.run([Tools.sign_tool, "keygen", str(key)], capture_output=True, text=True,
                                    check=True).stdout.strip()
            extra = ["--sign", str(key)]
        env = dict(os.environ, TARVINO_SIGN=Tools.sign_tool or "")
        for date in ("20250101", "20260101"):
            build = self.tmp / f"build-{date}"
            build.write_bytes(program(date))
            subprocess.run([str(Tools.repo / "scripts/publish"), "--release-dir", str(self.release), *extra,
                            str(build), "6.10.1", date], check=True, capture_output=True, env=env)
        return public

    def publish_release(self, folder, date, key=None):
        """The whole application folder as the release Tarvino-6.10.1-DATE."""
        env = dict(os.environ, TARVINO_SIGN=Tools.sign_tool or "")
        subprocess.run([str(Tools.repo / "scripts/publish"), "--release-dir", str(self.release),
                        *(["--sign", str(key)] if key else []), "--app-folder", str(folder), "6.10.1", date],
                       check=True, capture_output=True, env=env)

    def update(self, base, public_key=None, mode="update", env=None, wrap=()):
        environment = dict(os.environ, QT_QPA_PLATFORM="offscreen", **(env or {}))
        return subprocess.run(
            [*wrap, str(self.app / "TarvinoUpdater"), mode, base, "-", IDENTITY, public_key or "none"],
            cwd=self.cwd, env=environment, capture_output=True, text=True, timeout=120)

    def check_updated(self, result):
        self.assertEqual(result.returncode, 0, result.stderr)
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
                         sorted([IDENTITY, EXE, f".{EXE}.installed", f".{EXE}.hashes", "TarvinoUpdater", "TarvinoUpdater.log", "ran.txt"]))

    def check_untouched(self, result):
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual((self.app / EXE).read_bytes(), program("20251201"))
        self.assertFalse((self.app / IDENTITY).exists())

    def start(self, command, port, log):
        """Starts a server in the foreground of its own process and waits until it listens."""
        with open(log, "wb") as out:
            server = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT)
        self.addCleanup(server.wait)
        self.addCleanup(server.terminate)
        if not wait_for_port(port, server):
            errors = "".join(p.read_text() for p in Path(log).parent.glob("*.log"))
            self.fail(f"{command[0]} did not listen on 127.0.0.1:{port}:\n{errors}")
        return f"http://127.0.0.1:{port}/"
