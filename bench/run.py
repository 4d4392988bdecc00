#!/usr/bin/python3
"""skiffer's benchmark: the program beside curl and xmllint on the same work.

Generates each workload in a temporary directory (a fresh tmpfs, and for the
rows where syncing costs real time also a directory on disk), serves the
enclosures from a loopback nginx that it starts and stops itself, runs
skiffer and the reference tools alternately, and prints one Markdown table
of medians with the ratio of skiffer to the reference.

    bench/run.py                 full sizes (tens of minutes)
    bench/run.py --quick         reduced sizes (well under a minute)
    bench/run.py --compare OLD   also measures the binary OLD, same run

Without --skiffer it measures a Release build in build-release/, built here
if needed. The figures never make it fail; it exits non-zero only when it
cannot run, or when a program did not do the work it was timed on (then the
figure would mean nothing).
"""

import argparse
import datetime
import email.utils
import gzip
import http.server
import os
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20
STAMP = "Sun, 05-Mar-2000 07:08:09 GMT"

# The sizes of each mode: the full ones are those the speed targets were
# set for; the quick ones keep every row meaningful in a few seconds.
SIZES = {
    "full": dict(catchup_items=16000, enclosures=500, enclosure_size=64 * 1024,
                 channels=200, channel_items=300, list_items=100000, big=1024 * MIB,
                 remote_channels=200, remote_delay_ms=30, parallel_channels=200,
                 parallel_delay_ms=50, parallel_episode_size=MIB, repeat=5, repeat_heavy=3),
    "quick": dict(catchup_items=2000, enclosures=100, enclosure_size=64 * 1024,
                  channels=20, channel_items=300, list_items=10000, big=64 * MIB,
                  remote_channels=16, remote_delay_ms=20, parallel_channels=16,
                  parallel_delay_ms=10, parallel_episode_size=64 * 1024, repeat=5,
                  repeat_heavy=3),
}


class BenchError(Exception):
    """The benchmark cannot go on; the message says why."""


def note(text):
    print(text, file=sys.stderr, flush=True)


# ---- running and measuring ------------------------------------------------

# The measuring process of the run under way, so that an interruption can
# end it together with the program it runs.
running_child = None


def drain(fd, shown):
    """Reads a pseudo-terminal into `shown` until its last writer has gone,
    so that a program writing to it never blocks on a full buffer."""
    while True:
        try:
            block = os.read(fd, 65536)
        except OSError:  # EIO: every slave descriptor is closed
            return
        if not block:
            return
        shown += block


def measure(helper, argv, env, cwd, scratch, terminal=False):
    """Runs argv through the `measure` helper and answers (wall seconds, peak
    RSS in KiB, exit status, standard error, what the terminal showed).
    Standard output goes to /dev/null, or with `terminal` to a
    pseudo-terminal."""
    global running_child
    result_path = os.path.join(scratch, "measure.result")
    stderr_path = os.path.join(scratch, "measure.stderr")
    stdout, shown = subprocess.DEVNULL, bytearray()
    if terminal:
        master, stdout = os.openpty()
        reader = threading.Thread(target=drain, args=(master, shown), daemon=True)
        reader.start()
    try:
        with open(stderr_path, "wb") as err:
            # A process group of its own: an interruption reaches this script
            # alone, and the clean-up ends the group, program included.
            running_child = subprocess.Popen([helper, result_path] + argv, env=env, cwd=cwd,
                                             stdin=subprocess.DEVNULL, stdout=stdout,
                                             stderr=err, process_group=0)
            if terminal:
                # The reader sees the end only once the program holds the
                # slave alone.
                os.close(stdout)
                stdout = None
            helper_status = running_child.wait()
            running_child = None
    finally:
        if terminal:
            # After an interruption the program may still hold the slave.
            end_running_child()
            if stdout is not None:
                os.close(stdout)
            reader.join()
            os.close(master)
    with open(stderr_path, "rb") as f:
        errors = f.read().decode("utf-8", "replace")
    if helper_status != 0:
        raise BenchError("cannot run %s: %s" % (argv[0], errors))
    with open(result_path) as f:
        seconds, rss, status = f.read().split()
    return float(seconds), int(rss), int(status), errors, bytes(shown)


def end_running_child():
    if running_child is not None and running_child.poll() is None:
        os.killpg(running_child.pid, signal.SIGKILL)
        running_child.wait()


class Command:
    """One program run that is timed: `setup` runs before each run, untimed,
    and `check` after it, to make sure the work was done."""

    def __init__(self, name, argv, env, cwd, setup=None, check=None, terminal=False,
                 shows=None):
        self.name = name
        self.argv = argv
        self.env = env
        self.cwd = cwd
        self.setup = setup
        self.check = check
        self.terminal = terminal  # standard output on a pseudo-terminal
        self.shows = shows  # bytes the terminal must have shown
        # A function that answers the bytes a server sent during the run,
        # for rows that count them; called after `check`.
        self.count_bytes = None
        self.samples = []  # (seconds, KiB) or (seconds, KiB, bytes)

    def run_once(self, helper, scratch):
        if self.setup:
            self.setup()
        seconds, rss, status, errors, screen = measure(helper, self.argv, self.env, self.cwd,
                                                       scratch, self.terminal)
        # skiffer reports a failed channel on standard error and still
        # exits with 0, so any message counts as a failure.
        if status != 0 or errors:
            shown = " ".join(self.argv[:6]) + (" ..." if len(self.argv) > 6 else "")
            raise BenchError("%s failed (exit status %d): %s\n%s"
                             % (self.name, status, shown, errors[:2000]))
        if self.shows is not None and self.shows not in screen:
            raise BenchError("%s did not show %r on its terminal" % (self.name, self.shows))
        if self.check:
            self.check()
        if self.count_bytes:
            return seconds, rss, self.count_bytes()
        return seconds, rss

    def median(self, index=0):
        return statistics.median(sample[index] for sample in self.samples)


def run_group(label, commands, repeat, warmup, helper, scratch):
    """Runs the commands in turn, round after round, so that a drift of the
    machine spreads over all of them; the warm-up rounds are not counted."""
    note("== %s" % label)
    for round_number in range(warmup + repeat):
        counted = round_number >= warmup
        for command in commands:
            sample = command.run_once(helper, scratch)
            if counted:
                command.samples.append(sample)
    for command in commands:
        times = [s[0] for s in command.samples]
        note("   %-28s median %s  (%s .. %s, %d runs)  peak RSS %s" % (
            command.name, fmt_time(statistics.median(times)), fmt_time(min(times)),
            fmt_time(max(times)), len(times), fmt_rss(command.median(1))))


def fmt_time(seconds):
    if seconds < 1:
        return "%.0f ms" % (seconds * 1000) if seconds >= 0.1 else "%.1f ms" % (seconds * 1000)
    if seconds < 10:
        return "%.2f s" % seconds
    return "%.1f s" % seconds


def fmt_bytes(count):
    if count >= 10 * 1000 * 1000:
        return "%.0f MB" % (count / 1e6)
    if count >= 10 * 1000:
        return "%.0f kB" % (count / 1e3)
    return "%.0f B" % count


def fmt_rss(kib):
    return "%.0f MiB" % (kib / 1024) if kib >= 10 * 1024 else "%.1f MiB" % (kib / 1024)


# ---- the work directories -------------------------------------------------

def filesystem_type(path):
    completed = subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True)
    return completed.stdout.strip() or "unknown"


class Workspace:
    """The directories the benchmark writes to, removed again at the end:
    `fast` on tmpfs (a fresh mount when we may mount, else /dev/shm), and
    `disk` on a real file system, made only when a row needs it."""

    def __init__(self, fast_bytes):
        self.mount_point = None
        self.fast = None
        self.fast_kind = None
        self.disk = None
        self.disk_kind = None
        self.made = []
        self._make_fast(fast_bytes)

    def _make_fast(self, size):
        if os.geteuid() == 0 and shutil.which("mount"):
            point = tempfile.mkdtemp(prefix="skiffer-bench-tmpfs.")
            self.made.append(point)
            completed = subprocess.run(
                ["mount", "-t", "tmpfs", "-o", "size=%dm,mode=0755" % (size // MIB + 1),
                 "skiffer-bench", point], capture_output=True, text=True)
            if completed.returncode == 0:
                self.mount_point = point
                self.fast = point
                self.fast_kind = "tmpfs (own mount, %d MiB)" % (size // MIB + 1)
                return
            note("Cannot mount a tmpfs (%s); trying /dev/shm." % completed.stderr.strip())
        if os.path.isdir("/dev/shm") and filesystem_type("/dev/shm") == "tmpfs":
            free = shutil.disk_usage("/dev/shm").free
            if free >= size:
                self.fast = tempfile.mkdtemp(prefix="skiffer-bench.", dir="/dev/shm")
                self.made.append(self.fast)
                self.fast_kind = "tmpfs (/dev/shm)"
                return
            note("/dev/shm has %d MiB free, %d MiB are needed." % (free // MIB, size // MIB))
        self.fast = tempfile.mkdtemp(prefix="skiffer-bench.")
        self.made.append(self.fast)
        self.fast_kind = "%s (%s; no tmpfs available)" % (filesystem_type(self.fast),
                                                          os.path.dirname(self.fast))
        note("Warning: no tmpfs with room; the 'tmpfs' rows run in %s." % self.fast)
        os.chmod(self.fast, 0o755)

    def disk_root(self):
        if self.disk is None:
            base = "/var/tmp" if os.path.isdir("/var/tmp") else tempfile.gettempdir()
            self.disk = tempfile.mkdtemp(prefix="skiffer-bench.", dir=base)
            self.made.append(self.disk)
            os.chmod(self.disk, 0o755)
            kind = filesystem_type(self.disk)
            self.disk_kind = "%s (%s)" % (kind, base)
            if kind == "tmpfs":
                note("Warning: %s is a tmpfs, so the 'disk' rows do not sync to a disk." % base)
        return self.disk

    def remove(self):
        if self.mount_point:
            if subprocess.run(["umount", self.mount_point], capture_output=True).returncode != 0:
                subprocess.run(["umount", "-l", self.mount_point], capture_output=True)
        for path in reversed(self.made):
            shutil.rmtree(path, ignore_errors=True)


# ---- the loopback web server ----------------------------------------------

NGINX_CONFIG = """\
# Generated by skiffer's benchmark; used only by the nginx it runs itself.
daemon off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    types {{ application/rss+xml xml; audio/mpeg mp3; }}
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 65;
    keepalive_requests 100000;
    server {{
        listen 127.0.0.1:{port};
        server_name localhost;
        root {root};
    }}
}}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    """An nginx in the foreground on a free loopback port, serving `root`."""

    def __init__(self, root, directory):
        self.process = None
        self.directory = directory
        os.makedirs(directory, exist_ok=True)
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        if not os.path.exists(nginx):
            raise BenchError("nginx is not installed; run scripts/install-deps.sh")
        # A port found free can be taken by someone else before nginx binds
        # it; then another one is tried.
        for _ in range(5):
            self.port = free_port()
            config = os.path.join(directory, "nginx.conf")
            with open(config, "w") as f:
                f.write(NGINX_CONFIG.format(dir=directory, port=self.port, root=root))
            log = os.path.join(directory, "error.log")
            self.process = subprocess.Popen(
                [nginx, "-p", directory, "-c", config, "-e", log],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                process_group=0)
            if self._wait_ready():
                return
            self.stop()
        with open(os.path.join(directory, "error.log")) as f:
            raise BenchError("nginx did not start:\n" + f.read()[-2000:])

    def _wait_ready(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.02)
        return False

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None


# ---- a feed host far away ----------------------------------------------------

class FeedHost:
    """Serves feeds as a podcast host does, from `addresses` loopback
    addresses (127.0.0.2 on), each on a port of its own, with every request
    held back `delay_ms` milliseconds as a distant server would be: gzip
    when the client accepts it, validators (ETag and Last-Modified) with
    every feed and 304 to a request that sends them back, and a count of
    every byte it sent, headers included. With `rate`, it sends each body
    no faster than that many bytes a second, as a host that limits every
    connection (nginx's limit_rate lets the first second's worth go at
    once, so a file of a megabyte would not be held back at all). `feeds`
    maps each path to its body (an episode is served the same way);
    url(path) answers the address that serves it, the feeds going to the
    addresses in turn. Runs in threads of this process until stop()."""

    MODIFIED = "Mon, 05 Jan 2026 06:00:00 GMT"
    PACE_CHUNK = 16 * 1024

    def __init__(self, feeds, addresses=8, delay_ms=30, rate=None):
        self.delay = delay_ms / 1000
        self.rate = rate
        self.lock = threading.Lock()
        self.sent = 0
        self.bodies = {}
        for index, (path, body) in enumerate(sorted(feeds.items())):
            self.bodies[path] = self._entry(index, path, body)
        self.servers = []
        host = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def setup(self):
                super().setup()
                self.wfile = CountingWriter(self.wfile, host)

            def do_GET(self):
                time.sleep(host.delay)
                found = host.bodies.get(self.path)
                if found is None:
                    self.send_response(404)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                plain, packed, etag = found
                if (self.headers.get("If-None-Match") == etag
                        or (self.headers.get("If-None-Match") is None
                            and self.headers.get("If-Modified-Since") == host.MODIFIED)):
                    self.send_response(304)
                    self.send_header("ETag", etag)
                    self.send_header("Last-Modified", host.MODIFIED)
                    self.end_headers()
                    return
                gzipped = packed is not None and "gzip" in self.headers.get("Accept-Encoding", "")
                body = packed if gzipped else plain
                self.send_response(200)
                self.send_header("Content-Type", "audio/mpeg" if self.path.endswith(".mp3")
                                 else "application/rss+xml")
                self.send_header("ETag", etag)
                self.send_header("Last-Modified", host.MODIFIED)
                if gzipped:
                    self.send_header("Content-Encoding", "gzip")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.send_body(body)

            def send_body(self, body):
                if host.rate is None:
                    self.wfile.write(body)
                    return
                # Each piece leaves when the rate allows its last byte, so
                # the whole body takes its size over the rate.
                start = time.monotonic()
                for offset in range(0, len(body), host.PACE_CHUNK):
                    piece = body[offset:offset + host.PACE_CHUNK]
                    early = (offset + len(piece)) / host.rate - (time.monotonic() - start)
                    if early > 0:
                        time.sleep(early)
                    self.wfile.write(piece)

        for n in range(addresses):
            server = http.server.ThreadingHTTPServer(("127.0.0.%d" % (n + 2), 0), Handler)
            server.daemon_threads = True
            threading.Thread(target=server.serve_forever, daemon=True).start()
            self.servers.append(server)

    @staticmethod
    def _entry(index, path, body):
        body = body.encode() if isinstance(body, str) else body
        # Hosts compress feeds, never audio.
        packed = None if path.endswith(".mp3") else gzip.compress(body, 6)
        return body, packed, '"%x-%d"' % (index, len(body))

    def replace(self, path, body):
        """Serves `body` at `path` from now on, for a feed that names URLs
        of this host, which are known only once it listens."""
        self.bodies[path] = self._entry(sorted(self.bodies).index(path), path, body)

    def url(self, path, on=None):
        """The URL of `path` on the address numbered `on` (from 0), by
        default on the one it goes to in turn."""
        index = sorted(self.bodies).index(path) % len(self.servers) if on is None else on
        address, port = self.servers[index].server_address
        return "http://%s:%d%s" % (address, port, path)

    def add_sent(self, count):
        with self.lock:
            self.sent += count

    def take_sent(self):
        """The bytes sent since the last call."""
        with self.lock:
            sent, self.sent = self.sent, 0
        return sent

    def stop(self):
        for server in self.servers:
            server.shutdown()
            server.server_close()
        self.servers = []


class CountingWriter:
    """A socket's write file that adds what it writes to its host's count."""

    def __init__(self, raw, host):
        self.raw = raw
        self.host = host

    def write(self, data):
        written = self.raw.write(data)
        self.host.add_sent(len(data))
        return written

    def flush(self):
        self.raw.flush()

    def __getattr__(self, name):
        return getattr(self.raw, name)


# ---- feeds ------------------------------------------------------------------

WORDS = ("harbour tide ferry lighthouse chart anchor mooring keel sail gale fog beacon "
         "dredger pilot quay buoy current estuary salt rope winch crane cargo ledger "
         "almanac compass signal watch dock slipway").split()


def rss_feed(channel_title, site, items, rng, notes=None):
    """An RSS 2.0 document as a podcast host writes it; `items` yields
    (enclosure url, length) newest first. An item takes about 450 bytes,
    and more with show notes: `notes`, when given, is a vocabulary from which
    each item's description takes 90 words, which makes a feed about as
    compressible as real ones (three to four times)."""
    start = datetime.datetime(2026, 1, 5, 6, 0, tzinfo=datetime.timezone.utc)
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n'
             '<rss version="2.0" xmlns:itunes="http://www.itunes.com/dtds/podcast-1.0.dtd" '
             'xmlns:atom="http://www.w3.org/2005/Atom">\n<channel>\n'
             '<title>%s</title>\n<link>%s/</link>\n'
             '<atom:link href="%s/feed.xml" rel="self" type="application/rss+xml"/>\n'
             '<description>Weekly notes from the %s, with interviews and the tides.'
             '</description>\n<language>en-gb</language>\n<itunes:author>%s</itunes:author>\n'
             % (channel_title, site, site, channel_title, channel_title)]
    for index, (url, length) in enumerate(items):
        date = email.utils.format_datetime(start - datetime.timedelta(hours=7 * index))
        words = rng.sample(WORDS, 4)
        number = len(items) - index
        parts.append(
            '<item>\n<title>%d: The %s and the %s</title>\n<link>%s/episodes/%d</link>\n'
            '<guid isPermaLink="false">%s-%d</guid>\n<pubDate>%s</pubDate>\n'
            '<description>The %s and the %s.%s</description>\n'
            '<itunes:duration>00:%02d:%02d</itunes:duration>\n'
            '<enclosure url="%s" length="%d" type="audio/mpeg"/>\n</item>\n'
            % (number, words[0], words[1], site, number, site.split("//")[1], number, date,
               words[2], words[3],
               " " + " ".join(rng.choices(notes, k=90)) + "." if notes else "",
               rng.randrange(20, 60), rng.randrange(60), url, length))
    parts.append("</channel>\n</rss>\n")
    return "".join(parts)


def vocabulary(rng, count=3000):
    """Made-up words of three to ten letters, for show notes."""
    letters = "etaoinshrdlucmfwypvbgkq"
    return ["".join(rng.choices(letters, k=rng.randrange(3, 11))) for _ in range(count)]


def media_urls(host, slug, count):
    """Enclosure URLs the way podcast hosts lay them out, newest first. The
    hosts are under the reserved .example domain; they are never fetched."""
    return ["https://%s/episodes/%s-%05d.mp3" % (host, slug, count - i) for i in range(count)]


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(content, bytes) else "w") as f:
        f.write(content)


def skiffer_home(base, name, channels, own_spools=False):
    """A sandboxed HOME with a configuration of `channels`: (identifier,
    feed location) pairs, all downloading into HOME/spool, or with
    `own_spools` each into HOME/spool/IDENTIFIER (channels that share a
    spool directory run one after another, whatever -j says)."""
    home = os.path.join(base, name)
    os.makedirs(os.path.join(home, "spool"), exist_ok=True)
    os.makedirs(os.path.join(home, "tmp"), exist_ok=True)
    lines = ["[*]", "spool=%s" % os.path.join(home, "spool"), ""]
    for identifier, url in channels:
        lines += ["[%s]" % identifier, "url=%s" % url]
        if own_spools:
            spool = os.path.join(home, "spool", identifier)
            os.makedirs(spool, exist_ok=True)
            lines.append("spool=%s" % spool)
        lines.append("")
    write(os.path.join(home, ".skifferrc"), "\n".join(lines))
    return home


def environment(home, **extra):
    # The feed's temporary copy goes to TMPDIR, which stays on the row's
    # storage; LANG=C keeps every run's output the same.
    env = {"HOME": home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C",
           "TMPDIR": os.path.join(home, "tmp")}
    env.update(extra)
    return env


def reset_directory(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def fresh_run(spool, state_dir):
    """A setup that empties the spool and forgets what was taken, so that
    every run downloads everything again. It also forgets the feed cache:
    a feed with new episodes has changed, and its server answers it whole,
    not "not modified". (On loopback, a kept-alive connection whose first
    answer was a short 304 then meets nginx's 40 ms delayed-ACK stalls on
    the episodes that follow, the same stalls that make curl with kept-alive
    connections slower than curl with new ones in row 2.)"""
    cache = os.path.join(os.path.dirname(state_dir), ".cache")

    def fresh():
        reset_directory(spool)
        shutil.rmtree(state_dir, ignore_errors=True)
        shutil.rmtree(cache, ignore_errors=True)
    return fresh


# ---- the rows ---------------------------------------------------------------

class Line:
    """One line of the table: each measured binary's Command against its
    reference Command (the same one for all binaries, except where the
    reference is the binary itself run another way), on one metric."""

    def __init__(self, row, work, storage, programs, reference, reference_label, target,
                 metric="time"):
        self.row = row
        self.work = work
        self.storage = storage
        self.programs = programs  # binary label -> Command
        self.reference = reference  # binary label -> Command
        self.reference_label = reference_label
        self.target = target
        self.metric = metric


# curl running up to 8 transfers at once; with --parallel, -s alone does not
# keep its progress meter off standard error.
CURL_PARALLEL = ["curl", "-q", "-sS", "--fail", "--no-progress-meter", "--parallel",
                 "--parallel-max", "8"]


class Bench:
    def __init__(self, args, sizes, binaries):
        self.args = args
        self.sizes = sizes
        self.binaries = binaries  # [(label, path)]
        self.lines = []
        self.workspace = None
        self.nginx = None
        self.feed_hosts = []
        self.jobs_support = {}
        self.storages = ["tmpfs"] if args.tmpfs_only else ["tmpfs", "disk"]
        self.rng = random.Random(2026)

    def group(self, label, commands, heavy=False, warmup=1):
        """Measures the commands, after `warmup` uncounted rounds; a heavy
        group (runs of seconds or more) has fewer rounds."""
        repeat = self.args.repeat or self.sizes["repeat_heavy" if heavy else "repeat"]
        run_group(label, commands, repeat, warmup, self.measure_helper, self.workspace.fast)

    def base(self, storage):
        return self.workspace.fast if storage == "tmpfs" else self.workspace.disk_root()

    def skiffer(self, label, path, home, argv, env=None, **kwargs):
        return Command(" ".join([label] + argv), [path] + argv, env or environment(home), home,
                       **kwargs)

    def add(self, row, work, storage, programs, reference, reference_label, target,
            metric="time"):
        if isinstance(reference, Command):
            reference = {label: reference for label, _ in self.binaries}
        self.lines.append(Line(row, work, storage, programs, reference, reference_label, target,
                               metric))

    # 1. Catch-up of one long local feed: N + 1 saves of the whole state file.
    def row_catchup(self, storage):
        n = self.sizes["catchup_items"]
        base = os.path.join(self.base(storage), "catchup")
        urls = media_urls("media.harbour-notes.example", "harbour-notes", n)
        feed = os.path.join(base, "feed.xml")
        write(feed, rss_feed("Harbour Notes", "https://harbour-notes.example",
                             [(u, 40000000 + i) for i, u in enumerate(urls)], self.rng))
        url_list = os.path.join(base, "urls.txt")
        write(url_list, "\n".join(urls) + "\n")
        home = skiffer_home(base, "home", [("harbour-notes", feed)])
        state_dir = os.path.join(home, ".skiffer")
        state_file = os.path.join(state_dir, "harbour-notes.xml")

        def fresh_state():
            reset_directory(state_dir)

        def check_state():
            with open(state_file, "rb") as f:
                found = f.read().count(b"<enclosure ")
            if found != n:
                raise BenchError("the catch-up recorded %d enclosures, not %d" % (found, n))

        programs = {label: self.skiffer(label, path, home, ["-c"], setup=fresh_state,
                                        check=check_state)
                    for label, path in self.binaries}
        reference = Command("state_writer", [self.state_writer, state_file, url_list, STAMP],
                            environment(home), home, setup=fresh_state, check=check_state)
        # Seconds a run even in quick mode, minutes at full size: no warm-up.
        self.group("1. catch-up of %s items (%s)" % (f"{n:,}", storage),
                   list(programs.values()) + [reference], heavy=True, warmup=0)
        self.add(1, "catch-up (`-c`), one feed of %s items" % f"{n:,}", storage, programs,
                 reference, "same %s state files, 1 `write`+`fsync`+`rename` each" % f"{n + 1:,}",
                 "≤ 2×")

    # 2. New enclosures from one host: one connection per file against curl.
    def row_enclosures(self, storage):
        n = self.sizes["enclosures"]
        size = self.sizes["enclosure_size"]
        www = os.path.join(self.workspace.fast, "www")
        slug = "harbour-notes"
        paths = ["media/%s/2026/%s-%04d.mp3" % (slug, slug, n - i) for i in range(n)]
        for path in paths:
            target = os.path.join(www, path)
            if not os.path.exists(target):
                write(target, self.rng.randbytes(size))
        feed_path = "feeds/%s-%d.xml" % (slug, n)
        urls = [self.nginx.url(p) for p in paths]
        write(os.path.join(www, feed_path),
              rss_feed("Harbour Notes", "https://harbour-notes.example",
                       [(u, size) for u in urls], self.rng))
        feed_url = self.nginx.url(feed_path)

        base = os.path.join(self.base(storage), "enclosures")
        home = skiffer_home(base, "home", [(slug, feed_url)])
        spool = os.path.join(home, "spool")
        state_dir = os.path.join(home, ".skiffer")

        fresh = fresh_run(spool, state_dir)

        def check_spool():
            sizes = [entry.stat().st_size for entry in os.scandir(spool)
                     if entry.name.endswith(".mp3")]
            if len(sizes) != n or any(s != size for s in sizes):
                raise BenchError("%d of %d enclosures arrived whole in %s"
                                 % (sum(s == size for s in sizes), n, spool))

        programs = {label: self.skiffer(label, path, home, [], setup=fresh, check=check_spool)
                    for label, path in self.binaries}
        curl = ["curl", "-q", "-sS", "--fail", "--output-dir", spool, "--remote-name-all"]
        closing = Command("curl, Connection: close",
                          curl + ["-H", "Connection: close", feed_url] + urls,
                          environment(home), home, setup=fresh, check=check_spool)
        kept = Command("curl, keep-alive", curl + [feed_url] + urls, environment(home), home,
                       setup=fresh, check=check_spool)
        self.group("2. %d new enclosures of %d KiB (%s)" % (n, size // 1024, storage),
                   list(programs.values()) + [closing, kept])
        work = "%d new %d KiB enclosures, one host" % (n, size // 1024)
        self.add(2, work, storage, programs, closing, "one `curl`, new connection per file",
                 "≤ 1.0×")
        self.add(2, work, storage, programs, kept, "one `curl`, kept-alive connections",
                 "≤ 1.3×")

    # 3. Nothing new: many local channels, everything already recorded.
    def row_nothing_new(self, storage):
        channels = self.sizes["channels"]
        items = self.sizes["channel_items"]
        base = os.path.join(self.base(storage), "nothing-new")
        home_channels, files = [], []
        home = os.path.join(base, "home")
        state_dir = os.path.join(home, ".skiffer")
        os.makedirs(state_dir, exist_ok=True)
        for c in range(channels):
            slug = "channel-%03d" % c
            title = "%s %s" % (WORDS[c % len(WORDS)].title(), "Notes %d" % c)
            urls = media_urls("media.%s.example" % slug, slug, items)
            feed = os.path.join(base, "feeds", slug + ".xml")
            write(feed, rss_feed(title, "https://%s.example" % slug,
                                 [(u, 30000000 + i) for i, u in enumerate(urls)], self.rng))
            # Every enclosure recorded, as a catch-up leaves the file.
            state = os.path.join(state_dir, slug + ".xml")
            write(state, '<?xml version="1.0" encoding="UTF-8"?>\n'
                  '<channel version="1.0" rsslastfetched="%s">\n' % STAMP
                  + "".join('  <enclosure url="%s" downloadtime="%s"/>\n' % (u, STAMP)
                            for u in urls) + "</channel>\n")
            home_channels.append((slug, feed))
            files += [feed, state]
        skiffer_home(base, "home", home_channels)
        spool = os.path.join(home, "spool")
        # List mode never downloads: if it lists anything, the program does
        # not read these files as recording everything, and an update would
        # go after hosts that do not exist.
        for label, path in self.binaries:
            listed = subprocess.run([path, "-l", "-v"], env=environment(home), cwd=home,
                                    stdin=subprocess.DEVNULL, capture_output=True, text=True)
            if listed.returncode != 0 or listed.stderr or " * " in listed.stdout:
                raise BenchError("%s does not find every enclosure recorded in the generated "
                                 "state files (list mode, exit status %d):\n%s%s"
                                 % (label, listed.returncode, listed.stdout[:1000],
                                    listed.stderr[:1000]))

        def check_nothing_taken():
            if os.listdir(spool):
                raise BenchError("skiffer downloaded something in the nothing-new row")

        programs = {label: self.skiffer(label, path, home, [], check=check_nothing_taken)
                    for label, path in self.binaries}
        xmllint = Command("xmllint --noout", ["xmllint", "--noout"] + files, environment(home),
                          home)
        self.group("3. nothing new in %d channels of %d items (%s)" % (channels, items, storage),
                   list(programs.values()) + [xmllint])
        self.add(3, "nothing new, %d local channels × %d items" % (channels, items), storage,
                 programs, xmllint, "`xmllint --noout`, same feeds and state files", "≤ 1.3×")

    def recorded_remote_feeds(self, channels, items, state_dir):
        """Feeds of `items` items with show notes, as a host serves them,
        and for each a state file in `state_dir` that records all its
        enclosures. Answers the feeds (path -> body) and the channels'
        identifiers."""
        os.makedirs(state_dir, exist_ok=True)
        notes = vocabulary(self.rng)
        feeds, slugs = {}, []
        for c in range(channels):
            slug = "remote-%03d" % c
            urls = media_urls("media.%s.example" % slug, slug, items)
            feeds["/feeds/%s.xml" % slug] = rss_feed(
                "%s Notes %d" % (WORDS[c % len(WORDS)].title(), c), "https://%s.example" % slug,
                [(u, 30000000 + i) for i, u in enumerate(urls)], self.rng, notes=notes)
            write(os.path.join(state_dir, slug + ".xml"),
                  '<?xml version="1.0" encoding="UTF-8"?>\n'
                  '<channel version="1.0" rsslastfetched="%s">\n' % STAMP
                  + "".join('  <enclosure url="%s" downloadtime="%s"/>\n' % (u, STAMP)
                            for u in urls) + "</channel>\n")
            slugs.append(slug)
        return feeds, slugs

    # 6. Nothing new in many remote feeds behind a slow network: the time and
    # the bytes the server sends, against one curl fetching the same feeds.
    def row_remote_nothing_new(self):
        channels = self.sizes["remote_channels"]
        items = self.sizes["channel_items"]
        delay = self.sizes["remote_delay_ms"]
        base = os.path.join(self.workspace.fast, "remote-nothing-new")
        home = os.path.join(base, "home")
        state_dir = os.path.join(home, ".skiffer")
        feeds, slugs = self.recorded_remote_feeds(channels, items, state_dir)
        host = FeedHost(feeds, addresses=8, delay_ms=delay)
        self.feed_hosts.append(host)
        urls = [host.url("/feeds/%s.xml" % slug) for slug in slugs]
        skiffer_home(base, "home", list(zip(slugs, urls)))
        spool = os.path.join(home, "spool")
        plain = sum(len(b) for b in feeds.values())
        packed = sum(len(host.bodies[p][1]) for p in feeds)

        def check_nothing_taken():
            if os.listdir(spool):
                raise BenchError("skiffer downloaded something in the remote nothing-new row")

        def counted(command):
            command.setup = host.take_sent
            command.count_bytes = host.take_sent
            return command

        programs = {label: counted(self.skiffer(label, path, home, [], check=check_nothing_taken))
                    for label, path in self.binaries}
        curl_argv = ["curl", "-q", "-sS", "--fail", "--compressed"]
        for url in urls:
            curl_argv += ["-o", "/dev/null", url]
        curl = counted(Command("curl --compressed", curl_argv, environment(home), home))
        self.group("6. nothing new in %d remote feeds, %d ms a request (%.0f KB each, %.0f KB "
                   "gzipped)" % (channels, delay, plain / channels / 1000,
                                 packed / channels / 1000),
                   list(programs.values()) + [curl])
        work = "nothing new, %d remote feeds of %.0f KB, %d ms latency" % (
            channels, plain / channels / 1000, delay)
        self.add(6, work, "tmpfs", programs, curl, "one `curl --compressed`, same feeds",
                 "≤ 1.0×")
        self.add(6, work + ", bytes sent", "tmpfs", programs, curl,
                 "one `curl --compressed`, same feeds", "≤ 0.01×", metric="bytes")

    # 4. List mode over one large feed: time and peak memory.
    def row_list(self, storage):
        n = self.sizes["list_items"]
        base = os.path.join(self.base(storage), "list")
        feed = os.path.join(base, "feed.xml")
        urls = media_urls("media.harbour-archive.example", "harbour-archive", n)
        write(feed, rss_feed("Harbour Archive", "https://harbour-archive.example",
                             [(u, 50000000 + i) for i, u in enumerate(urls)], self.rng))
        megabytes = os.path.getsize(feed) / 1e6
        home = skiffer_home(base, "home", [("harbour-archive", feed)])
        programs = {label: self.skiffer(label, path, home, ["-l"]) for label, path in self.binaries}
        xmllint = Command("xmllint --noout", ["xmllint", "--noout", feed], environment(home), home)
        self.group("4. list mode, %s items, %.0f MB (%s)" % (f"{n:,}", megabytes, storage),
                   list(programs.values()) + [xmllint])
        work = "list mode (`-l`), %.0f MB feed of %s items" % (megabytes, f"{n:,}")
        self.add(4, work, storage, programs, xmllint, "`xmllint --noout`", "≤ 1.0×")
        self.add(4, work + ", peak RSS", storage, programs, xmllint, "`xmllint --noout`",
                 "≤ 1.0×", metric="rss")

    # 5. One large enclosure, without and with the progress bar.
    def row_big(self, storage):
        size = self.sizes["big"]
        www = os.path.join(self.workspace.fast, "www")
        name = "media/harbour-notes/specials/harbour-notes-archive-%d.mp3" % (size // MIB)
        target = os.path.join(www, name)
        if not os.path.exists(target):
            os.makedirs(os.path.dirname(target), exist_ok=True)
            block = self.rng.randbytes(MIB)
            with open(target, "wb") as f:
                for _ in range(size // MIB):
                    f.write(block)
        url = self.nginx.url(name)
        base = os.path.join(self.base(storage), "big")
        feed = os.path.join(base, "feed.xml")
        write(feed, rss_feed("Harbour Notes", "https://harbour-notes.example", [(url, size)],
                             self.rng))
        home = skiffer_home(base, "home", [("harbour-notes", feed)])
        spool = os.path.join(home, "spool")
        state_dir = os.path.join(home, ".skiffer")
        downloaded = os.path.join(spool, os.path.basename(name))
        fresh = fresh_run(spool, state_dir)

        def check():
            if not os.path.exists(downloaded) or os.path.getsize(downloaded) != size:
                raise BenchError("the %d MiB enclosure did not arrive whole" % (size // MIB))

        # Standard output is a pseudo-terminal, as for a person watching the
        # bar, and so for the run without -p too: the two differ only in the
        # bar, which COLUMNS makes 74 characters wide.
        plain = {label: self.skiffer(label, path, home, [], setup=fresh, check=check,
                                     terminal=True)
                 for label, path in self.binaries}
        bar = {label: Command("%s -p" % label, [path, "-p"], environment(home, COLUMNS="80"),
                              home, setup=fresh, check=check, terminal=True,
                              shows=b"#" * 74 + b" 100%")
               for label, path in self.binaries}
        curl = Command("curl -s -o", ["curl", "-q", "-sS", "--fail", "-o", downloaded, url],
                       environment(home), home, setup=fresh, check=check)
        # The warm-up round matters here: the first run into a fresh tmpfs
        # takes up to three times as long while the pages are first handed out.
        commands = [c for label, _ in self.binaries for c in (plain[label], bar[label])]
        self.group("5. one %d MiB enclosure (%s)" % (size // MIB, storage), commands + [curl],
                   heavy=size > 256 * MIB)
        work = "one %s enclosure" % ("%d GiB" % (size >> 30) if size >= 1 << 30
                                     else "%d MiB" % (size // MIB))
        self.add(5, work, storage, plain, curl, "`curl -s -o`", "≤ 1.10×")
        self.add(5, work + " with `-p`", storage, bar, curl, "`curl -s -o`", "≤ 1.10×")
        self.add(5, "progress bar: `-p` against without", storage, bar, plain,
                 "same skiffer without `-p`", "≤ 1.02×")

    def has_jobs(self, label):
        """Whether the binary knows -j; one from before it does not."""
        if label not in self.jobs_support:
            path = dict(self.binaries)[label]
            completed = subprocess.run([path, "-j", "2", "--version"], stdin=subprocess.DEVNULL,
                                       capture_output=True)
            self.jobs_support[label] = completed.returncode == 0
            if completed.returncode != 0:
                note("   %s has no -j: its figures with -j are n/a" % label)
        return self.jobs_support[label]

    def with_jobs(self, make):
        """`make(label, path)` for each binary that knows -j, None for the
        others (shown as n/a)."""
        return {label: make(label, path) if self.has_jobs(label) else None
                for label, path in self.binaries}

    # 7. Many channels at once, each line against `curl --parallel` with as
    # many transfers at once: nothing new in many remote feeds, and new
    # episodes from hosts that send each connection 1 MiB a second.
    def row_parallel(self):
        self.row_parallel_nothing_new()
        self.row_parallel_episodes()

    def row_parallel_nothing_new(self):
        channels = self.sizes["parallel_channels"]
        items = self.sizes["channel_items"]
        delay = self.sizes["parallel_delay_ms"]
        base = os.path.join(self.workspace.fast, "parallel-nothing-new")
        home = os.path.join(base, "home")
        feeds, slugs = self.recorded_remote_feeds(channels, items,
                                                  os.path.join(home, ".skiffer"))
        host = FeedHost(feeds, addresses=8, delay_ms=delay)
        self.feed_hosts.append(host)
        urls = [host.url("/feeds/%s.xml" % slug) for slug in slugs]
        skiffer_home(base, "home", list(zip(slugs, urls)), own_spools=True)
        spool = os.path.join(home, "spool")
        plain = sum(len(b) for b in feeds.values())

        def check_nothing_taken():
            if any(os.listdir(os.path.join(spool, slug)) for slug in slugs):
                raise BenchError("skiffer downloaded something in the parallel nothing-new row")

        # The warm-up round fills the feed cache in HOME/.cache, so the
        # counted runs send conditional requests, as every run after a
        # user's first does. curl fetches every feed whole: for a run that
        # does the same, a cache emptied before each run.
        cold_cache = os.path.join(base, "cold-cache")

        def empty_cache():
            shutil.rmtree(cold_cache, ignore_errors=True)

        one = {label: self.skiffer(label, path, home, [], check=check_nothing_taken)
               for label, path in self.binaries}
        many = self.with_jobs(lambda label, path: self.skiffer(
            label, path, home, ["-j", "8"], check=check_nothing_taken))
        cold = self.with_jobs(lambda label, path: Command(
            "%s -j 8, empty cache" % label, [path, "-j", "8"],
            environment(home, XDG_CACHE_HOME=cold_cache), home, setup=empty_cache,
            check=check_nothing_taken))
        curl = Command("curl --parallel", CURL_PARALLEL + ["--compressed"]
                       + [part for url in urls for part in ("-o", "/dev/null", url)],
                       environment(home), home)
        commands = [c for table in (one, many, cold) for c in table.values() if c]
        self.group("7. nothing new in %d remote feeds on 8 addresses, %d ms a request, "
                   "8 at once" % (channels, delay), commands + [curl])
        work = "nothing new, %d remote feeds of %.0f KB on 8 hosts, %d ms latency" % (
            channels, plain / channels / 1000, delay)
        reference = "`curl --compressed --parallel --parallel-max 8`, same feeds"
        self.add(7, work + ", `-j 8`", "tmpfs", many, curl, reference, "≤ 1.5×")
        self.add(7, work + ", `-j 8`, empty feed cache", "tmpfs", cold, curl, reference, "—")
        self.add(7, work + ", one job", "tmpfs", one, curl, reference, "—")
        self.add(7, work + ", `-j 8`, peak RSS", "tmpfs", many, one, "same skiffer, one job",
                 "≤ 3×", metric="rss")

    def row_parallel_episodes(self):
        size = self.sizes["parallel_episode_size"]
        channels, episodes = 8, 2
        base = os.path.join(self.workspace.fast, "parallel-episodes")
        home = os.path.join(base, "home")
        spool = os.path.join(home, "spool")
        state_dir = os.path.join(home, ".skiffer")
        slugs = ["harbour-%d" % c for c in range(channels)]
        bodies, media = {}, {}  # media: channel -> episode paths, newest first
        for slug in slugs:
            media[slug] = ["/media/%s/%s-%02d.mp3" % (slug, slug, e)
                           for e in range(episodes, 0, -1)]
            for path in media[slug]:
                bodies[path] = self.rng.randbytes(size)
        # The feeds name their episodes' URLs, which need the host's ports:
        # the host starts with empty feeds, replaced before any request.
        for slug in slugs:
            bodies["/feeds/%s.xml" % slug] = b""
        host = FeedHost(bodies, addresses=channels, delay_ms=0, rate=MIB)
        self.feed_hosts.append(host)
        feed_urls, downloads = [], []  # downloads: (url, file in the spool)
        for number, slug in enumerate(slugs):
            urls = [host.url(path, on=number) for path in media[slug]]
            downloads += [(u, os.path.join(spool, slug, os.path.basename(p)))
                          for u, p in zip(urls, media[slug])]
            path = "/feeds/%s.xml" % slug
            host.replace(path, rss_feed(slug.title(), "https://%s.example" % slug,
                                        [(u, size) for u in urls], self.rng))
            feed_urls.append(host.url(path, on=number))
        skiffer_home(base, "home", list(zip(slugs, feed_urls)), own_spools=True)

        def fresh():
            for slug in slugs:
                reset_directory(os.path.join(spool, slug))
            shutil.rmtree(state_dir, ignore_errors=True)

        def check():
            whole = sum(os.path.exists(f) and os.path.getsize(f) == size for _, f in downloads)
            if whole != len(downloads):
                raise BenchError("%d of %d episodes arrived whole in %s"
                                 % (whole, len(downloads), spool))

        many = self.with_jobs(lambda label, path: self.skiffer(
            label, path, home, ["-j", "8"], setup=fresh, check=check))
        curl = Command("curl --parallel",
                       CURL_PARALLEL + ["--compressed"]
                       + [part for url in feed_urls for part in ("-o", "/dev/null", url)]
                       + [part for url, target in downloads for part in ("-o", target, url)],
                       environment(home), home, setup=fresh, check=check)
        size_text = "%d MiB" % (size // MIB) if size >= MIB else "%d KiB" % (size // 1024)
        self.group("7. %d new episodes of %s from %d hosts, 1 MiB/s a connection, 8 at once"
                   % (len(downloads), size_text, channels),
                   [c for c in many.values() if c] + [curl])
        self.add(7, "%d channels on 8 hosts, %d new %s episodes each at 1 MiB/s, `-j 8`"
                 % (channels, episodes, size_text), "tmpfs", many, curl,
                 "`curl --parallel --parallel-max 8`, same feeds and files", "≤ 1.25×")

    def compile_helper(self, name):
        """Compiles bench/NAME.c into the work directory; answers the path."""
        binary = os.path.join(self.workspace.fast, name)
        source = os.path.join(ROOT, "bench", name + ".c")
        completed = subprocess.run(["cc", "-O2", "-o", binary, source],
                                   capture_output=True, text=True)
        if completed.returncode != 0:
            raise BenchError("cannot compile %s:\n%s" % (source, completed.stderr))
        return binary

    def run(self):
        sizes = self.sizes
        # Room on the tmpfs for the large enclosure twice (served and
        # downloaded) and everything else.
        self.workspace = Workspace(2 * sizes["big"] + 512 * MIB)
        self.measure_helper = self.compile_helper("measure")
        self.state_writer = self.compile_helper("state_writer")
        rows = self.args.rows
        if 2 in rows or 5 in rows:
            self.nginx = Nginx(os.path.join(self.workspace.fast, "www"),
                               os.path.join(self.workspace.fast, "nginx"))
        # Rows 1 to 3 sync state files; on a disk that costs real time. The
        # catch-up on disk takes seconds even at the quick size, and its
        # runs vary by several times there, so quick mode leaves it out.
        catchup_storages = ["tmpfs"] if self.args.quick else self.storages
        for row, method, storages in ((1, self.row_catchup, catchup_storages),
                                      (2, self.row_enclosures, self.storages),
                                      (3, self.row_nothing_new, self.storages),
                                      (4, self.row_list, ["tmpfs"]),
                                      (5, self.row_big, ["tmpfs"])):
            if row in rows:
                for storage in storages:
                    method(storage)
        if 6 in rows:
            self.row_remote_nothing_new()
        if 7 in rows:
            self.row_parallel()

    def stop(self):
        end_running_child()
        if self.nginx:
            self.nginx.stop()
        for host in self.feed_hosts:
            host.stop()
        if self.workspace:
            self.workspace.remove()


# ---- the table ----------------------------------------------------------------

def table(bench):
    """The Markdown table of medians, padded so that it also reads well in a
    terminal."""
    labels = [label for label, _ in bench.binaries]
    header = ["#", "Work", "On"] + labels + ["Reference", "Ref."]
    header += ["Ratio" if label == "skiffer" else "Ratio %s" % label for label in labels]
    header += ["Target"]
    rows = []
    for line in bench.lines:
        index = {"rss": 1, "bytes": 2}.get(line.metric, 0)
        show = {"rss": fmt_rss, "bytes": fmt_bytes}.get(line.metric, fmt_time)
        # A binary without the option a line measures has no figure there.
        figures = [line.programs[label].median(index) if line.programs[label] else None
                   for label in labels]
        references = [line.reference[label].median(index) for label in labels]
        row = [str(line.row), line.work, line.storage]
        row += [show(f) if f is not None else "n/a" for f in figures]
        row += [line.reference_label, show(references[0])]
        # A ratio far below 1 (bytes) keeps two significant digits.
        row += ["n/a" if f is None else "%.2f×" % (f / r) if f >= r / 100 else "%.4f×" % (f / r)
                for f, r in zip(figures, references)]
        row += [line.target]
        rows.append(row)
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    # Figures are right-aligned: the binaries' columns, the reference's
    # figure, the ratios and the target.
    numeric = set(range(3, 3 + len(labels))) | set(range(4 + len(labels), len(header)))

    def render(cells):
        return "| " + " | ".join(c.rjust(w) if i in numeric else c.ljust(w)
                                 for i, (c, w) in enumerate(zip(cells, widths))) + " |"

    rule = "|" + "|".join("-" * (w + 1) + ":" if i in numeric else "-" * (w + 2)
                          for i, w in enumerate(widths)) + "|"
    return "\n".join([render(header), rule] + [render(r) for r in rows])


def tool_version(argv):
    try:
        completed = subprocess.run(argv, capture_output=True, text=True)
    except OSError:
        return "missing"
    text = (completed.stdout + completed.stderr).strip().splitlines()
    return text[0] if text else "unknown"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def machine_notes(bench, mode, started, seconds, load_before):
    ws = bench.workspace
    notes = [
        "skiffer benchmark, %s mode, %s (%s)" % (mode, started.strftime("%Y-%m-%d %H:%M UTC"),
                                                 "took %.0f s" % seconds),
        "machine: %d cores (%s), %.0f GiB memory, Linux %s" % (
            os.cpu_count(), cpu_model(),
            os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1 << 30),
            os.uname().release),
        "storage: tmpfs = %s%s" % (ws.fast_kind,
                                   "; disk = %s" % ws.disk_kind if ws.disk_kind else ""),
        # Other work on the machine shows in the figures; the load tells.
        "load average (1 min) before and after: %.2f, %.2f" % (load_before, os.getloadavg()[0]),
    ]
    for label, path in bench.binaries:
        notes.append("%s: %s (%s)" % (label, path, tool_version([path, "--version"])))
    notes.append("references: %s; %s; served by %s on 127.0.0.1" % (
        tool_version(["curl", "--version"]).split(" (")[0],
        tool_version(["xmllint", "--version"]).replace("xmllint: using ", ""),
        tool_version(["nginx", "-v"]).replace("nginx version: ", "")))
    counts = sorted({len(command.samples) for line in bench.lines
                     for command in list(line.programs.values()) + list(line.reference.values())
                     if command})
    if counts:
        notes.append("figures: medians of %s runs of each program, the programs taking turns; "
                     "peak RSS is the program's ru_maxrss (GNU time's %%M)"
                     % "–".join(str(c) for c in sorted({counts[0], counts[-1]})))
    return "\n".join("- " + n for n in notes)


# ---- the command line -------------------------------------------------------------

def build_release():
    """Builds the skiffer target of a Release configuration in build-release/
    and answers the binary. Only the program is built: the benchmark does
    not need the tests."""
    build = os.path.join(ROOT, "build-release")
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        note("== configuring a Release build in %s" % build)
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "skiffer", "-j%d" % os.cpu_count()],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build, "skiffer")


def parse_rows(text):
    rows = set()
    for part in text.split(","):
        if not part.strip().isdigit() or not 1 <= int(part) <= 7:
            raise argparse.ArgumentTypeError("rows are numbers from 1 to 7, like 1,3")
        rows.add(int(part))
    return rows


def main():
    parser = argparse.ArgumentParser(
        description="Measure skiffer beside curl and xmllint on the same work.")
    parser.add_argument("--quick", action="store_true",
                        help="reduced sizes: the whole run takes well under a minute")
    parser.add_argument("--skiffer", metavar="PATH",
                        help="binary to measure (default: a Release build in build-release/)")
    parser.add_argument("--compare", metavar="PATH",
                        help="a second skiffer binary (say the one before a change), measured "
                             "in the same run")
    parser.add_argument("--repeat", type=int, metavar="N",
                        help="counted runs of each program per row (default: 5, 3 in quick "
                             "mode and for the largest rows)")
    parser.add_argument("--rows", type=parse_rows, default={1, 2, 3, 4, 5, 6, 7},
                        metavar="LIST",
                        help="only these rows, like 1,3 (1 catch-up, 2 enclosures, 3 nothing "
                             "new, 4 list mode, 5 large enclosure, 6 nothing new in remote "
                             "feeds, 7 many channels at once with -j 8)")
    parser.add_argument("--tmpfs-only", action="store_true",
                        help="skip the on-disk variants of rows 1 to 3 (quick mode runs "
                             "those of rows 2 and 3)")
    args = parser.parse_args()
    if args.repeat is not None and args.repeat < 1:
        parser.error("--repeat needs at least 1")

    mode = "quick" if args.quick else "full"
    for tool in ("curl", "xmllint", "cc"):
        if shutil.which(tool) is None:
            raise BenchError("%s is not installed; run scripts/install-deps.sh" % tool)

    binaries = []
    path = os.path.abspath(args.skiffer) if args.skiffer else build_release()
    binaries.append(("skiffer", path))
    if args.compare:
        binaries.append(("compare", os.path.abspath(args.compare)))
    for label, binary in binaries:
        if not os.access(binary, os.X_OK):
            raise BenchError("%s binary %s is not an executable file" % (label, binary))

    bench = Bench(args, SIZES[mode], binaries)
    started = datetime.datetime.now(datetime.timezone.utc)
    clock = time.monotonic()
    load_before = os.getloadavg()[0]
    try:
        bench.run()
        notes = machine_notes(bench, mode, started, time.monotonic() - clock, load_before)
    finally:
        bench.stop()
    print()
    print(notes)
    print()
    print(table(bench))
    print()
    print("Ratio: skiffer's median over the reference's; lower is better. Targets are for "
          "the full sizes.")


def on_signal(number, _frame):
    # Turned into an exception so that the clean-up in main runs.
    raise KeyboardInterrupt("signal %d" % number)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    try:
        main()
    except BenchError as error:
        note("bench: %s" % error)
        sys.exit(1)
    except subprocess.CalledProcessError as error:
        note("bench: %s failed with exit status %d" % (" ".join(error.cmd), error.returncode))
        sys.exit(1)
    except KeyboardInterrupt:
        note("bench: interrupted; everything it made is removed")
        sys.exit(130)
