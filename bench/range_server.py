#!/usr/bin/env python3
"""A static file server on 127.0.0.1 that answers ranges, as nginx does: a
strong ETag, "Range: bytes=N-" answered with 206 unless If-Range names another
validator. With --cut-once PATH, the first answer for PATH stops at half the
file and closes, as a dropped connection would. It counts the body bytes it
sends per path and writes them to STATS (JSON) each time it sends.

Usage: range_server.py DIRECTORY STATS [--cut-once PATH]
Prints "port N" once it listens on its ephemeral port; serves until killed.
"""
import http.server
import json
import os
import sys
import threading

directory, stats_path = sys.argv[1], sys.argv[2]
cut_once = sys.argv[4] if len(sys.argv) > 4 and sys.argv[3] == "--cut-once" else None
sent = {}
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        global cut_once
        path = os.path.join(directory, self.path.lstrip("/").split("?")[0])
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
        self.send_response(206 if start else 200)
        self.send_header("Content-Length", str(size - start))
        self.send_header("ETag", etag)
        if start:
            self.send_header("Content-Range", f"bytes {start}-{size - 1}/{size}")
        self.send_header("Connection", "close")
        self.end_headers()
        count = size - start
        with lock:
            if cut_once == self.path:
                cut_once, count = None, (size - start) // 2
        with open(path, "rb") as f:
            try:
                done = self.connection.sendfile(f, start, count)
            except (BrokenPipeError, ConnectionResetError):
                done = 0
        with lock:
            sent[self.path] = sent.get(self.path, 0) + done
            with open(stats_path, "w") as out:
                json.dump(sent, out)
        self.close_connection = True

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(f"port {server.server_address[1]}", flush=True)
server.serve_forever()
