#!/usr/bin/env python3
"""A static file server on 127.0.0.1 that answers ranges, as nginx does: a
strong ETag, "Range: bytes=N-" answered with 206 unless If-Range names another
validator. With --cut-once PATH, the first answer for PATH stops at half the
file and closes, as a dropped connection would. Connections are kept alive
between requests. Each answer's body bytes are appended to STATS as a line
"BYTES PATH" (the path as requested).

Usage: range_server.py DIRECTORY STATS [--cut-once PATH]
Prints "port N" once it listens on its ephemeral port; serves until killed.
"""
import http.server
import os
import socket
import sys
import threading
import urllib.parse

directory, stats_path = sys.argv[1], sys.argv[2]
cut_once = sys.argv[4] if len(sys.argv) > 4 and sys.argv[3] == "--cut-once" else None
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        # As nginx's tcp_nodelay: a body sent after its headers does not wait on the client's delayed ACK.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def do_GET(self):
        global cut_once
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
        self.send_response(206 if start else 200)
        self.send_header("Content-Length", str(size - start))
        self.send_header("ETag", etag)
        if start:
            self.send_header("Content-Range", f"bytes {start}-{size - 1}/{size}")
        count = size - start
        with lock:
            if cut_once == self.path:
                cut_once, count = None, (size - start) // 2
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
