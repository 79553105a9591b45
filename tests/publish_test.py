#!/usr/bin/env python3
"""scripts/publish: the layout it makes, what it refuses, and its signatures.

Usage: publish_test.py REPOSITORY [TARVINOSIGN]
"""
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = None
SIGN_TOOL = None


class Publish(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tarvino-publish-")
        self.dir = Path(self.tmp.name)
        self.addCleanup(self.tmp.cleanup)
        self.build = self.dir / "Tarvíno.exe"
        self.build.write_bytes(b"build one")

    def publish(self, *args):
        env = dict(os.environ)
        if SIGN_TOOL:
            env["TARVINO_SIGN"] = SIGN_TOOL
        return subprocess.run([str(REPO / "scripts/publish"), "--release-dir", str(self.dir / "release"), *args],
                              capture_output=True, text=True, env=env)

    def test_layout(self):
        result = self.publish(str(self.build), "6.10.1", "20260115")
        self.assertEqual(result.returncode, 0, result.stderr)
        target = self.dir / "release/Windows/6.10.1/Executables/Tarvino-6.10.1-20260115.exe"
        self.assertEqual(target.read_bytes(), b"build one")
        self.assertEqual(sorted(os.listdir(target.parent)), sorted([target.name, "index.html"]))
        self.assertEqual(sorted(os.listdir(self.dir / "release")), ["Windows"])

    def test_refusals(self):
        for qt, date in (("6.10.x", "20260115"), ("6.10.1/..", "20260115"), ("", "20260115"),
                         ("6.10.1", "2026011"), ("6.10.1", "2026-01-15"), ("6.10.1", "202601150")):
            with self.subTest(qt=qt, date=date):
                result = self.publish(str(self.build), qt, date)
                self.assertNotEqual(result.returncode, 0)
                self.assertFalse((self.dir / "release").exists())

    def test_never_overwrites_silently(self):
        self.assertEqual(self.publish(str(self.build), "6.10.1", "20260115").returncode, 0)
        self.build.write_bytes(b"build two")
        result = self.publish(str(self.build), "6.10.1", "20260115")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("exists", result.stderr)
        target = self.dir / "release/Windows/6.10.1/Executables/Tarvino-6.10.1-20260115.exe"
        self.assertEqual(target.read_bytes(), b"build one")
        self.assertEqual(self.publish("--replace", str(self.build), "6.10.1", "20260115").returncode, 0)
        self.assertEqual(target.read_bytes(), b"build two")

    def test_index_page(self):
        folder = self.dir / "release/Windows/6.10.1/Executables"
        for date in ("20260115", "20250101", "20251115"):
            self.assertEqual(self.publish(str(self.build), "6.10.1", date).returncode, 0)
        builds = [f"Tarvino-6.10.1-{date}.exe" for date in ("20250101", "20251115", "20260115")]
        self.assertEqual(self.page_entries(folder), builds)

        # Edited by hand: names not in the updater's form are left out, with a warning.
        (folder / "notes.txt").write_text("hand-written")
        (folder / "Tarvino-6.9.0-20240101.exe").write_bytes(b"another Qt")
        (folder / builds[1]).unlink()
        result = self.publish("--reindex")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("notes.txt is not named", result.stderr)
        self.assertIn("Tarvino-6.9.0-20240101.exe is not named", result.stderr)
        self.assertEqual(self.page_entries(folder), [builds[0], builds[2]])
        self.assertEqual(sorted(p.name for p in self.dir.joinpath("release").rglob(".*")), [])

    def page_entries(self, folder):
        """The entries the updater reads from the page: whole lines only, in order."""
        page = (folder / "index.html").read_bytes().decode()
        return [line.split('"')[1] for line in page.splitlines(keepends=True)
                if line.startswith("<li><a ") and line.endswith("</a></li>\n")]

    def test_help(self):
        result = subprocess.run([str(REPO / "scripts/publish"), "--help"], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0)
        self.assertIn("Windows/QT_VERSION/Executables/Tarvino-QT_VERSION-DATE.exe", result.stdout)

    def test_sign(self):
        if not SIGN_TOOL:
            self.skipTest("TarvinoSign not built")
        key = self.dir / "publisher.key"
        public = subprocess.run([SIGN_TOOL, "keygen", str(key)], capture_output=True, text=True, check=True)
        result = self.publish("--sign", str(key), str(self.build), "6.10.1", "20260115")
        self.assertEqual(result.returncode, 0, result.stderr)
        name = "Tarvino-6.10.1-20260115.exe"
        signature = self.dir / "release/Windows/6.10.1/Signatures" / (name + ".sig")
        target = self.dir / "release/Windows/6.10.1/Executables" / name
        self.assertEqual(sorted(os.listdir(target.parent)), sorted([name, "index.html"]))  # builds only
        verify = subprocess.run([SIGN_TOOL, "verify", public.stdout.strip(), str(target), str(signature)],
                                capture_output=True, text=True)
        self.assertEqual(verify.returncode, 0, verify.stderr)


if __name__ == "__main__":
    REPO = Path(sys.argv.pop(1))
    if len(sys.argv) > 1:
        SIGN_TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
