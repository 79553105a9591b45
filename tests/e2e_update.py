#!/usr/bin/env python3
"""End to end: the real window code, copied into an application folder, updates
itself from Python's http.server and restarts the application; also with signed
builds, and as the kernel sees its file operations.

Usage: e2e_update.py REPOSITORY WINDOW_DRIVER [TARVINOSIGN]
"""
import http.server
import os
import re
import shutil
import subprocess
import threading
import urllib.error
import urllib.request
from pathlib import Path

from e2e_support import EXE, IDENTITY, NEWEST, Tools, UpdateCase, main, program, serve_python, wait_for


class ForwardingProxy(http.server.BaseHTTPRequestHandler):
    """An HTTP proxy that notes each address asked for and fetches it from this
    machine: whatever host a request names, it goes to 127.0.0.1."""
    seen = []

    def do_GET(self):
        ForwardingProxy.seen.append(self.path)
        local = re.sub(r"^http://[^/:]+", "http://127.0.0.1", self.path)
        try:
            answer = urllib.request.build_opener(urllib.request.ProxyHandler({})).open(local)
        except urllib.error.HTTPError as error:  # a 404 is passed on like any answer
            answer = error
        with answer:
            body = answer.read()
            self.send_response(answer.status)
            for name, value in answer.getheaders():
                if name.lower() not in ("connection", "transfer-encoding"):
                    self.send_header(name, value)
            self.end_headers()
            self.wfile.write(body)

    def log_message(self, *args):
        pass


def strace_quoted(path):
    """A path as strace prints it: quoted, bytes outside printable ASCII in octal."""
    return '"' + "".join(chr(b) if 32 <= b < 127 and b not in b'"\\' else f"\\{b:03o}"
                         for b in str(path).encode()) + '"'


class PythonHttpServer(UpdateCase):
    def serve(self):
        return serve_python(self, self.release)

    def test_update(self):
        self.publish()
        result = self.update(self.serve())
        self.check_updated(result)
        self.assertIn("Inicio de descarga del archivo ejecutable", result.stderr)
        self.assertIn("Se supone que ya terminó", result.stderr)

    def test_never_writes_into_the_program_or_its_backup(self):
        # Every open of the update, as the kernel saw it: the program and its
        # backup only ever change by link and rename, never by writing in place.
        self.publish()
        trace = self.tmp / "opens.txt"
        result = self.update(self.serve(), wrap=["strace", "-f", "-qq", "-e",
                                                 "trace=open,openat,openat2,creat,truncate", "-o", str(trace)])
        self.check_updated(result)
        lines = trace.read_text().splitlines()
        writing = re.compile(r"O_WRONLY|O_RDWR|O_TRUNC|O_CREAT|creat\(|truncate\(")
        # The staged build is opened for writing: the trace does show such opens.
        self.assertTrue([line for line in lines if strace_quoted(self.app / ("." + EXE + ".part-"))[:-1] in line
                         and writing.search(line)], "no open of the staged build was traced")
        watched = [strace_quoted(self.app / EXE), strace_quoted(self.app / IDENTITY)]
        self.assertEqual([line for line in lines if any(path in line for path in watched) and writing.search(line)],
                         [])

    def test_update_through_the_system_proxy(self):
        # Qt sends nothing for a loopback host through a proxy, so the server is
        # named 0.0.0.0: an address that, were the proxy ignored, still stays on this machine.
        self.publish()
        base = self.serve().replace("127.0.0.1", "0.0.0.0")
        proxy = http.server.ThreadingHTTPServer(("127.0.0.1", 0), ForwardingProxy)
        threading.Thread(target=proxy.serve_forever, daemon=True).start()
        self.addCleanup(proxy.server_close)
        self.addCleanup(proxy.shutdown)
        ForwardingProxy.seen = []
        result = self.update(base, env={"http_proxy": f"http://127.0.0.1:{proxy.server_address[1]}/"})
        self.check_updated(result)
        listing = base + "Windows/6.10.1/Executables/"
        manifest = base + "Windows/6.10.1/Manifests/" + NEWEST + ".txt"
        self.assertEqual(sorted(ForwardingProxy.seen),
                         sorted([listing, base + "Windows/Releases/", manifest, manifest[:-len(".txt")] + ".patches.txt",
                                 base + "Windows/6.10.1/compressed/" + NEWEST + ".zst"]))

    def test_release_replaces_the_whole_folder(self):
        # The folder as the user unpacked it: the first release, which knows itself.
        for name, data in {"lib.dll": b"lib 1", "same.dll": b"the same in both", "old-only.dll": b"gone next"}.items():
            (self.app / name).write_bytes(data)
        self.publish_release(self.app, "20251201")
        new = self.tmp / "next"
        shutil.copytree(self.app, new)
        (new / "TarvinoUpdater").write_bytes(Path(Tools.driver).read_bytes() + b"\0the next updater")
        (new / EXE).write_bytes(program("20260301"))
        (new / "lib.dll").write_bytes(b"lib 2")
        (new / "old-only.dll").unlink()
        (new / "plugins").mkdir()
        (new / "plugins/new.dll").write_bytes(b"new")
        self.publish_release(new, "20260301")
        (self.app / "notes.txt").write_text("the user's own")

        log = self.tmp / "server.log"
        result = self.update(serve_python(self, self.release, log))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(wait_for(lambda: (self.app / "ran.txt").exists(), 10), "the new program did not run")
        self.assertEqual((self.app / "ran.txt").read_text().splitlines()[0], "Tarvíno 20260301")
        for name in ("TarvinoUpdater", EXE, "lib.dll", "same.dll", "plugins/new.dll"):
            self.assertEqual((self.app / name).read_bytes(), (new / name).read_bytes(), name)
        self.assertFalse((self.app / "old-only.dll").exists())
        self.assertEqual((self.app / "notes.txt").read_text(), "the user's own")
        self.assertEqual((self.app / "TarvinoRelease.txt").read_bytes(),
                         (self.release / "Windows/Releases/Tarvino-6.10.1-20260301/manifest.txt").read_bytes())
        # The previous release's files, in one place named after the old identity.
        kept = self.app / IDENTITY
        self.assertEqual(sorted(str(p.relative_to(kept)) for p in kept.rglob("*") if p.is_file()),
                         sorted(["TarvinoUpdater", EXE, "lib.dll", "old-only.dll", "TarvinoRelease.txt"]))
        self.assertEqual((kept / EXE).read_bytes(), program("20251201"))
        self.assertEqual(self.fetched(log), sorted(["TarvinoUpdater", "Tarv%C3%ADno.exe", "lib.dll", "plugins/new.dll"]))
        # The changed programs came as patches from the folder's versions; the tiny files as they are.
        self.assertIn("Decoded the patch of TarvinoUpdater", (self.app / "TarvinoUpdater.log").read_text(encoding="utf-8"))
        self.assertIn("/patches/", log.read_text())

        # A release that changes only the program fetches only the program, whatever identity is passed.
        (new / EXE).write_bytes(program("20260401"))
        self.publish_release(new, "20260401")
        result = self.update(serve_python(self, self.release, log))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.fetched(log), ["Tarv%C3%ADno.exe"])
        self.assertEqual((self.app / EXE).read_bytes(), program("20260401"))

    def test_key_rotation_through_a_release(self):
        """An updater with key A installs a release signed with A whose updater carries A and B;
        that updater then takes a listing and a build signed with B alone."""
        keys = {}
        for name in ("a", "b"):
            keys[name] = self.tmp / f"{name}.key"
            keys[name + "_public"] = subprocess.run([Tools.sign_tool, "keygen", str(keys[name])], capture_output=True,
                                                    text=True, check=True).stdout.strip()
        new = self.tmp / "next"
        shutil.copytree(self.app, new)
        both = f"{keys['a_public']},{keys['b_public']}".encode()
        (new / "TarvinoUpdater").write_bytes(Path(Tools.driver).read_bytes() + b"\0keys " + both)
        (new / EXE).write_bytes(program("20260301"))
        self.publish_release(new, "20260301", key=keys["a"])
        base = serve_python(self, self.release)
        result = self.update(base, keys["a_public"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual((self.app / "TarvinoUpdater").read_bytes(), (new / "TarvinoUpdater").read_bytes())

        # From now on the publisher signs with B alone.
        build = self.tmp / "build-20260401"
        build.write_bytes(program("20260401"))
        subprocess.run([str(Tools.repo / "scripts/publish"), "--release-dir", str(self.release), "--sign", str(keys["b"]),
                        str(build), "6.10.1", "20260401"], check=True, capture_output=True,
                       env=dict(os.environ, TARVINO_SIGN=Tools.sign_tool))
        refused = self.update(base, keys["a_public"], mode="check")
        self.assertIn("does not bear the publisher's signature", refused.stdout)
        result = self.update(base, "carried")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual((self.app / EXE).read_bytes(), program("20260401"))

    def fetched(self, log):
        """The release files the server sent, in whichever form: as they are, compressed, or as a patch."""
        sent = re.findall(r'"GET /Windows/Releases/[^/]+/(?:files/(\S+)|(?:compressed|patches/[0-9a-f]{64})/(\S+)\.zst) HTTP',
                          log.read_text())
        return sorted(whole or packed for whole, packed in sent)

    def test_signed_update(self):
        public = self.publish(signed=True)
        base = self.serve()
        # The older build's bytes served under the newest name do not match its signature.
        newest = self.folder / NEWEST
        genuine = newest.read_bytes()
        newest.write_bytes(program("20250101"))
        # Without its smaller forms, which would bring the genuine bytes.
        forms = self.release / "Windows/6.10.1/Manifests" / (NEWEST + ".patches.txt")
        forms.rename(forms.with_suffix(".aside"))
        result = self.update(base, public)
        self.check_untouched(result)
        # The signed manifest beside it names the build's SHA-256.
        self.assertIn("The build is not the file its manifest names.", result.stderr)

        # The signed list of forms is back: the build comes compressed (the folder's own build was never
        # published, so no patch applies to it), checked by the manifest as well.
        forms.with_suffix(".aside").rename(forms)
        result = self.update(base, public)
        self.check_updated(result)
        log = (self.app / "TarvinoUpdater.log").read_text(encoding="utf-8")
        self.assertIn("A list of patches is taken.", log)
        self.assertIn(f"Decoded the compressed copy of {NEWEST} into", log)
        self.assertIn(f"Signature verified: Windows/6.10.1/Manifests/{NEWEST}", log)
        self.assertIn("The build is checked by its signed manifest.", log)
        self.assertNotIn("Firma", result.stderr)

    def test_update_signed_with_the_second_of_two_keys(self):
        # A publisher part-way through a key change: the updater carries the old
        # key and the new one, and the release is signed with the new one only.
        old_key = subprocess.run([Tools.sign_tool, "keygen", str(self.tmp / "old.key")], capture_output=True,
                                 text=True, check=True).stdout.strip()
        new_key = self.publish(signed=True)
        base = self.serve()
        result = self.update(base, old_key, mode="check")
        self.assertIn("does not bear the publisher's signature", result.stdout)
        result = self.update(base, f"{old_key},{new_key}")
        self.check_updated(result)
        self.assertIn("Listing signature verified", (self.app / "TarvinoUpdater.log").read_text(encoding="utf-8"))


if __name__ == "__main__":
    main()
