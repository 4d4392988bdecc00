"""Several channels at once (-j): each stream holds the bytes of a run of one
job, the files end the same, no host sees more than two connections at once,
and channels that share a spool directory never share a file."""

import fcntl
import os
import re
import shutil
import unittest

import server
from harness import DATA, STAMP, SkifferTestCase, rss

EPISODE = open(os.path.join(DATA, "silence.mp3"), "rb").read()
HOSTS = ["127.0.0.%d" % n for n in range(2, 6)]


class JobsTestCase(SkifferTestCase):
    def setUp(self):
        super().setUp()
        self.servers = {}
        for host in HOSTS:
            os.makedirs(self.path("www", host))
            started = server.start(self.path("www", host), host=host)
            self.addCleanup(started.server_close)
            self.addCleanup(started.shutdown)
            self.servers[host] = started

    def publish(self, host, name, content=EPISODE):
        self.write("www/%s/%s" % (host, name), content,
                   mode="wb" if isinstance(content, bytes) else "w")
        return self.servers[host].url(name)

    def publish_feed(self, host, name, episodes):
        """A feed on `host` whose items are the episodes `episodes` there
        (paths, published as files unless they start with "status/")."""
        items = []
        for episode in episodes:
            url = (self.servers[host].url(episode) if episode.startswith("status/")
                   else self.publish(host, episode))
            items.append({"title": episode, "url": url})
        return self.publish(host, name, rss(items, title=name))

    def snapshot(self, result):
        """The run's streams and status, and every file it left in HOME but
        the served ones, state files with their time stamps taken out."""
        files = {}
        for directory, _, names in os.walk(self.home):
            relative = os.path.relpath(directory, self.home)
            if relative == "www" or relative.startswith("www" + os.sep):
                continue
            for name in names:
                path = os.path.join(directory, name)
                with open(path, "rb") as f:
                    content = f.read()
                if name.endswith(".xml") and relative == ".skiffer":
                    content = re.sub(STAMP.encode(), b"STAMP", content)
                files[os.path.join(relative, name)] = content
        return result.status, result.stdout, result.stderr, files

    def clear(self):
        """Takes away everything a run made, keeping the served files."""
        for name in os.listdir(self.home):
            if name not in ("www", ".skifferrc"):
                path = self.path(name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)


class JobsTests(JobsTestCase):
    def configure_channels(self):
        a, b, c, d = HOSTS
        lines = []

        def channel(name, url, spool=None, extra=""):
            lines.append("[%s]\nurl=%s\nspool=%s\n%s" % (
                name, url, self.path(spool or "spool-" + name), extra))

        # a1 and a3 share a playlist, and so run one after the other.
        for n in range(1, 4):
            channel("a%d" % n, self.publish_feed(a, "a%d.xml" % n,
                                                 ["a%d/one.mp3" % n, "a%d/two.mp3" % n]),
                    extra="" if n == 2 else "playlist=%s\n" % self.path("a.m3u"))
        channel("b1", self.servers[b].url("status/404"))
        channel("b2", self.publish_feed(b, "b2.xml", ["b2/one.mp3", "status/410", "b2/two.mp3"]),
                extra="playlist=%s\n" % self.path("b.m3u"))
        channel("c1", self.write("local.xml", rss([{"url": self.publish(c, "c1/one.mp3")}])))
        channel("locked", self.publish_feed(d, "locked.xml", ["locked/one.mp3"]))
        lines.append("[nourl]\nspool=%s\n" % self.path("spool-nourl"))
        # Two channels, one spool directory, one file name for two episodes.
        channel("d1", self.publish_feed(d, "d1.xml", ["d1/same.mp3"]), spool="shared")
        channel("d2", self.publish_feed(d, "d2.xml", ["d2/same.mp3"]), spool="shared")
        self.publish(d, "d2/same.mp3", b"the other episode")
        self.write_config("".join(lines))

    def prepare_run(self):
        """The directories a run needs, and another process's lock on the
        channel "locked"."""
        self.clear()
        for name in ("a1", "a2", "a3", "b1", "b2", "c1", "locked", "nourl"):
            os.makedirs(self.path("spool-" + name))
        os.makedirs(self.path("shared"))
        os.makedirs(self.path(".skiffer"))
        lock = open(self.path(".skiffer", "locked.lock"), "w")
        fcntl.flock(lock, fcntl.LOCK_EX)
        return lock

    def test_each_stream_and_every_file_as_with_one_job(self):
        self.configure_channels()
        cases = [
            ("update", []),
            ("verbose", ["-v"]),
            ("quiet", ["-q"]),
            ("first only", ["-v", "-1"]),
            ("catch-up", ["-c", "-v"]),
            ("list", ["-l", "-v"]),
            ("named, one twice, one unknown", ["-v", "a1", "nope", "b2", "a1", "d2", "d1"]),
        ]
        for name, arguments in cases:
            with self.subTest(name):
                with self.prepare_run():
                    one_job = self.snapshot(self.run_skiffer(*arguments))
                with self.prepare_run():
                    eight_jobs = self.snapshot(self.run_skiffer("-j", "8", *arguments))
                self.assertEqual(eight_jobs, one_job)
                # The runs did what they were meant to: something to compare.
                if name == "verbose":
                    self.assertIn("Updating channel a3...\n", one_job[1])
                    self.assertIn("Channel locked is locked by another process, skipped.\n",
                                  one_job[2])
                    self.assertEqual(one_job[3]["shared/same.mp3"], EPISODE)
                    self.assertIn("Enclosure file %s already exists.\n"
                                  % self.path("shared", "same.mp3"), one_job[2])

    def test_no_host_sees_more_than_two_connections(self):
        lines = []
        for host, count in ((HOSTS[0], 12), (HOSTS[1], 6)):
            for n in range(count):
                name = "%s-%d" % (host, n)
                os.makedirs(self.path("spool", name))
                episodes = ["delay/100/%s/%d.mp3" % (name, i) for i in range(2)]
                for i in range(2):
                    self.publish(host, "%s/%d.mp3" % (name, i))
                items = [{"url": self.servers[host].url(e)} for e in episodes]
                self.publish(host, "%s.xml" % name, rss(items))
                lines.append("[%s]\nurl=%s\nspool=%s\n" % (
                    name, self.servers[host].url("delay/100/%s.xml" % name),
                    self.path("spool", name)))
        self.write_config("".join(lines))
        self.assertRun(self.run_skiffer("-q", "-j", "8"))
        self.assertEqual(sum(len(os.listdir(self.path("spool", n)))
                             for n in os.listdir(self.path("spool"))), 36)
        for host in HOSTS[:2]:
            # Two at once: as many as allowed, and no more.
            self.assertEqual(self.servers[host].most_connections, 2, host)

    def test_one_status_line_in_place_of_bars(self):
        host = HOSTS[0]
        lines = []
        for name in ("slow", "quick"):
            os.makedirs(self.path("spool", name))
            url = self.publish(host, "%s.mp3" % name)
            if name == "slow":
                url = self.servers[host].url("delay/700/slow.mp3")
            feed = self.publish(host, "%s.xml" % name, rss([{"url": url}]))
            lines.append("[%s]\nurl=%s\nspool=%s\n" % (name, feed, self.path("spool", name)))
        self.write_config("".join(lines))
        result = self.run_skiffer("-v", "-p", "-j", "2", env={"COLUMNS": "60"})
        self.assertEqual(result.status, 0, result)
        self.assertRegex(result.stdout, r"\r1 download: ")

        # What a terminal shows: the status line is gone, the blocks remain.
        shown, line, column = [], [], 0
        for character in result.stdout:
            if character == "\n":
                shown.append("".join(line).rstrip())
                line, column = [], 0
            elif character == "\r":
                column = 0
            else:
                line[column:column + 1] = [character]
                column += 1
        self.assertEqual(shown, [
            "Updating channel slow...",
            " * %s (unknown size)" % self.path("spool", "slow", "slow.mp3"),
            "Updating channel quick...",
            " * %s (unknown size)" % self.path("spool", "quick", "quick.mp3"),
        ])

    def test_bad_numbers_of_jobs(self):
        for value in ("0", "-1", "65", "x", "", "1.5"):
            with self.subTest(value=value):
                self.assertRun(self.run_skiffer("-j", value), status=1, stdout=(
                    "option parsing failed: Invalid number of jobs “%s” for -j: "
                    "give a number from 1 to 64\n" % value))
        self.assertRun(self.run_skiffer("--jobs"), status=1,
                       stdout="option parsing failed: Missing argument for --jobs\n")
        self.assertFalse(os.path.exists(self.path(".skiffer")))


if __name__ == "__main__":
    unittest.main()
