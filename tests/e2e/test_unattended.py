"""Unattended runs end to end: servers that hang, drip, loop or flood,
overlapping runs, kills and power cuts, closed or broken outputs, control
characters in feeds and a home directory that is not there."""

import fcntl
import os
import re
import shutil
import signal
import socket
import time
import unittest

from mutagen.mp3 import MP3

from harness import SkifferTestCase, rss
from test_update import EPISODE, UpdateTestCase

# Short limits for the tests only: connect within 1 s, fail a transfer that
# averages under 10 bytes a second over 2 s, refuse a feed over 1 MiB.
SHORT_LIMITS = {"SKIFFER_TEST_LIMITS": "1:2:1048576"}
TOO_SLOW = "Operation too slow. Less than 10 bytes/sec transferred the last 2 seconds"
TOO_MANY_REDIRECTS = "Maximum (20) redirects followed"
# The leak checker of a sanitizer build cannot work under strace.
UNDER_STRACE = {"ASAN_OPTIONS": ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"),
                                                       "detect_leaks=0"]))}


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
        self.assertRegex(result.stderr, "^Error retrieving %s: .* after \\d+ ms: Timeout "
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

    def test_a_packed_feed_sent_as_plain_bytes_is_held_to_the_limit_once_unpacked(self):
        # The parser unpacks a gzip file by itself, whatever the server said.
        os.makedirs(self.path("tmp"))
        episode = self.publish("e.mp3")
        self.publish("small.xml", rss([{"url": episode}]))
        environment = {**SHORT_LIMITS, "TMPDIR": self.path("tmp")}
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % self.server.url("packed/small.xml"))
        self.assertRun(self.run_skiffer("-q", env=environment))
        self.assertState("pod", [episode])

        self.write_config("[pod]\nurl=%s\nspool=spool\n" % self.server.url("packed-bomb/64"))
        result = self.run_skiffer("-q", env=environment)
        # After the parser's own report of a document cut short.
        self.assertRegex(result.stderr, "\nError parsing RSS file %s/[^/]+: The feed exceeds the "
                         "limit of 1048576 bytes.\n$" % re.escape(self.path("tmp")))
        self.assertEqual(result.status, 0)
        self.assertEqual(os.listdir(self.path("tmp")), [])
        self.assertState("pod", [episode])


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
        process = self.start_skiffer("-v", "-p")
        self.assertEqual(process.stdout.read(10), b"Updating c")
        process.stdout.close()
        with process.stderr:
            stderr = process.stderr.read()
        self.assertEqual((process.wait(timeout=60), stderr), (0, b""))
        self.assertEqual({n: self.read("spool/" + n, "rb") for n in os.listdir(self.path("spool"))},
                         {"e%d.mp3" % n: EPISODE for n in range(4)})
        self.assertEqual(self.read("list.m3u"), "".join("spool/e%d.mp3\n" % n for n in range(4)))
        self.assertState("pod", urls)


def locked(channel):
    return "Channel %s is locked by another process, skipped.\n" % channel


class OverlapTests(UpdateTestCase):
    def test_a_list_neither_waits_for_a_locked_channel_nor_takes_its_lock(self):
        url = self.publish("e.mp3")
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % self.publish_feed([{"url": url}]))
        os.makedirs(self.path(".skiffer"))
        with open(self.path(".skiffer/pod.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            self.assertRun(self.run_skiffer("-l", "-v"),
                           stdout="Listing channel pod...\n * %s (unknown size)\n" % url)
            self.assertRun(self.run_skiffer("-c"), stderr=locked("pod"))
        self.assertFalse(os.path.exists(self.path(".skiffer/pod.xml")))
        # Nor does a list write anything in the state directory.
        os.unlink(self.path(".skiffer/pod.lock"))
        self.assertRun(self.run_skiffer("-l"), stdout="Listing channel pod...\n")
        self.assertEqual(os.listdir(self.path(".skiffer")), [])

    def test_overlapping_runs_leave_each_channel_to_one_of_them(self):
        # Two channels of four slow episodes each; a first run holds "one"
        # while two more runs start, as cron jobs that overlap would.
        urls = {}
        config = ""
        for channel in ("one", "two"):
            urls[channel] = [self.server.url("delay/200/%s%d.mp3" % (channel, n))
                             for n in range(4)]
            for n in range(4):
                self.publish("%s%d.mp3" % (channel, n))
            feed = self.publish(channel + ".xml", rss([{"url": u} for u in urls[channel]]))
            os.makedirs(self.path(channel))
            config += "[%s]\nurl=%s\nspool=%s\n" % (channel, feed, channel)
        self.write_config(config)

        first = self.start_skiffer("-r", "-q")
        deadline = time.monotonic() + 30
        while not self.requested("/one.xml"):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.01)
        later = [self.start_skiffer("-r", "-q") for _ in range(2)]
        runs = []
        for run in [first, *later]:
            stdout, stderr = run.communicate(timeout=60)
            runs.append((run.returncode, stdout, stderr.decode()))

        for status, stdout, _ in runs:
            self.assertEqual((status, stdout), (0, b""), runs)
        # Each later run found "one" locked and went on; "two" went to
        # whichever run came to it first, and no run waited for a lock.
        self.assertIn(runs[0][2], ("", locked("two")), runs)
        for _, _, stderr in runs[1:]:
            self.assertIn(stderr, (locked("one"), locked("one") + locked("two")), runs)
        # Every episode was fetched once, whole, and recorded.
        for channel in ("one", "two"):
            self.assertEqual({n: self.read("%s/%s" % (channel, n), "rb")
                              for n in os.listdir(self.path(channel))},
                             {"%s%d.mp3" % (channel, n): EPISODE for n in range(4)})
            for n in range(4):
                self.assertEqual(len(self.requested("/delay/200/%s%d.mp3" % (channel, n))), 1)
            self.assertState(channel, urls[channel])

    @unittest.skipUnless(shutil.which("strace"), "strace delays the directory creation")
    def test_first_runs_at_once_share_the_new_state_directory(self):
        # Both runs find no state directory, and both try to make it: strace
        # holds each mkdir for a moment, so that the second always comes
        # after the first has made it.
        self.write_config("[*]\n")
        strace = ["strace", "-qq", "-o", "/dev/null", "-e", "trace=mkdir",
                  "-e", "inject=mkdir:delay_enter=300000"]
        runs = [self.start_skiffer(env=UNDER_STRACE, wrapper=strace) for _ in range(2)]
        for run in runs:
            self.assertEqual(run.communicate(timeout=60), (b"", b""))
            self.assertEqual(run.returncode, 0)
        self.assertTrue(os.path.isdir(self.path(".skiffer")))


class KillTests(UpdateTestCase):
    @unittest.skipUnless(shutil.which("strace"), "strace kills the run in the middle of a save")
    def test_kill_during_a_save_leaves_nothing_that_lasts(self):
        # A catch-up saves the state once per item. strace kills the run as
        # it renames its fifth save into place: the temporary file is whole
        # and stays, the state file holds the fourth save. The next run,
        # under the channel's lock, removes what the killed one left.
        urls = ["http://example.org/e%04d.mp3" % n for n in range(20)]
        self.write("feed.xml", rss([{"url": u} for u in urls]))
        self.write_config("[pod]\nurl=feed.xml\nspool=spool\n")
        self.write(".skiffer/other.xml.Ab3dEf", "another channel's, not ours to remove")
        killed = self.run_skiffer("-c", "-q", env=UNDER_STRACE, wrapper=[
            "strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=rename",
            "-e", "inject=rename:signal=KILL:when=5"])
        self.assertEqual(killed.status, -signal.SIGKILL, killed)
        left = [n for n in os.listdir(self.path(".skiffer")) if n.startswith("pod.xml.")]
        self.assertRegex(" ".join(left), r"^pod\.xml\.[A-Za-z0-9]{6}$")
        self.assertState("pod", urls[:4], last_fetched=False)
        self.assertRun(self.run_skiffer("-c", "-q"))
        self.assertEqual(sorted(os.listdir(self.path(".skiffer"))),
                         ["other.xml.Ab3dEf", "pod.lock", "pod.xml"])
        self.assertState("pod", urls)

    @unittest.skipUnless(shutil.which("strace"), "strace kills the run before a save")
    def test_kill_between_playlist_and_state_lists_the_episode_once(self):
        # An episode goes into the playlist before the state save that
        # records it. strace kills the run as it renames the second save into
        # place: the second episode is whole and listed, but not recorded, so
        # the resume takes it again. Lines written by hand stay, twice if
        # they were twice.
        urls = [self.publish("e%d.mp3" % n) for n in range(1, 4)]
        self.write_config("[pod]\nurl=%s\nspool=spool\nplaylist=list.m3u\n"
                          % self.publish_feed([{"url": url} for url in urls]))
        mine = "# by hand\nspool/old.mp3\nspool/old.mp3\nspool/e2.mp3 \n"
        self.write("list.m3u", mine)
        killed = self.run_skiffer("-q", env=UNDER_STRACE, wrapper=[
            "strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=rename",
            "-e", "inject=rename:signal=KILL:when=2"])
        self.assertEqual(killed.status, -signal.SIGKILL, killed)
        self.assertEqual(self.read("list.m3u"), mine + "spool/e1.mp3\nspool/e2.mp3\n")
        self.assertState("pod", urls[:1], last_fetched=False)

        result = self.run_skiffer("-v", "-r")
        self.assertEqual((result.status, result.stderr), (0, ""), result)
        # Told as any episode taken is told, listed or not before.
        for name in ("e2.mp3", "e3.mp3"):
            self.assertIn(" * Added downloaded enclosure spool/%s to playlist list.m3u.\n"
                          % name, result.stdout)
        self.assertEqual(self.read("list.m3u"),
                         mine + "spool/e1.mp3\nspool/e2.mp3\nspool/e3.mp3\n")
        self.assertEqual(self.read("spool/e2.mp3", "rb"), EPISODE)
        self.assertState("pod", urls)


class DurabilityTests(UpdateTestCase):
    @unittest.skipUnless(shutil.which("strace"), "strace shows the order of the syncs")
    def test_episode_and_state_reach_the_disk_before_they_count(self):
        url = self.publish("e.mp3")
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % self.publish_feed([{"url": url}]))
        trace = self.path("trace")
        self.assertRun(self.run_skiffer("-q", env=UNDER_STRACE, wrapper=[
            "strace", "-f", "-qq", "-y", "-o", trace, "-e", "trace=fsync,rename,renameat2"]))
        calls = []
        with open(trace) as lines:
            for line in lines:
                line = re.sub(r"^\d+ +", "", line.strip()).replace(self.home, "~")
                calls.append(re.sub(r"\.xml\.[A-Za-z0-9]{6}", ".xml.XXXXXX",
                                    re.sub(r"\d+<", "<", line)))
        save = ['fsync(<~/.skiffer/pod.xml.XXXXXX>) = 0',
                'rename("~/.skiffer/pod.xml.XXXXXX", "~/.skiffer/pod.xml") = 0',
                'fsync(<~/.skiffer>) = 0']
        # The episode and its name are on the disk before the state that
        # records it; each state is on the disk, name and all, after its save.
        self.assertEqual(calls, ['fsync(<~/spool/e.mp3>) = 0', 'fsync(<~/spool>) = 0',
                                 *save, *save])
        self.assertState("pod", [url])

    def test_empty_episode_file_is_downloaded_into(self):
        url = self.publish("e.mp3")
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % self.publish_feed([{"url": url}]))
        self.write("spool/e.mp3", "")
        self.assertRun(self.run_skiffer("-q"))
        self.assertEqual(self.read("spool/e.mp3", "rb"), EPISODE)
        self.assertState("pod", [url])


class TaggingTests(UpdateTestCase):
    def tagged_channel(self, url, comment="C"):
        self.write_config("[pod]\nurl=%s\nspool=spool\nplaylist=list.m3u\n"
                          "title_tag=T\ncomment_tag=%s\n" % (self.publish_feed([{"url": url}]),
                                                              comment))

    def test_spool_without_room_for_the_tags_keeps_the_episode_as_downloaded(self):
        self.mount_tmpfs("spool", "64k")
        # 64 KiB: room for either episode, not for its copy as well; or room
        # for the copy, not for a tag of 20 kB.
        cases = [
            ("no room for the copy", EPISODE * 4, "C",
             "Error copying file spool/e.mp3: No space left on device.\n"),
            ("no room for the tag", EPISODE * 3, "c" * 20000,
             "Error writing tags into spool/e.mp3: No space left on device.\n"),
        ]
        for name, content, comment, reason in cases:
            with self.subTest(name):
                for old in ("spool/e.mp3", ".skiffer/pod.xml", "list.m3u"):
                    if os.path.exists(self.path(old)):
                        os.unlink(self.path(old))
                url = self.publish("e.mp3", content)
                self.tagged_channel(url, comment)
                self.assertRun(self.run_skiffer("-q"), stderr=(
                    reason + "Error setting tags for file spool/e.mp3.\n"))
                self.assertEqual(os.listdir(self.path("spool")), ["e.mp3"])
                self.assertTrue(self.read("spool/e.mp3", "rb") == content)
                # A download that succeeded is recorded as before, untagged.
                self.assertEqual(self.read("list.m3u"), "spool/e.mp3\n")
                self.assertState("pod", [url])

    @unittest.skipUnless(shutil.which("strace"), "strace kills the run while it writes tags")
    def test_kill_while_tagging_leaves_a_whole_episode_for_resume(self):
        # The tag library writes the tags with pwrite; strace kills the run
        # at its first one, in the middle of rewriting the file.
        content = EPISODE * 300
        url = self.publish("e.mp3", content)
        self.tagged_channel(url)
        killed = self.run_skiffer("-q", env=UNDER_STRACE, wrapper=[
            "strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=pwrite64",
            "-e", "inject=pwrite64:signal=KILL:when=1"])
        self.assertEqual(killed.status, -signal.SIGKILL, killed)
        copies = [n for n in os.listdir(self.path("spool")) if n.startswith(".skiffer-tag-")]
        self.assertRegex(" ".join(copies), r"^\.skiffer-tag-[A-Za-z0-9]{6}\.mp3$")
        # Killed before its first save: nothing is recorded.
        self.assertFalse(os.path.exists(self.path(".skiffer/pod.xml")))
        # Whatever the moment, the episode is whole: as downloaded, or
        # already tagged; a resume finds it complete.
        episode = self.read("spool/e.mp3", "rb")
        self.assertTrue(episode == content or content in episode)
        self.assertRun(self.run_skiffer("-q", "-r"))
        episode = self.read("spool/e.mp3", "rb")
        self.assertIn(content, episode)
        self.assertEqual(MP3(self.path("spool/e.mp3")).tags["TIT2"].text, ["T"])
        self.assertEqual(self.read("list.m3u"), "spool/e.mp3\n")
        self.assertState("pod", [url])


class ControlCharacterTests(UpdateTestCase):
    def test_control_characters_from_feeds_never_reach_the_terminal_or_a_name(self):
        # XML carries the C1 controls as they are and line feeds and tabs as
        # character references; any other C0 control makes the feed
        # malformed, and the parser's message quotes the line.
        good = self.publish("e.mp3")
        bad = self.server.url("e&#10;&#9;\u009bx.mp3")
        shown = self.server.url("e\\x0a\\x09\\u009bx.mp3")
        self.publish_feed([{"title": "Bold \u009b1m move\u0085", "url": good},
                           {"title": "b", "url": bad, "length": 5}])
        self.write("www/broken.xml", '<?xml version="1.0"?>\n<rss version="2.0"><channel>'
                   "<title>\x1b[31mred\x1b[0m</title></channel></rss>\n")
        self.write_config("[pod]\nurl=%s\nspool=spool\nfilename=%%(title).mp3\n"
                          "playlist=list.m3u\n[broken]\nurl=%s\nspool=spool\n"
                          % (self.server.url("feed.xml"), self.server.url("broken.xml")))
        result = self.run_skiffer("-v")
        self.assertEqual(result.status, 0)
        self.assertEqual(result.stdout, (
            "Updating channel pod...\n"
            " * spool/Bold 1m move.mp3 (unknown size)\n"
            " * Added downloaded enclosure spool/Bold 1m move.mp3 to playlist list.m3u.\n"
            " * %s (5 bytes)\n"
            "Updating channel broken...\n" % shown))
        lines = result.stderr.splitlines(keepends=True)
        self.assertEqual(lines[:2], [
            "Error retrieving %s: URL using bad/illegal format or missing URL\n" % shown,
            "Error downloading enclosure from %s.\n" % shown])
        self.assertIn('<rss version="2.0"><channel><title>\\x1b[31mred\\x1b[0m</title>'
                      "</channel></rss>\n", lines)
        self.assertRegex(lines[-1], r"^Error parsing RSS file .*\.\n$")
        for text in (result.stdout, result.stderr):
            self.assertIsNone(re.search("[\x00-\x09\x0b-\x1f\x7f\x80-\x9f]", text), text)
        self.assertEqual(os.listdir(self.path("spool")), ["Bold 1m move.mp3"])
        self.assertEqual(self.read("list.m3u"), "spool/Bold 1m move.mp3\n")


class HomeTests(SkifferTestCase):
    def test_home_unset_empty_or_relative_is_an_error(self):
        os.makedirs(self.path("work"))
        self.write("work/.skifferrc", "[*]\n")
        for home in (None, "", "work", "."):
            with self.subTest(home=home):
                self.assertRun(self.run_skiffer(env={"HOME": home}, cwd=self.path("work")),
                               status=1, stderr="Cannot determine the home directory.\n")
                # The import program finds the configuration the same way.
                self.assertRun(self.run_opml("export", env={"HOME": home}, cwd=self.path("work")),
                               status=1, stderr="Cannot determine the home directory.\n")
                self.assertEqual(os.listdir(self.path("work")), [".skifferrc"])
        # Options that stop before the channels do not need a home.
        self.assertEqual(self.run_skiffer("-V", env={"HOME": None}).status, 0)


if __name__ == "__main__":
    unittest.main()
