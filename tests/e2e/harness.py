"""Shared pieces of the end-to-end suite: a sandboxed HOME per test, the
built binary, and the loopback server."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import server  # noqa: E402

BINARY = os.environ.get("SKIFFER_BINARY", "skiffer")
OPML_BINARY = os.environ.get("SKIFFER_OPML_BINARY", "skiffer-opml")
# The build's version, handed over by CTest so that it is written only once.
VERSION = os.environ.get("SKIFFER_VERSION", "")
USER_AGENT = "skiffer %s (skiffer rss enclosure downloader)" % VERSION
DATA = os.environ.get("SKIFFER_TEST_DATA",
                      os.path.join(os.path.dirname(__file__), "..", "data"))


class Result:
    def __init__(self, completed):
        self.status = completed.returncode
        self.stdout = completed.stdout.decode("utf-8", "surrogateescape")
        self.stderr = completed.stderr.decode("utf-8", "surrogateescape")

    def __repr__(self):
        return "status %d\n--- stdout\n%s--- stderr\n%s" % (
            self.status, self.stdout, self.stderr)


class SkifferTestCase(unittest.TestCase):
    """Each test gets a fresh HOME; the binary runs with it as its home."""

    maxDiff = None

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="skiffer-e2e-")
        self.addCleanup(shutil.rmtree, self.home, ignore_errors=True)
        self._server = None

    def path(self, *parts):
        return os.path.join(self.home, *parts)

    def write(self, relative, content, mode="w"):
        full = self.path(relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, mode) as f:
            f.write(content)
        return full

    def read(self, relative, mode="r"):
        with open(self.path(relative), mode) as f:
            return f.read()

    def write_config(self, text):
        return self.write(".skifferrc", text)

    @property
    def server(self):
        """A loopback server over HOME/www, started on first use."""
        if self._server is None:
            os.makedirs(self.path("www"), exist_ok=True)
            self._server = server.start(self.path("www"))
            self.addCleanup(self._server.server_close)
            self.addCleanup(self._server.shutdown)
        return self._server

    def run_opml(self, *args, env=None, cwd=None):
        """skiffer-opml, run as run_skiffer runs skiffer."""
        return self.run_skiffer(*args, env=env, cwd=cwd, binary=OPML_BINARY)

    def environment(self, env=None):
        """The environment of a run; a value of None in `env` unsets that name."""
        environment = {"HOME": self.home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                       "LANG": "C"}
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "G_SLICE"):
            if name in os.environ:
                environment[name] = os.environ[name]
        environment.update(env or {})
        return {name: value for name, value in environment.items() if value is not None}

    def run_skiffer(self, *args, env=None, cwd=None, binary=BINARY, closed=(), wrapper=()):
        """Runs the binary, after the command prefix `wrapper` (a tracer and
        its arguments) if any; the descriptors in `closed` are closed when
        it starts."""
        def close_descriptors():
            for fd in closed:
                os.close(fd)
        completed = subprocess.run([*wrapper, binary, *args], env=self.environment(env),
                                   cwd=cwd or self.home, stdin=subprocess.DEVNULL,
                                   capture_output=True, timeout=120,
                                   preexec_fn=close_descriptors if closed else None)
        return Result(completed)

    def start_skiffer(self, *args, env=None, wrapper=()):
        """Starts the binary as run_skiffer runs it, without waiting: the
        process, with pipes for its standard output and error."""
        return subprocess.Popen([*wrapper, BINARY, *args], env=self.environment(env),
                                cwd=self.home, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def mount_tmpfs(self, relative, size):
        """Mounts a tmpfs of `size` (as mount's size option takes it) on the
        directory `relative` for the rest of the test; skips the test where
        that cannot be done."""
        if os.geteuid() != 0:
            self.skipTest("mounting a tmpfs needs root")
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s" % size, "tmpfs",
                           self.path(relative)], capture_output=True).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", self.path(relative)])

    def assertRun(self, result, status=0, stdout="", stderr=""):
        """Checks the exit status and both streams exactly."""
        self.assertEqual((result.status, result.stdout, result.stderr),
                         (status, stdout, stderr), result)


STAMP = r"[A-Z][a-z]{2}, \d\d-[A-Z][a-z]{2}-\d{4} \d\d:\d\d:\d\d GMT"


def rss(items, title="Test Channel", extra_namespaces=""):
    """An RSS 2.0 document; each item is a dict with optional keys title,
    pubDate, url, length and type (the enclosure element), or raw (XML)."""
    out = ['<?xml version="1.0" encoding="UTF-8"?>\n<rss version="2.0"%s>\n<channel>\n'
           % extra_namespaces]
    if title is not None:
        out.append("<title>%s</title>\n" % title)
    for item in items:
        out.append("<item>")
        for field in ("title", "pubDate"):
            if field in item:
                out.append("<%s>%s</%s>" % (field, item[field], field))
        if "url" in item:
            attributes = ' url="%s"' % item["url"]
            if "length" in item:
                attributes += ' length="%s"' % item["length"]
            attributes += ' type="%s"' % item.get("type", "audio/mpeg")
            out.append("<enclosure%s/>" % attributes)
        out.append(item.get("raw", ""))
        out.append("</item>\n")
    out.append("</channel>\n</rss>\n")
    return "".join(out)
