#!/usr/bin/env python3
"""End to end: the real window code, copied into an application folder, updates
itself from Python's http.server and restarts the application; also with signed
builds, and as the kernel sees its file operations.

Usage: e2e_update.py REPOSITORY WINDOW_DRIVER [TARVINOSIGN]
"""
import re

from e2e_support import EXE, IDENTITY, NEWEST, UpdateCase, main, program, serve_python


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

    def test_signed_update(self):
        public = self.publish(signed=True)
        base = self.serve()
        # The older build's bytes served under the newest name do not match its signature.
        newest = self.folder / NEWEST
        genuine = newest.read_bytes()
        newest.write_bytes(program("20250101"))
        result = self.update(base, public)
        self.check_untouched(result)
        self.assertIn("does not bear the publisher's signature", result.stderr)

        newest.write_bytes(genuine)
        result = self.update(base, public)
        self.check_updated(result)
        self.assertIn(f"Firma verificada: {NEWEST}", result.stderr)


if __name__ == "__main__":
    main()
