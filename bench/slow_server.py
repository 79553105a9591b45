#!/usr/bin/env python3
"""A static file server on 127.0.0.1 whose answers start after a delay.

Files go out with sendfile(), as production static servers send them, so that
the server's own copying does not dominate what the benchmarks measure.

Usage: slow_server.py DIRECTORY DELAY_SECONDS
Prints "port N" once it listens on its ephemeral port; serves until killed.
"""
import functools
import http.server
import sys
import time


class SlowHandler(http.server.SimpleHTTPRequestHandler):
    delay = 0.0

    def do_GET(self):
        time.sleep(self.delay)
        super().do_GET()

    def copyfile(self, source, outputfile):
        try:
            self.connection.sendfile(source)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def log_message(self, *args):
        pass


def main():
    directory, delay = sys.argv[1], float(sys.argv[2])
    SlowHandler.delay = delay
    handler = functools.partial(SlowHandler, directory=directory)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    print(f"port {server.server_address[1]}", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
