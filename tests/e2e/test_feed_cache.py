"""The feed cache end to end: conditional feed requests with the validators
of a cached copy, runs that read that copy after a 304, every way the copy
can be unusable, the waits that servers ask for, and the hosts that ask a
run to stop sending enclosure requests."""

import calendar
import gzip
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from harness import DATA, STAMP, SkifferTestCase, rss

EPISODE = open(os.path.join(DATA, "silence.mp3"), "rb").read()
ETAG = '"v1 \x7e;weak"'
MODIFIED = "Sat, 01 Jan 2000 10:00:00 GMT"
DAY = 24 * 60 * 60


def parse_stamp(text):
    return calendar.timegm(time.strptime(text, "%a, %d-%b-%Y %H:%M:%S GMT"))


class FeedCacheTestCase(SkifferTestCase):
    def setUp(self):
        super().setUp()
        os.makedirs(self.path("spool"))
        self.episodes = [self.publish("e%d.mp3" % n, EPISODE) for n in range(1, 4)]
        self.publish("feed.xml", rss([{"title": "E%d" % n, "url": url}
                                      for n, url in enumerate(self.episodes, 1)]))

    def publish(self, name, content):
        self.write("www/" + name, content, mode="wb" if isinstance(content, bytes) else "w")
        return self.server.url(name)

    def configure(self, feed_path, identifier="pod"):
        self.write_config("[%s]\nurl=%s\nspool=spool\n" % (identifier, self.server.url(feed_path)))

    def entry_path(self, identifier="pod"):
        return self.path(".cache", "skiffer", identifier + ".feed")

    def entry(self):
        with open(self.entry_path(), "rb") as f:
            return f.read()

    def feed_requests(self, path="/feed.xml"):
        return [r["headers"] for r in self.server.requests if r["path"] == path]

    def record_all(self):
        self.write(".skiffer/pod.xml", '<channel>%s</channel>' % "".join(
            '<enclosure url="%s" downloadtime="then"/>' % url for url in self.episodes))

    def state(self, identifier="pod"):
        return re.sub(STAMP, "STAMP", self.read(".skiffer/%s.xml" % identifier))


class ConditionalRequestTests(FeedCacheTestCase):
    def test_a_run_after_304_is_the_run_after_200(self):
        # The same channel, the same state and spool before each run: one run
        # gets the feed whole, the other a 304 for the cached copy.
        self.configure("feed.xml")
        self.server.script("/feed.xml", 200, {"ETag": ETAG, "Last-Modified": MODIFIED})
        self.assertRun(self.run_skiffer("-c"), stdout="Catching up with channel pod...\n")
        entry = self.entry()
        self.assertTrue(entry.startswith(
            b"skiffer feed cache 1\nurl %s\netag %s\nlast-modified %s\nstored "
            % (self.server.url("feed.xml").encode(), ETAG.encode(), MODIFIED.encode())))
        # A deleted state line has its episode downloaded again.
        self.write(".skiffer/pod.xml", '<channel><enclosure url="%s" downloadtime="then"/>'
                                       '</channel>' % self.episodes[1])
        shutil.copytree(self.path(".skiffer"), self.path("before"))

        runs = {}
        for status in (200, 304):
            shutil.rmtree(self.path(".skiffer"))
            shutil.copytree(self.path("before"), self.path(".skiffer"))
            shutil.rmtree(self.path("spool"))
            os.makedirs(self.path("spool"))
            self.server.script("/feed.xml", status, {"ETag": ETAG, "Last-Modified": MODIFIED})
            result = self.run_skiffer("-v")
            runs[status] = (result.status, result.stdout, result.stderr, self.state(),
                            sorted(os.listdir(self.path("spool"))))
            headers = self.feed_requests()[-1]
            self.assertEqual((headers.get("If-None-Match"), headers.get("If-Modified-Since")),
                             (ETAG, MODIFIED))
        self.assertEqual(runs[304], runs[200])
        self.assertEqual(runs[304][4], ["e1.mp3", "e3.mp3"])
        self.assertIn(" * spool/e3.mp3 (unknown size)\n", runs[304][1])

    def test_what_a_304_answer_changes_in_the_entry(self):
        self.configure("feed.xml")
        self.record_all()
        self.server.script("/feed.xml", 200, {"ETag": ETAG})
        self.assertRun(self.run_skiffer("-q"))
        cases = [
            # (answer headers, validators sent by the next run)
            ({}, (ETAG, None)),
            ({"ETag": '"v2"'}, ('"v2"', None)),
            ({"Last-Modified": MODIFIED}, ('"v2"', MODIFIED)),
            ({"ETag": ""}, ('"v2"', MODIFIED)),
        ]
        for answer, sent in cases:
            with self.subTest(answer=answer):
                self.server.script("/feed.xml", 304, answer)
                self.assertRun(self.run_skiffer("-q"))
                self.assertRun(self.run_skiffer("-q"))
                headers = self.feed_requests()[-1]
                self.assertEqual((headers.get("If-None-Match"),
                                  headers.get("If-Modified-Since")), sent)

    def test_a_304_to_an_unconditional_request_is_a_failed_feed(self):
        self.configure("feed.xml")
        self.server.script("/feed.xml", 304, {"ETag": ETAG})
        self.assertRun(self.run_skiffer(), stdout="Updating channel pod...\n",
                       stderr="Error retrieving %s: The requested URL returned error: 304\n"
                              % self.server.url("feed.xml"))
        self.assertFalse(os.path.exists(self.path(".skiffer/pod.xml")))
        self.assertFalse(os.path.exists(self.entry_path()))

    def test_an_answer_without_validators_leaves_no_copy(self):
        self.configure("feed.xml")
        self.record_all()
        self.server.script("/feed.xml", 200, {"ETag": ETAG})
        self.assertRun(self.run_skiffer("-q"))
        self.assertTrue(os.path.exists(self.entry_path()))
        self.server.script("/feed.xml", 200, {"ETag": ""})
        self.assertRun(self.run_skiffer("-q"))
        self.assertFalse(os.path.exists(self.entry_path()))

    def test_list_mode_uses_the_copy_and_writes_nothing(self):
        self.configure("etag/feed.xml")
        self.assertRun(self.run_skiffer("-l"), stdout="Listing channel pod...\n")
        self.assertFalse(os.path.exists(self.path(".cache")))
        self.assertRun(self.run_skiffer("-c", "-q"))
        entry = self.entry()
        listed = "Listing channel pod...\n" + "".join(" * %s (unknown size)\n" % url
                                                      for url in self.episodes)
        os.remove(self.path(".skiffer/pod.xml"))
        self.assertRun(self.run_skiffer("-l", "-v"), stdout=listed)
        self.assertIn("If-None-Match", self.feed_requests("/etag/feed.xml")[-1])
        self.assertEqual(self.entry(), entry)

    def test_catchup_and_update_against_nginx(self):
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        if not os.path.exists(nginx):
            self.skipTest("nginx is not installed")
        log = self.path("nginx", "access.log")
        port = start_nginx(self, nginx, self.path("www"), self.path("nginx"), log)
        self.write_config("[pod]\nurl=http://127.0.0.1:%d/feed.xml\nspool=spool\n" % port)
        self.assertRun(self.run_skiffer("-c", "-q"))
        os.remove(self.path(".skiffer/pod.xml"))
        self.assertRun(self.run_skiffer("-c", "-v"), stdout="Catching up with channel pod...\n"
                       + "".join(" * %s (unknown size)\n" % url for url in self.episodes))
        self.assertEqual(len(re.findall(r"^<channel version=.*\n|<enclosure ", self.state(),
                                        re.M)), 4)
        # nginx answers the second request from the validators sent back.
        with open(log) as f:
            self.assertEqual([line.split()[:2] for line in f],
                             [["/feed.xml", "200"], ["/feed.xml", "304"]])


def start_nginx(test, nginx, root, directory, access_log):
    """An nginx serving `root` on a free loopback port for the rest of the
    test, logging each request's path and status; answers the port."""
    os.makedirs(directory, exist_ok=True)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    config = os.path.join(directory, "nginx.conf")
    with open(config, "w") as f:
        # As root, the worker must stay root to read the test's private HOME.
        f.write("daemon off;\nuser root;\nworker_processes 1;\npid %s/nginx.pid;\n"
                "error_log %s/error.log warn;\nevents { worker_connections 64; }\n"
                "http {\n  log_format short '$uri $status';\n  access_log %s short;\n"
                "  client_body_temp_path %s/body;\n  proxy_temp_path %s/proxy;\n"
                "  fastcgi_temp_path %s/fastcgi;\n  uwsgi_temp_path %s/uwsgi;\n"
                "  scgi_temp_path %s/scgi;\n"
                "  server { listen 127.0.0.1:%d; root %s; }\n}\n"
                % ((directory,) * 2 + (access_log,) + (directory,) * 5 + (port, root)))
    process = subprocess.Popen([nginx, "-p", directory, "-c", config, "-e",
                                os.path.join(directory, "error.log")],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)

    def stop():
        process.send_signal(signal.SIGTERM)
        process.wait(10)
    test.addCleanup(stop)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if process.poll() is not None:
            test.skipTest("nginx did not start")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return port
        except OSError:
            time.sleep(0.02)
    test.skipTest("nginx did not start in time")


class UnusableCopyTests(FeedCacheTestCase):
    def test_an_unusable_copy_costs_one_whole_download_and_nothing_else(self):
        feed = self.server.url("etag/feed.xml")

        def corrupt(entry):
            return entry[:-12] + bytes(b ^ 0xff for b in entry[-12:-8]) + entry[-8:]

        def with_stored(seconds_ago):
            def edit(entry):
                return re.sub(rb"\nstored \d+\n", b"\nstored %d\n" % (time.time() - seconds_ago),
                              entry)
            return edit

        def body_of(text):
            def edit(entry):
                packed = gzip.compress(text)
                head = re.sub(rb"\nbody \d+\n", b"\nbody %d\n" % len(packed),
                              entry[:entry.index(b"\n\n") + 2])
                return head + packed
            return edit

        cases = [
            # (what is done to the entry, whether the first request carries
            # validators, how many requests the run makes)
            ("intact", lambda e: e, True, 1),
            ("missing", None, False, 1),
            ("truncated", lambda e: e[:-5], False, 1),
            ("longer", lambda e: e + b"x", False, 1),
            ("corrupt body", corrupt, True, 2),
            ("body not a feed", body_of(b"<html>"), True, 2),
            ("body not gzip", lambda e: e.replace(b"\n\n\x1f\x8b", b"\n\nxx"), True, 2),
            ("another program's file", lambda e: b"GIF89a" + e, False, 1),
            ("no line for the body", lambda e: re.sub(rb"\nbody \d+\n", b"\n", e), False, 1),
            ("unknown line", lambda e: e.replace(b"\nstored", b"\nfresh 1\nstored"), False, 1),
            ("a sign in a number", lambda e: e.replace(b"\nstored ", b"\nstored +"), False, 1),
            ("another channel's copy", lambda e: e.replace(feed.encode(), b"http://x/f"),
             False, 1),
            ("stored a day ago", with_stored(DAY + 5), False, 1),
            ("stored an hour ago", with_stored(3600), True, 1),
            ("stored in the future", with_stored(-3600), False, 1),
            ("a directory", "directory", False, 1),
        ]
        self.configure("etag/feed.xml")
        self.assertRun(self.run_skiffer("-c", "-q"))
        good = self.entry()
        expected = "Catching up with channel pod...\n" + "".join(
            " * %s (unknown size)\n" % url for url in self.episodes)
        for name, edit, conditional, requests in cases:
            with self.subTest(name):
                os.remove(self.path(".skiffer/pod.xml"))
                if edit == "directory":
                    os.remove(self.entry_path())
                    os.makedirs(self.entry_path())
                elif edit is None:
                    os.remove(self.entry_path())
                else:
                    with open(self.entry_path(), "wb") as f:
                        f.write(edit(good))
                before = len(self.feed_requests("/etag/feed.xml"))
                self.assertRun(self.run_skiffer("-c", "-v"), stdout=expected)
                sent = self.feed_requests("/etag/feed.xml")[before:]
                self.assertEqual(["If-None-Match" in headers for headers in sent],
                                 [conditional] + [False] * (requests - 1))
                if edit == "directory":
                    os.rmdir(self.entry_path())
                    self.assertRun(self.run_skiffer("-c", "-q"))
                # Whatever was there, the run left a good copy behind.
                before = len(self.feed_requests("/etag/feed.xml"))
                self.assertRun(self.run_skiffer("-c", "-q"))
                self.assertIn("If-None-Match", self.feed_requests("/etag/feed.xml")[-1])
                good = self.entry()

    def test_a_changed_url_fetches_whole(self):
        self.configure("etag/feed.xml")
        self.assertRun(self.run_skiffer("-c", "-q"))
        self.write_config("[pod]\nurl=%s?moved\nspool=spool\n"
                          % self.server.url("etag/feed.xml"))
        self.assertRun(self.run_skiffer("-c", "-q"))
        self.assertNotIn("If-None-Match", self.feed_requests("/etag/feed.xml?moved")[-1])
        self.assertIn(b"\nurl %s?moved\n" % self.server.url("etag/feed.xml").encode(),
                      self.entry())

    def test_cache_directory_from_the_environment(self):
        self.configure("etag/feed.xml")
        for value, directory in (("/", None), ("relative", ".cache"), (None, ".cache")):
            with self.subTest(value=value):
                cache = tempfile.mkdtemp(dir=self.home)
                env = {"XDG_CACHE_HOME": cache if value == "/" else value}
                self.assertRun(self.run_skiffer("-c", "-q", env=env))
                where = os.path.join(self.home, directory) if directory else cache
                self.assertTrue(os.path.isfile(os.path.join(where, "skiffer", "pod.feed")))
                shutil.rmtree(os.path.join(where, "skiffer"))


class RetryAfterTests(FeedCacheTestCase):
    def skipped(self, until):
        return ("Channel pod: the server asked not to be polled before %s, skipped.\n"
                % time.strftime("%a, %d-%b-%Y %H:%M:%S GMT", time.gmtime(until)))

    def test_a_feed_waits_as_long_as_its_server_asked(self):
        feed = self.server.url("feed.xml")
        soon = int(time.time()) + 3600
        cases = [
            # (status, Retry-After, seconds it waits at the least and at the
            # most, None for not at all)
            (503, "120", (120, 125)),
            (429, time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(soon)), "exact"),
            (503, "Sat, 01 Jan 2000 10:00:00 GMT", None),
            (503, "0", None),
            (429, "999999999999", (DAY, DAY + 5)),
            (503, "soon", None),
            (500, "120", None),
            (503, None, None),
        ]
        self.configure("feed.xml")
        self.record_all()
        for status, retry_after, wait in cases:
            with self.subTest(status=status, retry_after=retry_after):
                if os.path.exists(self.entry_path()):
                    os.remove(self.entry_path())
                self.server.script("/feed.xml", status,
                                   {"Retry-After": retry_after} if retry_after else {})
                started = int(time.time())
                result = self.run_skiffer("-q")
                self.assertEqual(result.stderr, "Error retrieving %s: The requested URL "
                                 "returned error: %d\n" % (feed, status))
                self.server.script("/feed.xml", None)
                requests = len(self.feed_requests())
                result = self.run_skiffer()
                if wait is None:
                    self.assertRun(result, stdout="Updating channel pod...\n")
                    self.assertEqual(len(self.feed_requests()), requests + 1)
                    continue
                self.assertEqual((result.status, result.stdout), (0, ""))
                until = parse_stamp(re.match("Channel pod: the server asked not to be polled "
                                             "before (.*), skipped.\n$", result.stderr)[1])
                if wait == "exact":
                    self.assertEqual(until, soon)
                else:
                    self.assertLessEqual(started + wait[0], until)
                    self.assertLessEqual(until, started + wait[1])
                # List mode skips it too; nothing asks the server meanwhile.
                self.assertRun(self.run_skiffer("-l"), stderr=self.skipped(until))
                self.assertEqual(len(self.feed_requests()), requests)

    def test_a_wait_keeps_the_copy_and_ends_with_another_url(self):
        self.configure("feed.xml")
        self.record_all()
        self.server.script("/feed.xml", 200, {"ETag": ETAG})
        self.assertRun(self.run_skiffer("-q"))
        self.server.script("/feed.xml", 503, {"Retry-After": "600"})
        self.run_skiffer("-q")
        # Only an update or catch-up writes the wait down.
        self.server.script("/feed.xml?2", 503, {"Retry-After": "600"})
        self.write_config("[pod]\nurl=%s?2\nspool=spool\n" % self.server.url("feed.xml"))
        self.run_skiffer("-l")
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % self.server.url("feed.xml"))
        self.assertIn("skipped", self.run_skiffer("-q").stderr)
        # The location the wait was asked for is no longer the channel's.
        self.write_config("[pod]\nurl=%s?2\nspool=spool\n" % self.server.url("feed.xml"))
        self.server.script("/feed.xml?2", 200, {})
        self.assertRun(self.run_skiffer("-q"))
        # The new location's answer has no validators: the copy of the old
        # one, and the wait asked there, are gone.
        self.assertFalse(os.path.exists(self.entry_path()))

    def test_a_wait_that_ended_lets_the_copy_answer_again(self):
        self.configure("feed.xml")
        self.record_all()
        self.server.script("/feed.xml", 200, {"ETag": ETAG})
        self.assertRun(self.run_skiffer("-q"))
        self.server.script("/feed.xml", 503, {"Retry-After": "1"})
        self.run_skiffer("-q")
        self.assertIn(b"\nnot-before ", self.entry())
        time.sleep(1.1)
        self.server.script("/feed.xml", 304, {})
        self.assertRun(self.run_skiffer("-q"))
        self.assertEqual(self.feed_requests()[-1].get("If-None-Match"), ETAG)
        self.assertNotIn(b"\nnot-before ", self.entry())


class PausedHostTests(FeedCacheTestCase):
    def test_a_host_that_asks_to_stop_is_left_alone_for_the_rest_of_the_run(self):
        # Three names of one server: "localhost" in two spellings, which name
        # one host, and 127.0.0.1, another one.
        def on(host, name):
            return self.server.url(name).replace("127.0.0.1", host)
        refused = on("LocalHost", "status/429")
        passed_over = [on("localhost", "e1.mp3"), on("LOCALHOST", "e2.mp3"),
                       on("localhost", "e3.mp3")]
        taken = [self.publish("f%d.mp3" % n, EPISODE) for n in (1, 2)]
        self.publish("one.xml", rss([{"url": u} for u in
                                     (refused, passed_over[0], taken[0], passed_over[1])]))
        self.publish("two.xml", rss([{"url": passed_over[2]}, {"url": taken[1]}]))
        self.write_config("[one]\nurl=%s\nspool=spool\n[two]\nurl=%s\nspool=spool2\n"
                          % (self.server.url("one.xml"), self.server.url("two.xml")))
        os.makedirs(self.path("spool2"))
        self.assertRun(self.run_skiffer("-q"), stderr=(
            "Error retrieving %s: The requested URL returned error: 429\n" % refused +
            "".join("Error downloading enclosure from %s.\n" % url
                    for url in [refused] + passed_over)))
        self.assertEqual(os.listdir(self.path("spool")), ["f1.mp3"])
        self.assertEqual(os.listdir(self.path("spool2")), ["f2.mp3"])
        self.assertEqual([r["path"] for r in self.server.requests
                          if r["path"].endswith(".mp3") or "status" in r["path"]],
                         ["/status/429", "/f1.mp3", "/f2.mp3"])
        # The next run asks the host again.
        self.server.script("/status/429", 200, {})
        self.publish("status/429", EPISODE)
        self.assertRun(self.run_skiffer("-q"))
        self.assertEqual(sorted(os.listdir(self.path("spool"))),
                         ["429", "e1.mp3", "e2.mp3", "f1.mp3"])
        self.assertEqual(sorted(os.listdir(self.path("spool2"))), ["e3.mp3", "f2.mp3"])


class FeedLocationTests(FeedCacheTestCase):
    def test_schemes_in_any_case_are_remote(self):
        for scheme in ("HTTP", "Http", "hTTp"):
            with self.subTest(scheme=scheme):
                self.write_config("[pod]\nurl=%s\nspool=spool\n"
                                  % self.server.url("feed.xml").replace("http", scheme, 1))
                before = len(self.feed_requests())
                self.assertRun(self.run_skiffer("-l"), stdout="Listing channel pod...\n")
                self.assertEqual(len(self.feed_requests()), before + 1)

    def test_a_local_location_never_reaches_the_network(self):
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen()
            listener.setblocking(False)
            location = "ftp://127.0.0.1:%d/feed.xml" % listener.getsockname()[1]
            self.write_config("[pod]\nurl=%s\nspool=spool\n" % location)
            # libxml2 hands this message to its message function without
            # the line end that its own would add.
            self.assertRun(self.run_skiffer("-l"), stdout="Listing channel pod...\n", stderr=(
                "Attempt to load network entity %sError parsing RSS file %s.\n"
                % (location, location)))
            with self.assertRaises(BlockingIOError):
                listener.accept()


if __name__ == "__main__":
    unittest.main()
