#!/usr/bin/env python3
"""A loopback HTTP server for skiffer's tests.

Serves files from a root directory with byte ranges, and answers a few
special paths that stage the situations a transfer must cope with:

  /status/CODE            answers CODE with a small HTML body
  /redirect/CODE/PATH     answers CODE with Location: /PATH
  /redirect-to?URL        answers 302 with Location: URL (any scheme)
  /gzip/PATH              serves PATH gzip-encoded (Content-Encoding: gzip)
  /drop/N/PATH            announces PATH's full length, sends N bytes, closes
  /hangup/PATH            serves PATH whole, then closes the connection
                          without announcing it (no Connection: close)
  /dl/?PATH               serves PATH, as a download script names its file
  /no-content-range/PATH  serves PATH, but answers a range past its end with
                          a 416 that states no size
  /delay/MS/PATH          waits MS milliseconds, then serves PATH
  /stall/before/PATH      reads the request and answers nothing
  /stall/after/PATH       sends PATH's headers, then nothing
  /drip/MS/PATH           sends PATH's headers, then one byte every MS milliseconds
  /loop                   answers 302 with Location: /loop, for ever
  /chain/N/PATH           redirects N times in a row, then serves PATH
  /endless                a feed's first lines, then text without end and no length
  /bomb/MIB               a gzip body that decodes to MIB mebibytes (a feed's start
                          and spaces), far smaller than that on the wire
  /packed/PATH            PATH's gzip file as a plain body, no Content-Encoding
  /packed-bomb/MIB        the bomb's gzip file as a plain body, no Content-Encoding
  /etag/PATH              serves PATH with an ETag (from its content) and a
                          Last-Modified (its modification time), and answers
                          304 to a request that sends either back: a
                          server that answers conditional requests

A test can also script the answer to one path: server.script(PATH, STATUS,
HEADERS) answers every later request for PATH (query included) with STATUS
and HEADERS, and with the file's body for a 200, until the script is
replaced or removed with server.script(PATH, None).

A stalled or dripping answer ends when the client hangs up or the server
shuts down.

Every request is recorded (method, path, headers, and the client's port,
which tells the requests that came over one connection). Run as a program it prints
the port on its first line and, with --log FILE, appends one JSON line per
request to FILE; imported, start() runs it in a thread.
"""

import argparse
import email.utils
import gzip
import json
import os
import select
import socket
import sys
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.server.record(self)
        scripted = self.server.scripted(self.path)
        if scripted is not None:
            return self.answer_scripted(*scripted)
        split = urlsplit(self.path)
        path = unquote(split.path)
        if path.startswith("/etag/"):
            return self.conditional(path[len("/etag"):])
        if path.startswith("/status/"):
            return self.status(int(path.split("/")[2]))
        if path.startswith("/redirect/"):
            _, _, code, rest = path.split("/", 3)
            return self.redirect(int(code), "/" + rest)
        if path == "/redirect-to":
            return self.redirect(302, unquote(split.query))
        if path.startswith("/gzip/"):
            return self.send_file(path[len("/gzip"):], compress=True)
        if path.startswith("/hangup/"):
            self.send_file(path[len("/hangup"):])
            self.close_connection = True
            return
        if path.startswith("/drop/"):
            _, _, count, rest = path.split("/", 3)
            return self.send_file("/" + rest, drop_after=int(count))
        if path == "/dl/":
            return self.send_file("/" + unquote(split.query))
        if path.startswith("/no-content-range/"):
            return self.send_file(path[len("/no-content-range"):], state_size=False)
        if path.startswith("/delay/"):
            _, _, milliseconds, rest = path.split("/", 3)
            time.sleep(int(milliseconds) / 1000)
            return self.send_file("/" + rest)
        if path.startswith("/stall/before/"):
            return self.wait_for_hangup()
        if path.startswith("/stall/after/"):
            return self.send_file(path[len("/stall/after"):], drip_every=None)
        if path.startswith("/drip/"):
            _, _, milliseconds, rest = path.split("/", 3)
            return self.send_file("/" + rest, drip_every=int(milliseconds) / 1000)
        if path == "/loop":
            return self.redirect(302, "/loop")
        if path.startswith("/chain/"):
            _, _, count, rest = path.split("/", 3)
            count = int(count)
            return self.redirect(302, "/chain/%d/%s" % (count - 1, rest) if count > 1
                                 else "/" + rest)
        if path == "/endless":
            return self.endless()
        if path.startswith("/bomb/"):
            return self.bomb(int(path.split("/")[2]))
        if path.startswith("/packed/"):
            return self.send_file(path[len("/packed"):], compress=True, announce=False)
        if path.startswith("/packed-bomb/"):
            return self.bomb(int(path.split("/")[2]), announce=False)
        return self.send_file(path)

    def answer_scripted(self, status, headers):
        body = b""
        if status == 200:
            file_path = os.path.join(self.server.root, unquote(urlsplit(self.path).path).lstrip("/"))
            with open(file_path, "rb") as f:
                body = f.read()
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        if status != 304:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def conditional(self, path):
        file_path = os.path.join(self.server.root, path.lstrip("/"))
        if not os.path.isfile(file_path):
            return self.status(404)
        with open(file_path, "rb") as f:
            data = f.read()
        validators = {"ETag": '"%s"' % zlib.crc32(data),
                      "Last-Modified": email.utils.formatdate(os.path.getmtime(file_path),
                                                              usegmt=True)}
        match = self.headers.get("If-None-Match")
        since = self.headers.get("If-Modified-Since")
        if (match == validators["ETag"] if match is not None
                else since == validators["Last-Modified"]):
            self.send_response(304)
            body = b""
        else:
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            body = data
        for name, value in validators.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def hung_up(self, timeout):
        """Waits up to `timeout` seconds; true when the client has closed."""
        readable, _, _ = select.select([self.connection], [], [], timeout)
        if not readable:
            return False
        try:
            return self.connection.recv(1, socket.MSG_PEEK) == b""
        except OSError:
            return True

    def wait_for_hangup(self):
        self.close_connection = True
        while not self.server.stopping.is_set() and not self.hung_up(0.1):
            pass

    def endless(self):
        self.close_connection = True
        self.send_response(200)
        self.send_header("Content-Type", "application/rss+xml")
        self.end_headers()
        block = b"<!--" + b" " * 65536 + b"-->\n"
        try:
            self.wfile.write(b'<?xml version="1.0"?>\n<rss version="2.0"><channel>\n')
            while not self.server.stopping.is_set():
                self.wfile.write(block)
        except OSError:
            pass

    def bomb(self, mebibytes, announce=True):
        body = self.server.bomb(mebibytes)
        self.send_response(200)
        self.send_header("Content-Type", "application/rss+xml")
        if announce:
            self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def status(self, code):
        body = b"<html><body>error %d</body></html>\n" % code
        self.send_response(code)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def redirect(self, code, location):
        self.send_response(code)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def send_file(self, path, compress=False, drop_after=None, state_size=True,
                  drip_every=0, announce=True):
        file_path = os.path.join(self.server.root, path.lstrip("/"))
        if not os.path.isfile(file_path):
            return self.status(404)
        with open(file_path, "rb") as f:
            data = f.read()
        if compress:
            data = gzip.compress(data)
        start = 0
        code = 200
        headers = {}
        range_header = self.headers.get("Range")
        if range_header and range_header.startswith("bytes=") and not compress:
            first = range_header[len("bytes="):].split("-")[0]
            start = int(first) if first else 0
            if start >= len(data):
                self.send_response(416)
                if state_size:
                    self.send_header("Content-Range", "bytes */%d" % len(data))
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            code = 206
            headers["Content-Range"] = "bytes %d-%d/%d" % (start, len(data) - 1, len(data))
        body = data[start:]
        self.send_response(code)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Accept-Ranges", "bytes")
        if compress and announce:
            self.send_header("Content-Encoding", "gzip")
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if drop_after is not None:
            self.wfile.write(body[:drop_after])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(2)
            return
        if drip_every is None:
            return self.wait_for_hangup()
        if drip_every:
            self.close_connection = True
            for offset in range(len(body)):
                if self.server.stopping.is_set() or self.hung_up(drip_every):
                    return
                try:
                    self.wfile.write(body[offset:offset + 1])
                except OSError:
                    return
            return
        self.wfile.write(body)


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, root, log_path=None, host="127.0.0.1"):
        super().__init__((host, 0), Handler)
        self.root = root
        self.log_path = log_path
        self.requests = []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.bombs = {}
        # Connections open at once, now and at most: a client that keeps
        # an idle connection open counts, as it does for a real server.
        self.connections = 0
        self.most_connections = 0
        self.scripts = {}

    def process_request_thread(self, request, client_address):
        with self.lock:
            self.connections += 1
            self.most_connections = max(self.most_connections, self.connections)
        try:
            super().process_request_thread(request, client_address)
        finally:
            with self.lock:
                self.connections -= 1

    def script(self, path, status, headers=None):
        """Answers requests for `path` with `status` and `headers` from now
        on; a status of None ends the script."""
        with self.lock:
            if status is None:
                self.scripts.pop(path, None)
            else:
                self.scripts[path] = (status, dict(headers or {}))

    def scripted(self, path):
        with self.lock:
            return self.scripts.get(path)

    def shutdown(self):
        # Stalled and endless answers watch this and end.
        self.stopping.set()
        super().shutdown()

    def bomb(self, mebibytes):
        """A gzip stream of a feed's start and `mebibytes` MiB of spaces."""
        with self.lock:
            if mebibytes not in self.bombs:
                compressor = zlib.compressobj(9, zlib.DEFLATED, 31)
                parts = [compressor.compress(b'<?xml version="1.0"?><rss version="2.0">')]
                block = b" " * (1 << 20)
                for _ in range(mebibytes):
                    parts.append(compressor.compress(block))
                parts.append(compressor.flush())
                self.bombs[mebibytes] = b"".join(parts)
            return self.bombs[mebibytes]

    def handle_error(self, request, client_address):
        # Clients that hang up early are part of the tests, not a fault.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)

    def record(self, handler):
        entry = {"method": handler.command, "path": handler.path,
                 "headers": {k: v for k, v in handler.headers.items()},
                 "client_port": handler.client_address[1]}
        with self.lock:
            self.requests.append(entry)
            if self.log_path:
                with open(self.log_path, "a") as log:
                    log.write(json.dumps(entry) + "\n")

    @property
    def port(self):
        return self.server_address[1]

    def url(self, path):
        return "http://%s:%d/%s" % (self.server_address[0], self.port, path.lstrip("/"))


def start(root, log_path=None, host="127.0.0.1"):
    """Serves `root` on `host` (any loopback address: several stand for
    several hosts) from a background thread; call shutdown() when done."""
    server = Server(root, log_path, host)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--log")
    args = parser.parse_args()
    server = Server(args.root, args.log)
    print(server.port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
