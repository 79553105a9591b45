#!/usr/bin/env python3
"""End to end on Windows, under Wine: the real window code (the window driver,
a Windows program) in an application folder whose name holds an "í", shown
with the Windows platform plugin under Xvfb, updates a Windows program from
Python's http.server and restarts it; also signed, and while the old program
is still running. Runs natively; the Windows programs run through scripts/wine-run.

Usage: e2e_windows.py REPOSITORY WINDOW_DRIVER.exe RECORDER.exe TARVINOSIGN.exe
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path

from e2e_support import serve_python, wait_for

REPO = DRIVER = RECORDER = SIGN_TOOL = None
IDENTITY = "Tarvino-6.10.1-20251201"
EXE = "Tarvíno.exe"
NEWEST = "Tarvino-6.10.1-20260101.exe"


def dos_attributes(path):
    """The attributes Windows programs see, as Wine keeps them; none kept: a plain file."""
    try:
        return int(os.getxattr(path, "user.DOSATTRIB").split(b"\0")[0], 16)
    except OSError:
        return 0


def build(version):
    """A real Windows program; bytes past its end tell the versions apart."""
    return RECORDER.read_bytes() + f"\0Tarvíno {version}".encode()


class WindowsUpdate(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="tarvino-win-"))
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.release = self.tmp / "release"
        self.app = self.tmp / "Aplicación Tarvíno"
        self.app.mkdir()
        shutil.copy2(DRIVER, self.app / "TarvinoUpdater.exe")
        (self.app / EXE).write_bytes(build("20251201"))
        self.cwd = self.tmp / "elsewhere"
        self.cwd.mkdir()

    def run_windows(self, *args, display=False, **kwargs):
        env = dict(os.environ)
        if display:
            env.pop("QT_QPA_PLATFORM", None)  # the Windows platform plugin, in a real window
        else:
            env["QT_QPA_PLATFORM"] = "offscreen"
        command = [str(REPO / "scripts/wine-run"), *map(str, args)]
        if display:
            command = ["xvfb-run", "-a", "-s", "-screen 0 800x600x24", *command]
        # Qt writes to the console in Windows' ANSI code page, not in UTF-8.
        return subprocess.run(command, env=env, capture_output=True, encoding="cp1252", errors="replace",
                              timeout=300, **kwargs)

    def publish(self, signed):
        public, extra, env = None, [], dict(os.environ)
        if signed:
            key = self.tmp / "publisher.key"
            public = self.run_windows(SIGN_TOOL, "keygen", key, check=True).stdout.strip()
            sign = self.tmp / "sign"
            sign.write_text(f'#!/bin/sh\nexec "{REPO}/scripts/wine-run" "{SIGN_TOOL}" "$@"\n')
            sign.chmod(0o755)
            extra, env["TARVINO_SIGN"] = ["--sign", str(key)], str(sign)
        for date in ("20250101", "20260101"):
            program = self.tmp / f"build-{date}"
            program.write_bytes(build(date))
            subprocess.run([str(REPO / "scripts/publish"), "--release-dir", str(self.release), *extra,
                            str(program), "6.10.1", date], check=True, capture_output=True, env=env)
        return public

    def update(self, public=None, display=True):
        return self.run_windows(self.app / "TarvinoUpdater.exe", "update", serve_python(self, self.release), "-",
                                IDENTITY, public or "none", display=display, cwd=self.cwd)

    def check_updated(self, result, leftovers=()):
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual((self.app / EXE).read_bytes(), build("20260101"))
        self.assertEqual((self.app / IDENTITY).read_bytes(), build("20251201"))
        self.assertTrue((self.cwd / "ListOfExecutables.html").exists())
        started = self.app / "started.txt"
        self.assertTrue(wait_for(lambda: started.exists() and "arguments 0\n" in started.read_text(), 30),
                        "the new program did not start")
        # Nothing of the hidden staging file's attributes: the program and its backup stay in sight.
        for name in (EXE, IDENTITY):
            self.assertFalse(dos_attributes(self.app / name) & 0x2, f"{name} is hidden")
        self.assertEqual(sorted(p.name for p in self.app.iterdir() if p.name.startswith(".")),
                         sorted([f".{EXE}.installed", f".{EXE}.hashes", *leftovers]))

    def test_update_in_a_real_window(self):
        self.publish(signed=False)
        self.check_updated(self.update())

    def test_signed_update(self):
        public = self.publish(signed=True)
        result = self.update(public)
        self.check_updated(result)
        # The page and the build were signed by the Windows TarvinoSign and checked by the Windows
        # updater, which says so in its support log, not in its debug output.
        log = (self.app / "TarvinoUpdater.log").read_text(encoding="utf-8")
        self.assertIn("Listing signature verified", log)
        self.assertIn(f"Manifests/{NEWEST}", log)
        self.assertIn("The build is checked by its signed manifest.", log)
        self.assertNotIn("Firma", result.stderr)

    def test_update_on_an_exfat_drive(self):
        # A portable program on a USB stick: no hard links there, so the old program is kept by a copy.
        if os.geteuid() != 0:
            self.skipTest("needs root to mount exFAT")
        image = self.tmp / "stick.img"
        with open(image, "wb") as f:
            f.truncate(64 * 1024 * 1024)
        subprocess.run(["mkfs.exfat", str(image)], check=True, capture_output=True)
        device = subprocess.run(["losetup", "--find", "--show", str(image)], check=True, capture_output=True,
                                text=True).stdout.strip()
        self.addCleanup(subprocess.run, ["losetup", "-d", device])
        stick = self.tmp / "stick"
        stick.mkdir()
        subprocess.run(["mount.exfat-fuse", device, str(stick)], check=True, capture_output=True)
        self.addCleanup(subprocess.run, ["umount", str(stick)])
        shutil.copytree(self.app, stick / self.app.name)
        self.app = stick / self.app.name
        with self.assertRaises(OSError):
            os.link(self.app / EXE, self.app / "linked")
        self.publish(signed=False)
        self.check_updated(self.update(display=False))

    def test_package_runs_from_an_empty_folder(self):
        # The publisher's zip alone: no DLL search path but the program's own folder.
        package = self.tmp / "TarvinoUpdater-win64.zip"
        subprocess.run([str(REPO / "scripts/package-windows"), str(DRIVER.parent), str(package)], check=True,
                       capture_output=True)
        folder = self.tmp / "Aplicación vacía"
        folder.mkdir()
        shutil.unpack_archive(package, folder)
        env = dict(os.environ, WINEQT_FORCE_STDERR_LOGGING="1", WINEDEBUG="-all", LC_ALL="C.UTF-8")
        env.pop("WINEPATH", None)
        env.pop("QT_QPA_PLATFORM", None)  # the zip holds the Windows platform plugin only
        program = subprocess.Popen(["xvfb-run", "-a", "wine", str(folder / "TarvinoUpdater.exe"), IDENTITY],
                                   cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                   start_new_session=True)
        stop = lambda: os.killpg(program.pid, signal.SIGKILL) if program.poll() is None else None
        self.addCleanup(program.wait)
        self.addCleanup(stop)
        watchdog = threading.Timer(120, stop)
        watchdog.start()
        self.addCleanup(watchdog.cancel)
        # The listing check has run once the entries found are logged; the window then waits for its user.
        log = b""
        while b"QList(" not in log and program.poll() is None:
            line = program.stderr.readline()
            if not line:
                break
            log += line
        self.assertIn(b"QList(", log, log.decode("cp1252", "replace"))
        self.assertTrue((folder / "ListOfExecutables.html").exists())

    def test_release_replaces_the_running_updater_and_a_qt_library(self):
        # The folder scripts/package-windows makes, with the real window code as its updater and a program.
        first = self.tmp / "first"
        subprocess.run([str(REPO / "scripts/package-windows"), "--folder", str(first), str(DRIVER.parent),
                        str(self.tmp / "package.zip")], check=True, capture_output=True)
        shutil.copy2(DRIVER, first / "TarvinoUpdater.exe")
        (first / EXE).write_bytes(build("20251201"))
        release = ["--release-dir", str(self.release), "--app-folder"]
        subprocess.run([str(REPO / "scripts/publish"), *release, str(first), "6.10.1", "20251201"], check=True,
                       capture_output=True)
        shutil.rmtree(self.app)
        shutil.copytree(first, self.app)
        # The next release: another updater, another Qt Core (bytes past a library's end do not keep it from
        # loading) and another program.
        second = self.tmp / "second"
        shutil.copytree(first, second)
        (second / "TarvinoUpdater.exe").write_bytes(DRIVER.read_bytes() + b"\0the next updater")
        (second / "Qt6Core.dll").write_bytes((first / "Qt6Core.dll").read_bytes() + b"\0the next Qt")
        (second / EXE).write_bytes(build("20260301"))
        subprocess.run([str(REPO / "scripts/publish"), *release, str(second), "6.10.1", "20260301"], check=True,
                       capture_output=True)

        # The packaged folder has only the Windows platform plugin: a real window.
        result = self.update(display=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for name in ("TarvinoUpdater.exe", "Qt6Core.dll", EXE, "TarvinoRelease.txt"):
            self.assertEqual((self.app / name).read_bytes(), (second / name).read_bytes(), name)
        kept = self.app / IDENTITY
        self.assertEqual((kept / "TarvinoUpdater.exe").read_bytes(), DRIVER.read_bytes())
        self.assertEqual((kept / "Qt6Core.dll").read_bytes(), (first / "Qt6Core.dll").read_bytes())
        self.assertTrue(wait_for(lambda: (self.app / "started.txt").exists(), 30), "the new program did not start")
        support_log = (self.app / "TarvinoUpdater.log").read_text(encoding="utf-8")
        self.assertIn("The new updater starts.", support_log)
        # The updater and Qt Core came as patches from the folder's own versions.
        for name in ("TarvinoUpdater.exe", "Qt6Core.dll"):
            self.assertIn(f"Decoded the patch of {name} into", support_log)

    def test_update_while_the_old_program_runs(self):
        self.publish(signed=False)
        old = subprocess.Popen([str(REPO / "scripts/wine-run"), str(self.app / EXE), "--stay"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(old.wait, 60)
        self.addCleanup((self.app / "stop").touch)
        self.assertTrue(wait_for(lambda: (self.app / "started.txt").exists(), 30), "the old program did not start")
        (self.app / "started.txt").unlink()
        # Offscreen: Wine's session started without a display for the old program.
        result = self.update(display=False)
        # A running program cannot be replaced: it was moved aside, and cannot be
        # deleted until it ends.
        displaced = [p.name for p in self.app.iterdir() if p.name.startswith(f".{EXE}.old-")]
        self.assertEqual(len(displaced), 1, result.stderr)
        self.check_updated(result, leftovers=displaced)
        self.assertIsNone(old.poll(), "the old program should still be running")

        (self.app / "stop").touch()
        old.wait(60)
        # The next start removes what the running program kept.
        check = self.run_windows(self.app / "TarvinoUpdater.exe", "check", serve_python(self, self.release), "-",
                                 IDENTITY, "none", cwd=self.cwd)
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertEqual(sorted(p.name for p in self.app.iterdir() if p.name.startswith(".")),
                         [f".{EXE}.hashes", f".{EXE}.installed"])


if __name__ == "__main__":
    REPO = Path(sys.argv.pop(1))
    DRIVER, RECORDER, SIGN_TOOL = (Path(sys.argv.pop(1)) for _ in range(3))
    unittest.main(verbosity=2)
