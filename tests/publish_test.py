#!/usr/bin/env python3
"""scripts/publish: the layout it makes, what it refuses, and its signatures.

Usage: publish_test.py REPOSITORY [TARVINOSIGN]
"""
import hashlib
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
        # Its manifest, in a release manifest's form: what an updater checks the bytes against.
        manifest = self.dir / "release/Windows/6.10.1/Manifests/Tarvino-6.10.1-20260115.exe.txt"
        self.assertEqual(manifest.read_text(),
                         "Tarvino release manifest 1\nrelease: Tarvino-6.10.1-20260115\n"
                         f"{hashlib.sha256(b'build one').hexdigest()} 9 x Tarvino-6.10.1-20260115.exe\n")

    def test_refusals(self):
        for qt, date in (("6.10.x", "20260115"), ("6.10.1/..", "20260115"), ("", "20260115"),
                         ("6.10.1", "2026011"), ("6.10.1", "2026-01-15"), ("6.10.1", "202601150")):
            with self.subTest(qt=qt, date=date):
                result = self.publish(str(self.build), qt, date)
                self.assertNotEqual(result.returncode, 0)
                self.assertFalse((self.dir / "release").exists())

    def test_a_refused_folder_leaves_nothing_behind(self):
        app = self.dir / "app"
        app.mkdir()
        (app / "lib.dll").write_bytes(b"lib")
        (app / "elsewhere").symlink_to(self.dir)
        result = self.publish("--app-folder", str(app), "6.10.1", "20260115")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("is a link; a release holds files only", result.stderr)
        self.assertNotIn("unbound variable", result.stderr)
        self.assertEqual(sorted(p.relative_to(self.dir).as_posix() for p in (self.dir / "release").rglob("*")),
                         ["release/Windows", "release/Windows/Releases"])

    def check_forms(self, folder, listing, release, files, bases):
        """Every form the list names lies where the updater looks, is what the list says, and decodes
        (a patch from the old file it names) into the file; files maps paths to bytes, bases the old SHA-256s
        to their bytes. Returns the lines' kinds by path."""
        lines = listing.read_text(encoding="utf-8").split("\n")
        self.assertEqual(lines[:2], ["Tarvino release patches 1", f"release: {release}"])
        self.assertEqual(lines[-1], "")
        kinds = {}
        for line in lines[2:-1]:
            kind, *fields = line.split(" ", 4 if line.startswith("patch ") else 3)
            if kind == "zst":
                sha, size, path = fields
                form = folder / "compressed" / (path + ".zst")
                command = ["zstd", "-d", "-q", "-c", str(form)]
            else:
                base, sha, size, path = fields
                form = folder / "patches" / base / (path + ".zst")
                old = self.dir / "base"
                old.write_bytes(bases[base])
                command = ["zstd", "-d", "-q", "-c", "--long=31", f"--patch-from={old}", str(form)]
            self.assertEqual((hashlib.sha256(form.read_bytes()).hexdigest(), int(size)),
                             (sha, form.stat().st_size), line)
            self.assertLess(int(size), len(files[path]), line)
            self.assertEqual(subprocess.run(command, capture_output=True, check=True).stdout, files[path], line)
            kinds.setdefault(path, []).append(kind if kind == "zst" else bases[base])
        return kinds

    def test_smaller_forms(self):
        def version(n):
            return b"".join(b"symbol %d%s\n" % (i, b" v%d" % n if i % 500 == 0 else b"") for i in range(20000))
        # Single builds: each later one gets a patch from each earlier one, newest first.
        for n, date in enumerate(("20260101", "20260102", "20260103"), 1):
            self.build.write_bytes(version(n))
            result = self.publish(str(self.build), "6.10.1", date)
            self.assertEqual(result.returncode, 0, result.stderr)
        qt = self.dir / "release/Windows/6.10.1"
        name = "Tarvino-6.10.1-20260103.exe"
        kinds = self.check_forms(qt, qt / "Manifests" / (name + ".patches.txt"), name[:-4], {name: version(3)},
                                 {hashlib.sha256(version(n)).hexdigest(): version(n) for n in (1, 2)})
        self.assertEqual(kinds, {name: ["zst", version(2), version(1)]})
        # The listing holds builds only, and the manifest is as before: updaters that do not know
        # the list read it as they did.
        self.assertEqual(sorted(os.listdir(qt / "Executables")),
                         ["Tarvino-6.10.1-20260101.exe", "Tarvino-6.10.1-20260102.exe", name, "index.html"])
        self.assertEqual(len((qt / "Manifests" / (name + ".txt")).read_text().splitlines()), 3)

        # Releases, with one patch a file: from the release before only; a file too small for a form has none.
        app = self.dir / "app"
        app.mkdir()
        releases = self.dir / "release/Windows/Releases"
        for n in (1, 2, 3):
            (app / "Tarv\u00edno.exe").write_bytes(version(n))
            (app / "plugins").mkdir(exist_ok=True)
            (app / "plugins/a b.dll").write_bytes(version(10 + n))
            (app / "tiny.txt").write_bytes(b"tiny %d" % n)
            result = self.publish("--patches", "1", "--app-folder", str(app), "6.10.1", f"2026020{n}")
            self.assertEqual(result.returncode, 0, result.stderr)
        folder = releases / "Tarvino-6.10.1-20260203"
        files = {"Tarv\u00edno.exe": version(3), "plugins/a b.dll": version(13), "tiny.txt": b"tiny 3"}
        kinds = self.check_forms(folder, folder / "patches.txt", folder.name, files,
                                 {hashlib.sha256(version(n)).hexdigest(): version(n) for n in (2, 12)})
        self.assertEqual(kinds, {"Tarv\u00edno.exe": ["zst", version(2)], "plugins/a b.dll": ["zst", version(12)]})
        self.assertTrue(all(len(line.split(" ")) >= 4 for line in (folder / "manifest.txt").read_text().splitlines()[2:]))
        # --patches 0: compressed copies only.
        result = self.publish("--patches", "0", "--app-folder", str(app), "6.10.1", "20260204")
        self.assertEqual(result.returncode, 0, result.stderr)
        folder = releases / "Tarvino-6.10.1-20260204"
        self.assertEqual(self.check_forms(folder, folder / "patches.txt", folder.name, files, {}),
                         {"Tarv\u00edno.exe": ["zst"], "plugins/a b.dll": ["zst"]})
        for bad in (["--patches", "x"], ["--level", "20"]):
            self.assertEqual(self.publish(*bad, "--app-folder", str(app), "6.10.1", "20260205").returncode, 2)

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
        manifest = self.dir / "release/Windows/6.10.1/Manifests" / (name + ".txt")
        verify = subprocess.run([SIGN_TOOL, "verify-listing", public.stdout.strip(), str(manifest),
                                 str(manifest) + ".sig", "--folder", "Windows/6.10.1/Manifests/" + name],
                                capture_output=True, text=True)
        self.assertEqual(verify.returncode, 0, verify.stderr)

        # The page is signed for its folder; --reindex --sign signs it anew, and a
        # publish without the key says that the signature no longer holds.
        page = target.parent / "index.html"
        page_signature = signature.parent / "index.html.sig"
        verify_page = [SIGN_TOOL, "verify-listing", public.stdout.strip(), str(page), str(page_signature),
                       "--folder", "Windows/6.10.1"]
        self.assertEqual(subprocess.run(verify_page, capture_output=True).returncode, 0)
        (target.parent / "Tarvino-6.10.1-20260201.exe").write_bytes(b"copied by hand")
        self.assertEqual(self.publish("--reindex").returncode, 0)
        self.assertNotEqual(subprocess.run(verify_page, capture_output=True).returncode, 0)
        self.assertEqual(self.publish("--reindex", "--sign", str(key)).returncode, 0)
        self.assertEqual(subprocess.run(verify_page, capture_output=True).returncode, 0)
        result = self.publish(str(self.build), "6.10.1", "20260301")
        self.assertIn("index.html.sig no longer matches", result.stderr)

    def test_page_is_replaced_in_one_step(self):
        # A reader holding the old page reads it whole; the page itself is never
        # opened for writing, only renamed into place (as is its signature).
        self.assertEqual(self.publish(str(self.build), "6.10.1", "20250101").returncode, 0)
        page = self.dir / "release/Windows/6.10.1/Executables/index.html"
        trace = self.dir / "trace.txt"
        with open(page, "rb") as reader:
            old = page.read_bytes()
            env = dict(os.environ, TARVINO_SIGN=SIGN_TOOL or "")
            key = self.dir / "publisher.key"
            subprocess.run([SIGN_TOOL, "keygen", str(key)], capture_output=True, check=True)
            result = subprocess.run(["strace", "-f", "-qq", "-e", "trace=open,openat,openat2,creat,truncate,rename,"
                                     "renameat,renameat2", "-o", str(trace), str(REPO / "scripts/publish"),
                                     "--release-dir", str(self.dir / "release"), "--sign", str(key),
                                     str(self.build), "6.10.1", "20260115"], capture_output=True, text=True, env=env)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(reader.read(), old)
        self.assertIn(b"20260115", page.read_bytes())
        lines = trace.read_text().splitlines()
        renames = [line for line in lines if "rename" in line and line.rstrip().endswith("= 0")
                   and ('/index.html"' in line or '/index.html.sig"' in line)]
        self.assertEqual(len(renames), 2, "\n".join(lines))
        writes = [line for line in lines if '/index.html' in line and "rename" not in line
                  and any(flag in line for flag in ("O_WRONLY", "O_RDWR", "O_TRUNC", "O_CREAT", "creat(", "truncate("))]
        self.assertEqual(writes, [])


if __name__ == "__main__":
    REPO = Path(sys.argv.pop(1))
    if len(sys.argv) > 1:
        SIGN_TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
