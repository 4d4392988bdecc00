"""Unattended runs end to end: servers that hang, drip, loop or flood,
overlapping runs, kills and power cuts, closed or broken outputs, control
characters in feeds and a home directory that is not there."""

import os
import re
import socket
import subprocess
import unittest

from harness import BINARY, SkifferTestCase
from test_update import EPISODE, UpdateTestCase

# Short limits for the tests only: connect within 1 s, fail a transfer that
# averages under 10 bytes a second over 2 s, refuse a feed over 1 MiB.
SHORT_LIMITS = {"SKIFFER_TEST_LIMITS": "1:2:1048576"}
TOO_SLOW = "Operation too slow. Less than 10 bytes/sec transferred the last 2 seconds"
TOO_MANY_REDIRECTS = "Maximum (20) redirects followed"


class HostileServerTests(UpdateTestCase):
    def retrieval_failure(self, url, reason):
        return ("Error retrieving %s: %s\nError downloading enclosure from %s.\n"
                % (url, reason, url))

    def test_stalled_dripping_and_redirecting_servers_fail_the_enclosure(self):
        self.publish("e.mp3")
        # (server path, reason, whether a partial file stays for -r)
        cases = [
            ("stall/before/e.mp3", TOO_SLOW, False),
            ("stall/after/e.mp3", TOO_SLOW, False),
            ("drip/300/e.mp3", TOO_SLOW, True),
            ("loop", TOO_MANY_REDIRECTS, False),
            ("chain/21/e.mp3", TOO_MANY_REDIRECTS, False),
        ]
        for path, reason, partial in cases:
            with self.subTest(path=path):
                url = self.server.url(path)
                self.write_config("[pod]\nurl=%s\nspool=spool\nplaylist=list.m3u\n"
                                  % self.publish_feed([{"url": url}]))
                self.assertRun(self.run_skiffer("-q", env=SHORT_LIMITS),
                               stderr=self.retrieval_failure(url, reason))
                name = os.path.basename(path)
                if partial:
                    content = self.read("spool/" + name, "rb")
                    self.assertTrue(0 < len(content) < len(EPISODE), len(content))
                    self.assertTrue(EPISODE.startswith(content))
                    os.unlink(self.path("spool", name))
                self.assertEqual(os.listdir(self.path("spool")), [])
                self.assertFalse(os.path.exists(self.path("list.m3u")))
                self.assertState("pod", [])
        # One request and twenty redirects followed, no more.
        self.assertEqual(len(self.requested("/loop")), 21)
        self.assertEqual(len(self.requested("/chain/")), 21)

    def test_twenty_redirects_are_followed(self):
        self.publish("e.mp3")
        url = self.server.url("chain/20/e.mp3")
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % self.publish_feed([{"url": url}]))
        self.assertRun(self.run_skiffer("-q", env=SHORT_LIMITS))
        self.assertEqual(self.read("spool/e.mp3", "rb"), EPISODE)
        self.assertState("pod", [url])

    def test_connection_that_cannot_be_made_times_out(self):
        # A listening socket whose queue is full drops every further SYN, so
        # a connection attempt waits without an answer.
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        port = listener.getsockname()[1]
        for _ in range(3):
            filler = socket.socket()
            self.addCleanup(filler.close)
            filler.setblocking(False)
            filler.connect_ex(("127.0.0.1", port))
        url = "http://127.0.0.1:%d/e.mp3" % port
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % self.publish_feed([{"url": url}]))
        result = self.run_skiffer("-q", env=SHORT_LIMITS)
        self.assertRegex(result.stderr, "^Error retrieving %s: .* after 1\\d\\d\\d ms: Timeout "
                         "was reached\nError downloading enclosure from %s.\n$"
                         % (re.escape(url), re.escape(url)))
        self.assertEqual(result.status, 0)
        self.assertState("pod", [])

    def test_endless_or_exploding_feed_is_refused_and_its_file_removed(self):
        os.makedirs(self.path("tmp"))
        for path in ("endless", "bomb/64"):
            with self.subTest(path=path):
                url = self.server.url(path)
                self.write_config("[pod]\nurl=%s\nspool=spool\n" % url)
                self.assertRun(self.run_skiffer("-q", env={**SHORT_LIMITS,
                                                           "TMPDIR": self.path("tmp")}),
                               stderr="Error retrieving %s: The feed exceeds the limit of "
                                      "1048576 bytes.\n" % url)
                self.assertEqual(os.listdir(self.path("tmp")), [])
                self.assertFalse(os.path.exists(self.path(".skiffer/pod.xml")))


class BrokenOutputTests(UpdateTestCase):
    def test_closed_standard_streams_never_reach_a_file(self):
        good = [self.publish("e%d.mp3" % n) for n in range(3)]
        self.publish("e.mp3")
        dropped = self.server.url("drop/3000/e.mp3")
        # (closed descriptors, options, enclosures, the spool's content after);
        # what the closed descriptors would have shown is lost, nothing else.
        cases = [
            ((1,), ["-v", "-p"], good, {"e%d.mp3" % n: EPISODE for n in range(3)}),
            ((2,), ["-q"], [dropped], {"e.mp3": EPISODE[:3000]}),
            ((0, 1, 2), ["-v", "-p"], [dropped], {"e.mp3": EPISODE[:3000]}),
        ]
        for closed, options, urls, files in cases:
            with self.subTest(closed=closed):
                for name in os.listdir(self.path("spool")):
                    os.unlink(self.path("spool", name))
                if os.path.exists(self.path(".skiffer/pod.xml")):
                    os.unlink(self.path(".skiffer/pod.xml"))
                self.write_config("[pod]\nurl=%s\nspool=spool\n" % self.publish_feed(
                    [{"url": u} for u in urls]))
                self.assertRun(self.run_skiffer(*options, closed=closed))
                self.assertEqual({n: self.read("spool/" + n, "rb")
                                  for n in os.listdir(self.path("spool"))}, files)
                self.assertState("pod", urls if urls == good else [])

    def test_reader_that_goes_away_does_not_end_the_run(self):
        # Each episode takes a while, so the reader is gone long before the
        # last one, and the bar keeps writing to the broken pipe.
        urls = [self.server.url("delay/300/e%d.mp3" % n) for n in range(4)]
        for n in range(4):
            self.publish("e%d.mp3" % n)
        self.write_config("[pod]\nurl=%s\nspool=spool\nplaylist=list.m3u\n"
                          % self.publish_feed([{"url": u} for u in urls]))
        process = subprocess.Popen([BINARY, "-v", "-p"], env=self.environment(), cwd=self.home,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.assertEqual(process.stdout.read(10), b"Updating c")
        process.stdout.close()
        stderr = process.stderr.read()
        self.assertEqual((process.wait(timeout=60), stderr), (0, b""))
        self.assertEqual({n: self.read("spool/" + n, "rb") for n in os.listdir(self.path("spool"))},
                         {"e%d.mp3" % n: EPISODE for n in range(4)})
        self.assertEqual(self.read("list.m3u"), "".join("spool/e%d.mp3\n" % n for n in range(4)))
        self.assertState("pod", urls)


class HomeTests(SkifferTestCase):
    def test_home_unset_empty_or_relative_is_an_error(self):
        os.makedirs(self.path("work"))
        self.write("work/.skifferrc", "[*]\n")
        for home in (None, "", "work", "."):
            with self.subTest(home=home):
                self.assertRun(self.run_skiffer(env={"HOME": home}, cwd=self.path("work")),
                               status=1, stderr="Cannot determine the home directory.\n")
                self.assertEqual(os.listdir(self.path("work")), [".skifferrc"])
        # Options that stop before the channels do not need a home.
        self.assertEqual(self.run_skiffer("-V", env={"HOME": None}).status, 0)


if __name__ == "__main__":
    unittest.main()
