#!/usr/bin/env python3
"""A static file server on 127.0.0.1 that answers ranges, as nginx does: a
strong ETag, "Range: bytes=N-" answered with 206 unless If-Range names another
validator. With --fault PATH PLAN, the answers for PATH break as PLAN says, the
connection closed as a dropped one would be:
    cut:F        the first answer stops at the fraction F of the file (0.5: half)
    cuts:N       the first N answers stop at 1/(N+1), 2/(N+1)... of the file
    every:BYTES  every answer stops after BYTES of body
    busy:F       the first answer stops at F, and the next one is a 503
(--cut-once PATH is cut:0.5.) Connections are kept alive
between requests. Each answer's body bytes are appended to STATS as a line
"BYTES PATH" (the path as requested).

Usage: range_server.py DIRECTORY STATS [--fault PATH PLAN | --cut-once PATH]
Prints "port N" once it listens on its ephemeral port; serves until killed.
"""
import http.server
import os
import socket
import sys
import threading
import urllib.parse

directory, stats_path = sys.argv[1], sys.argv[2]
fault_path, plan = None, None
if len(sys.argv) > 4 and sys.argv[3] == "--cut-once":
    fault_path, plan = sys.argv[4], "cut:0.5"
elif len(sys.argv) > 5 and sys.argv[3] == "--fault":
    fault_path, plan = sys.argv[4], sys.argv[5]
answers = 0  # to the faulty path so far
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        # As nginx's tcp_nodelay: a body sent after its headers does not wait on the client's delayed ACK.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def stop_at(self, size):
        """Where the body of this answer for the faulty path ends (None: at the file's end), or "busy"."""
        global answers
        kind, _, value = plan.partition(":")
        answers += 1
        if kind == "cut":
            return int(size * float(value)) if answers == 1 else None
        if kind == "cuts":
            return size * answers // (int(value) + 1) if answers <= int(value) else None
        if kind == "every":
            return int(value)
        if kind == "busy":
            return int(size * float(value)) if answers == 1 else "busy" if answers == 2 else None
        raise SystemExit(f"unknown fault plan {plan}")

    def do_GET(self):
        path = os.path.join(directory, urllib.parse.unquote(self.path.lstrip("/").split("?")[0]))
        if os.path.isdir(path):
            path = os.path.join(path, "index.html")
        if not os.path.isfile(path):
            self.send_error(404)
            return
        size = os.path.getsize(path)
        etag = f'"{os.stat(path).st_mtime_ns:x}-{size:x}"'
        start = 0
        ranged = self.headers.get("Range", "")
        if ranged.startswith("bytes=") and ranged.endswith("-") and self.headers.get("If-Range", etag) == etag:
            start = int(ranged[6:-1])
        stop = None
        if self.path == fault_path:
            with lock:
                stop = self.stop_at(size)
        if stop == "busy":
            self.send_error(503)
            return
        self.send_response(206 if start else 200)
        self.send_header("Content-Length", str(size - start))
        self.send_header("ETag", etag)
        if start:
            self.send_header("Content-Range", f"bytes {start}-{size - 1}/{size}")
        count = size - start
        if stop is not None:
            # An "every" answer counts from where it starts; the others stop at a place in the file.
            count = min(count, stop if plan.startswith("every:") else max(stop - start, 0))
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        with open(path, "rb") as f:
            try:
                done = self.connection.sendfile(f, start, count)
            except (BrokenPipeError, ConnectionResetError):
                done = 0
        if done < count:
            self.close_connection = True
        with lock:
            with open(stats_path, "a") as out:
                out.write(f"{done} {self.path}\n")

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(f"port {server.server_address[1]}", flush=True)
server.serve_forever()
