"""Update mode end to end: the real binary downloads from a loopback server
into a sandboxed HOME, tags the files, appends playlists and records state."""

import os
import re
import shutil
import unittest

from mutagen.id3 import ID3
from mutagen.mp3 import MP3

from harness import DATA, STAMP, USER_AGENT, SkifferTestCase, rss

EPISODE = open(os.path.join(DATA, "silence.mp3"), "rb").read()


class UpdateTestCase(SkifferTestCase):
    def setUp(self):
        super().setUp()
        os.makedirs(self.path("spool"))

    def publish(self, name, content=EPISODE):
        self.write("www/" + name, content, mode="wb" if isinstance(content, bytes) else "w")
        return self.server.url(name)

    def publish_feed(self, items, **kwargs):
        return self.publish("feed.xml", rss(items, **kwargs))

    def requested(self, prefix):
        return [r["path"] for r in self.server.requests if r["path"].startswith(prefix)]

    def assertState(self, channel, entries, last_fetched=True):
        """The whole state file, time stamps aside; `entries` are the URLs
        in the order the file must list them (byte order)."""
        text = re.sub(STAMP, "STAMP", self.read(".skiffer/%s.xml" % channel))
        self.assertEqual(text, "".join([
            '<?xml version="1.0" encoding="UTF-8"?>\n',
            '<channel version="1.0" rsslastfetched="STAMP">\n' if last_fetched
            else '<channel version="1.0">\n',
            *('  <enclosure url="%s" downloadtime="STAMP"/>\n' % url for url in entries),
            "</channel>\n"]))


class UpdateTests(UpdateTestCase):
    def test_downloads_tags_lists_and_records_then_finds_nothing_new(self):
        url1 = self.publish("a/one.mp3")
        url2 = self.publish("b/two.mp3")
        url3 = self.publish("three.mp3")
        feed = self.publish_feed([
            {"title": "One", "url": url1, "length": len(EPISODE)},
            {"title": "No enclosure"},
            {"title": "Two", "url": url2 + "?src=rss#t=1", "length": 0},
            {"title": "Three", "url": url3},
        ])
        self.write_config("[*]\nspool=%s\nplaylist=%s\n"
                          "[pod]\nurl=%s\nartist_tag=Ärtist\ntitle_tag=T\nalbum_tag=Al\n"
                          "genre_tag=Talk\nyear_tag=2024\ncomment_tag=C\n"
                          % (self.path("spool"), self.path("list.m3u"), feed))
        self.write("list.m3u", "/existing/line.mp3\n")
        spool = self.path("spool")
        tag_lines = (" * Set artist tag to Ärtist.\n * Set title tag to T.\n"
                     " * Set album tag to Al.\n * Set genre tag to Talk.\n"
                     " * Set year tag to 2024.\n * Set comment tag to C.\n")

        def added(name):
            return " * Added downloaded enclosure %s/%s to playlist %s.\n" % (
                spool, name, self.path("list.m3u"))

        self.assertRun(self.run_skiffer("-v"), stdout=(
            "Updating channel pod...\n"
            " * %s (10.0\u00a0kB)\n" % url1 + tag_lines + added("one.mp3") +
            " * %s/two.mp3 (unknown size)\n" % spool + tag_lines + added("two.mp3") +
            " * %s/three.mp3 (unknown size)\n" % spool + tag_lines + added("three.mp3")))

        for name in ("one.mp3", "two.mp3", "three.mp3"):
            path = os.path.join(spool, name)
            tags = ID3(path)
            self.assertEqual(str(tags["TPE1"]), "Ärtist")
            self.assertEqual(str(tags["TIT2"]), "T")
            self.assertEqual(str(tags["TALB"]), "Al")
            self.assertEqual(str(tags["TCON"]), "Talk")
            self.assertEqual(str(tags["TDRC"]), "2024")
            self.assertEqual(tags.getall("COMM")[0].text, ["C"])
            with open(path, "rb") as f:
                self.assertIn(EPISODE, f.read())  # between the tags TagLib wrote
        self.assertEqual(self.read("list.m3u"), "/existing/line.mp3\n" + "".join(
            "%s/%s\n" % (spool, n) for n in ("one.mp3", "two.mp3", "three.mp3")))
        self.assertState("pod", [url1, url2 + "?src=rss#t=1", url3])
        for request in self.server.requests:
            self.assertEqual(request["headers"]["User-Agent"], USER_AGENT)

        downloads = len(self.requested("/a/")) + len(self.requested("/b/"))
        self.assertRun(self.run_skiffer("-v"), stdout="Updating channel pod...\n")
        self.assertEqual(len(self.requested("/a/")) + len(self.requested("/b/")), downloads)
        self.assertEqual(len(self.read("list.m3u").splitlines()), 4)

    def test_an_episode_under_a_new_url_is_known_by_its_guid(self):
        old = [self.publish("old/one.mp3"), self.publish("old/two.mp3")]
        feed = self.publish_feed([{"url": old[0], "raw": "<guid>ep-1</guid>"},
                                  {"url": old[1], "raw": "<guid>\n  ep-2\n</guid>"}])
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % feed)
        self.assertRun(self.run_skiffer(), stdout="Updating channel pod...\n")

        # The host moves every episode and publishes a new one.
        new = [self.publish("new/one.mp3") + "?sig=1", self.publish("new/two.mp3") + "?sig=1",
               self.publish("new/three.mp3")]
        self.publish_feed([{"url": new[0], "raw": "<guid>ep-1</guid>"},
                           {"url": new[1], "raw": "<guid>ep-2</guid>"},
                           {"url": new[2], "raw": "<guid>ep-3</guid>"}])
        before = self.read(".skiffer/pod.xml")
        self.assertRun(self.run_skiffer("-l", "-v"),
                       stdout="Listing channel pod...\n * %s (unknown size)\n" % new[2])
        self.assertEqual(self.read(".skiffer/pod.xml"), before)
        self.assertRun(self.run_skiffer(), stdout="Updating channel pod...\n")

        self.assertEqual(self.requested("/new/"), ["/new/three.mp3"])
        self.assertEqual(sorted(os.listdir(self.path("spool"))),
                         ["one.mp3", "three.mp3", "two.mp3"])
        # The new URLs stand beside the old ones, each entry with its guid.
        entries = sorted(zip(old + new, ["ep-1", "ep-2", "ep-1", "ep-2", "ep-3"]))
        self.assertEqual(re.sub(STAMP, "STAMP", self.read(".skiffer/pod.xml")), "".join([
            '<?xml version="1.0" encoding="UTF-8"?>\n',
            '<channel version="1.0" rsslastfetched="STAMP">\n',
            *('  <enclosure url="%s" downloadtime="STAMP" guid="%s"/>\n' % entry
              for entry in entries),
            "</channel>\n"]))

    def test_the_feed_and_its_enclosures_come_over_one_connection(self):
        # The server hangs up after the second episode without saying so; the
        # third comes over a new connection, and so does the feed next run.
        urls = [self.publish("one.mp3"), self.server.url("hangup/two.mp3"),
                self.publish("three.mp3")]
        self.publish("two.mp3")
        feed = self.publish_feed([{"url": u} for u in urls])
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % feed)
        self.assertRun(self.run_skiffer("-q"))
        self.assertEqual(sorted(os.listdir(self.path("spool"))),
                         ["one.mp3", "three.mp3", "two.mp3"])
        self.assertState("pod", sorted(urls))
        ports = [(r["path"], r["client_port"]) for r in self.server.requests]
        self.assertEqual([path for path, _ in ports],
                         ["/feed.xml", "/one.mp3", "/hangup/two.mp3", "/three.mp3"])
        self.assertEqual(ports[0][1], ports[1][1])
        self.assertEqual(ports[1][1], ports[2][1])
        self.assertNotEqual(ports[2][1], ports[3][1])

    def test_filename_pattern_and_local_feed(self):
        self.publish("ep.mp3")
        self.write("feed.xml", rss([
            {"title": "Part 1, the start", "pubDate": "Sat, 10 Jun 2000 04:00:00 GMT",
             "url": self.server.url("ep.mp3")},
            {"title": "Undated", "url": self.server.url("ep.mp3?second")},
        ], title="Talk: Weekly"))
        self.write_config("[pod]\nurl=feed.xml\nspool=spool\n"
                          "filename=%(channel_title) - %(date) - %(title).mp3\n")
        self.assertRun(self.run_skiffer("-q"))
        self.assertEqual(sorted(os.listdir(self.path("spool"))),
                         sorted(["Talk Weekly - 2000-06-10 - Part 1 the start.mp3",
                                 "Talk Weekly -  - Undated.mp3"]))

    def test_first_only_takes_the_first_new_accepted_enclosure(self):
        urls = [self.publish("e%d.mp3" % n) for n in range(1, 6)]
        feed = self.publish_feed([{"url": u} for u in urls])
        self.write_config("[pod]\nurl=%s\nspool=spool\nfilter=e[35]\n" % feed)
        self.write(".skiffer/pod.xml", '<channel><enclosure url="%s"/></channel>' % urls[2])
        self.assertRun(self.run_skiffer("-1", "-q"))
        self.assertEqual(os.listdir(self.path("spool")), ["e5.mp3"])
        # The command-line filter overrides the channel's.
        self.assertRun(self.run_skiffer("-1", "-q", "-f", "e[12]"))
        self.assertEqual(sorted(os.listdir(self.path("spool"))), ["e1.mp3", "e5.mp3"])

    def test_bad_filter_reports_each_new_enclosure_and_takes_nothing(self):
        urls = [self.publish("e%d.mp3" % n) for n in range(1, 4)]
        feed = self.publish_feed([{"url": u} for u in urls])
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % feed)
        self.write(".skiffer/pod.xml", '<channel><enclosure url="%s"/></channel>' % urls[0])
        result = self.run_skiffer("-q", "-f", "(")
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 2, result)
        for line in lines:
            self.assertTrue(line.startswith("Error compiling regular expression (: "), result)
        self.assertEqual(os.listdir(self.path("spool")), [])
        self.assertState("pod", [urls[0]])

    def test_new_only_skips_channels_with_state(self):
        feed = self.publish_feed([{"url": self.publish("e.mp3")}])
        self.write_config("[old]\nurl=%s\nspool=spool\n[new]\nurl=%s\nspool=spool2\n"
                          % (feed, feed))
        os.makedirs(self.path("spool2"))
        self.write(".skiffer/old.xml", "garbage, never read")
        self.assertRun(self.run_skiffer("-n", "-v"), stdout=(
            "Fetching new channels only...\n"
            "Updating channel new...\n * spool2/e.mp3 (unknown size)\n"))
        self.assertEqual(os.listdir(self.path("spool")), [])
        self.assertRun(self.run_skiffer("-n", "-v"), stdout="Fetching new channels only...\n")

    def test_resume_continues_a_partial_file_from_its_size(self):
        url = self.publish("e.mp3")
        feed = self.publish_feed([{"url": url}])
        self.write_config("[pod]\nurl=%s\nspool=spool\nplaylist=list.m3u\n" % feed)
        self.write("spool/e.mp3", EPISODE[:1000], mode="wb")

        self.assertRun(self.run_skiffer("-q"),
                       stderr="Enclosure file spool/e.mp3 already exists.\n")
        self.assertState("pod", [])

        self.assertRun(self.run_skiffer("-r", "-q"))
        self.assertEqual(self.read("spool/e.mp3", "rb"), EPISODE)
        self.assertEqual(self.server.requests[-1]["headers"]["Range"], "bytes=1000-")
        self.assertEqual(self.read("list.m3u"), "spool/e.mp3\n")
        self.assertState("pod", [url])

    def test_resume_rewrites_an_empty_file(self):
        url = self.publish("e.mp3")
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % self.publish_feed([{"url": url}]))
        self.write("spool/e.mp3", "")
        self.assertRun(self.run_skiffer("-r", "-q"))
        self.assertEqual(self.read("spool/e.mp3", "rb"), EPISODE)
        self.assertNotIn("Range", self.server.requests[-1]["headers"])

    def test_progress_bar(self):
        feed = self.publish_feed([{"url": self.publish("e.mp3")}])
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % feed)
        result = self.run_skiffer("-p", env={"COLUMNS": "25"})
        self.assertEqual(result.stderr, "", result)
        self.assertTrue(result.stdout.startswith("Updating channel pod...\n\r"), result)
        self.assertTrue(result.stdout.endswith("\r" + "#" * 20 + " 100%\n"), result)
        for drawing in result.stdout.splitlines()[1].split("\r")[1:]:
            self.assertRegex(drawing, r"^#*\s* +\d{1,3}%$")
            self.assertEqual(len(drawing), 25)


class LoopEndTests(UpdateTestCase):
    """Every way the item loop can end leaves the files and the state sound."""

    def channel(self, items, extra=""):
        self.write_config("[pod]\nurl=%s\nspool=spool\nplaylist=list.m3u\n%s"
                          % (self.publish_feed(items), extra))

    def test_missing_spool_directory(self):
        feed = self.publish_feed([{"url": self.publish("e.mp3")}])
        self.write_config("[pod]\nurl=%s\nspool=elsewhere\n" % feed)
        self.assertRun(self.run_skiffer("-q"), stderr="Spool directory elsewhere not found.\n")
        self.assertState("pod", [])

    def test_missing_spool_is_not_reported_without_new_enclosures(self):
        url = self.publish("e.mp3")
        self.channel([{"url": url}])
        self.write(".skiffer/pod.xml", '<channel><enclosure url="%s"/></channel>' % url)
        shutil.rmtree(self.path("spool"))
        self.assertRun(self.run_skiffer("-q"))

    def test_enclosure_file_that_cannot_be_opened(self):
        self.channel([{"url": self.publish("e.mp3")}], extra="filename=taken\n")
        os.makedirs(self.path("spool/taken/inside"))
        self.assertRun(self.run_skiffer("-q", "-r"),
                       stderr="Error opening enclosure file spool/taken.\n")
        self.assertState("pod", [])

    def test_http_error_removes_the_empty_file_and_records_nothing(self):
        good = self.publish("good.mp3")
        missing = self.server.url("status/404")
        self.channel([{"url": missing}, {"url": good}])
        self.assertRun(self.run_skiffer("-q"), stderr=(
            "Error retrieving %s: The requested URL returned error: 404\n"
            "Error downloading enclosure from %s.\n" % (missing, missing)))
        # The dead link is passed over; the next item is taken.
        self.assertEqual(os.listdir(self.path("spool")), ["good.mp3"])
        self.assertEqual(self.read("list.m3u"), "spool/good.mp3\n")
        self.assertState("pod", [good])

    def test_dropped_connection_keeps_the_partial_file_for_resume(self):
        self.publish("e.mp3")
        url = self.server.url("drop/3000/e.mp3")
        self.channel([{"url": url}], extra="title_tag=T\n")
        result = self.run_skiffer("-q")
        self.assertEqual(result.stderr.splitlines()[-1],
                         "Error downloading enclosure from %s." % url, result)
        self.assertTrue(result.stderr.startswith("Error retrieving %s: " % url), result)
        self.assertEqual(self.read("spool/e.mp3", "rb"), EPISODE[:3000])
        self.assertFalse(os.path.exists(self.path("list.m3u")))
        self.assertState("pod", [])

    def test_feed_that_cannot_be_obtained_leaves_the_state_untouched(self):
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % self.server.url("status/503"))
        old = '<channel rsslastfetched="then"><enclosure url="x"/></channel>\n'
        self.write(".skiffer/pod.xml", old)
        self.assertRun(self.run_skiffer(), stdout="Updating channel pod...\n", stderr=(
            "Error retrieving %s: The requested URL returned error: 503\n"
            % self.server.url("status/503")))
        self.assertEqual(self.read(".skiffer/pod.xml"), old)

    def test_one_failing_channel_does_not_affect_the_others(self):
        good = self.publish_feed([{"url": self.publish("e.mp3")}])
        self.write_config("[first]\nurl=%s\nspool=spool\n"
                          "[broken]\nurl=missing.xml\nspool=spool\n"
                          "[last]\nurl=%s\nspool=spool2\n" % (good, good))
        os.makedirs(self.path("spool2"))
        self.assertRun(self.run_skiffer(),
                       stdout="Updating channel first...\nUpdating channel broken...\n"
                              "Updating channel last...\n",
                       stderr='I/O warning : failed to load external entity "missing.xml"\n'
                              "Error parsing RSS file missing.xml.\n")
        self.assertEqual(os.listdir(self.path("spool")), ["e.mp3"])
        self.assertEqual(os.listdir(self.path("spool2")), ["e.mp3"])


class FullDiskTests(UpdateTestCase):
    """A spool directory on a small tmpfs that fills up during a download."""

    def setUp(self):
        super().setUp()
        self.mount_tmpfs("spool", "16k")

    def test_last_block_refused_at_close_is_a_failed_download(self):
        # 16 KiB reach the disk while downloading; the last 100 bytes stay
        # buffered until the file is closed, and only then find no space.
        cut = self.publish("cut.mp3", (EPISODE * 2)[:16484])
        self.write_config("[pod]\nurl=%s\nspool=spool\nplaylist=list.m3u\n"
                          % self.publish_feed([{"url": cut}]))
        self.assertRun(self.run_skiffer("-q"), stderr=(
            "Error writing enclosure file spool/cut.mp3: No space left on device.\n"
            "Error downloading enclosure from %s.\n" % cut))
        self.assertEqual(os.path.getsize(self.path("spool/cut.mp3")), 16384)
        self.assertFalse(os.path.exists(self.path("list.m3u")))
        self.assertState("pod", [])

    def test_disk_full_while_writing(self):
        url = self.publish("big.mp3", EPISODE * 4)
        self.write_config("[pod]\nurl=%s\nspool=spool\n" % self.publish_feed([{"url": url}]))
        result = self.run_skiffer("-q")
        self.assertRegex(result.stderr, "^Error retrieving %s: .*: No space left on device\n\n"
                         "Error downloading enclosure from %s.\n$"
                         % (re.escape(url), re.escape(url)))
        self.assertState("pod", [])

    def test_full_playlist_is_reported_and_confirms_nothing(self):
        # The playlist lies on the full device, the episode elsewhere. Its
        # existing page is full, so the new line needs a page there is no
        # room for.
        url = self.publish("e.mp3")
        os.makedirs(self.path("episodes"))
        self.write_config("[pod]\nurl=%s\nspool=episodes\nplaylist=spool/list.m3u\n"
                          % self.publish_feed([{"url": url}]))
        existing = "x" * 4095 + "\n"
        self.write("spool/list.m3u", existing)
        with open(self.path("spool/filler"), "wb", buffering=0) as filler:
            try:
                while True:
                    filler.write(b"f" * 4096)
            except OSError:
                pass
        self.assertRun(self.run_skiffer("-v"),
                       stdout="Updating channel pod...\n * episodes/e.mp3 (unknown size)\n",
                       stderr="Error writing playlist file spool/list.m3u: "
                              "No space left on device.\n")
        self.assertEqual(self.read("spool/list.m3u"), existing)
        self.assertEqual(self.read("episodes/e.mp3", "rb"), EPISODE)
        # The episode is taken all the same.
        self.assertState("pod", [url])


class ReporterTests(UpdateTestCase):
    def test_tagging_failures_and_playlist_errors(self):
        text = self.publish("notes.txt", "plain text, not audio\n")
        audio = self.publish("e.mp3")
        self.write_config("[tagged]\nurl=%s\nspool=spool\nplaylist=list.m3u\nyear_tag=abc\n"
                          "[untagged]\nurl=%s\nspool=spool2\nplaylist=nodir/list.m3u\n"
                          % (self.publish_feed([{"url": text}, {"url": audio}]),
                             self.publish("feed2.xml", rss([{"url": text}]))))
        os.makedirs(self.path("spool2"))
        result = self.run_skiffer("-v")
        self.assertRun(result, stdout=(
            "Updating channel tagged...\n"
            " * spool/notes.txt (unknown size)\n"
            " * Added downloaded enclosure spool/notes.txt to playlist list.m3u.\n"
            " * spool/e.mp3 (unknown size)\n"
            " * Set year tag to abc.\n"
            " * Added downloaded enclosure spool/e.mp3 to playlist list.m3u.\n"
            "Updating channel untagged...\n"
            " * spool2/notes.txt (unknown size)\n"),
            stderr="Error setting tags for file spool/notes.txt.\n"
                   "Error opening playlist file nodir/list.m3u: No such file or directory.\n")
        # Year 0 means no year: the file carries none.
        tags = MP3(self.path("spool/e.mp3")).tags
        self.assertTrue(tags is None or "TDRC" not in tags)
        self.assertState("untagged", [text])


if __name__ == "__main__":
    unittest.main()
