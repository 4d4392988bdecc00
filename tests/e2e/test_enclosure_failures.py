"""One enclosure's trouble, end to end: which failures pass over a single
enclosure and which end a channel's item loop, files that belong to another
enclosure, and local names that are no file names."""

import hashlib
import os
import re
import shutil
import socket
import unittest
from urllib.parse import urlsplit

from harness import rss
from test_update import EPISODE, UpdateTestCase


def free_port():
    """A loopback port that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def hashed_name(url, extension=""):
    """The name skiffer gives an enclosure whose own name is no file name."""
    return "enclosure-" + hashlib.sha256(url.encode()).hexdigest()[:12] + extension


class FailureTestCase(UpdateTestCase):
    def run_channel(self, channel, items, *args, extra=""):
        """Runs `channel` alone over a local feed of `items`, with its own
        spool directory and playlist."""
        feed = self.write("feeds/%s.xml" % channel, rss(items))
        self.write_config("[%s]\nurl=%s\nspool=%s\nplaylist=%s.m3u\n%s"
                          % (channel, feed, channel, channel, extra))
        return self.run_skiffer("-q", *args, channel)

    def record(self, channel, *urls):
        self.write(".skiffer/%s.xml" % channel, "<channel>%s</channel>" % "".join(
            '<enclosure url="%s"/>' % url for url in urls))


class ItemLoopTests(FailureTestCase):
    """A feed of three items whose middle enclosure fails in one way or
    another: the third is taken only when the failure concerns the middle
    one alone. With -1, only the first new enclosure is tried."""

    def test_which_failures_pass_over_an_enclosure_and_which_end_the_loop(self):
        first = self.publish("first.mp3")
        third = self.publish("third.mp3")
        middle = self.publish("middle.mp3")
        self.publish("other/first.mp3", b"another episode" * 100)
        short = self.publish("short.mp3", EPISODE[:1000])
        unstated = self.server.url("no-content-range/short.mp3")
        nobody = "http://127.0.0.1:%d/middle.mp3" % free_port()
        in_the_way = EPISODE[:2000]

        def http_error(code):
            url = self.server.url("status/%d" % code)
            return dict(url=url, stderr="Error retrieving %s: The requested URL returned "
                        "error: %d\nError downloading enclosure from %s.\n" % (url, code, url))

        def no_answer(url):
            return dict(url=url, stderr=re.compile(
                "^Error retrieving %s: [^\n]+\nError downloading enclosure from %s.\n$"
                % (re.escape(url), re.escape(url))))

        # Each case: the middle enclosure's URL, standard error (SPOOL stands
        # for the spool directory), whether the loop goes on after the middle
        # item, and optionally the options, a file put in the spool before
        # (holding 2,000 bytes, and the same afterwards) and what else the
        # spool holds afterwards.
        cases = {
            "404": dict(**http_error(404), goes_on=True),
            "410": dict(**http_error(410), goes_on=True),
            "403": dict(**http_error(403), goes_on=True),
            "existing file": dict(
                url=middle, stderr="Enclosure file SPOOL/middle.mp3 already exists.\n",
                goes_on=True, in_the_way="middle.mp3"),
            "file of a recorded enclosure": dict(
                url=self.server.url("other/first.mp3"), options=["-r"], goes_on=True,
                stderr="Enclosure file SPOOL/first.mp3 already holds %s.\n" % first),
            "resume of a file longer than the enclosure": dict(
                url=short, options=["-r"], goes_on=True, in_the_way="short.mp3",
                stderr="Enclosure file SPOOL/short.mp3 cannot be resumed: it holds 2000 "
                       "bytes, the enclosure has 1000.\n"
                       "Error downloading enclosure from %s.\n" % short),
            "resume refused without a size": dict(
                url=unstated, options=["-r"], goes_on=True, in_the_way="short.mp3",
                stderr="Enclosure file SPOOL/short.mp3 cannot be resumed: the server refused "
                       "the range without stating the enclosure's size.\n"
                       "Error downloading enclosure from %s.\n" % unstated),
            "connection refused": dict(**no_answer(nobody), goes_on=False),
            "TLS": dict(**no_answer(middle.replace("http:", "https:")), goes_on=False),
            "dropped connection": dict(**no_answer(self.server.url("drop/100/middle.mp3")),
                                       goes_on=False, left={"middle.mp3"}),
            "file that cannot be opened": dict(
                url=middle, options=["-r"], goes_on=False, left={"middle.mp3"},
                stderr="Error opening enclosure file SPOOL/middle.mp3.\n"),
            "spool directory missing": dict(
                url=middle, goes_on=False, stderr="Spool directory SPOOL not found.\n"),
        }
        for number, (name, case) in enumerate(cases.items()):
            for first_only in (False, True):
                with self.subTest(name, first_only=first_only):
                    channel = "c%d%s" % (number, "-1" if first_only else "")
                    os.makedirs(self.path(channel))
                    if first_only:
                        # The first is taken already: the middle one is the
                        # first new enclosure.
                        self.record(channel, first)
                        self.write(channel + "/first.mp3", EPISODE, mode="wb")
                    if "in_the_way" in case:
                        self.write(channel + "/" + case["in_the_way"], in_the_way, mode="wb")
                    if name == "file that cannot be opened":
                        os.makedirs(self.path(channel, "middle.mp3", "inside"))
                    spool_missing = name == "spool directory missing"
                    if spool_missing:
                        shutil.rmtree(self.path(channel))
                    third_requests = len(self.requested("/third.mp3"))

                    result = self.run_channel(
                        channel, [{"url": first}, {"url": case["url"]}, {"url": third}],
                        *case.get("options", []), *(["-1"] if first_only else []))

                    self.assertEqual((result.status, result.stdout), (0, ""), result)
                    if isinstance(case["stderr"], str):
                        self.assertEqual(result.stderr, case["stderr"].replace("SPOOL", channel))
                    else:
                        self.assertRegex(result.stderr, case["stderr"])
                    took_first = first_only or not spool_missing
                    took_third = case["goes_on"] and not first_only
                    self.assertState(channel, [first] * took_first + [third] * took_third)
                    self.assertEqual(len(self.requested("/third.mp3")) - third_requests,
                                     int(took_third))
                    if spool_missing:
                        continue
                    expected = {"first.mp3"} | case.get("left", set())
                    if took_third:
                        expected.add("third.mp3")
                    if "in_the_way" in case:
                        expected.add(case["in_the_way"])
                        self.assertEqual(self.read(channel + "/" + case["in_the_way"], "rb"),
                                         in_the_way)
                    self.assertEqual(set(os.listdir(self.path(channel))), expected)
                    self.assertEqual(self.read(channel + "/first.mp3", "rb"), EPISODE)
                    # Only what was taken reaches the playlist.
                    taken = ["first.mp3"] * (took_first and not first_only) + \
                        ["third.mp3"] * took_third
                    self.assertEqual(os.path.exists(self.path(channel + ".m3u")), bool(taken))
                    if taken:
                        self.assertEqual(self.read(channel + ".m3u"), "".join(
                            "%s/%s\n" % (channel, name) for name in taken))


class CollisionTests(FailureTestCase):
    """Two enclosures with one local name: the file of the one recorded is
    never resumed nor overwritten by the other, and a 416 completes a file
    only when the server states the file's own size."""

    def test_a_file_is_never_joined_to_another_episode(self):
        old_episode = EPISODE[:5000]
        old = self.publish("ep1/audio.mp3", old_episode)
        longer = self.publish("ep2-long/audio.mp3", EPISODE[1000:10000])
        shorter = self.publish("ep2-short/audio.mp3", EPISODE[1000:4000])
        complete = self.publish("ep.mp3")
        alone = self.publish("alone/audio.mp3", EPISODE[:3000])
        holds = "Enclosure file SPOOL/audio.mp3 already holds %s.\n" % old

        # Each case: the feed's items, the URLs recorded before, the options,
        # the local file before (none: absent) and after, standard error
        # (SPOOL stands for the spool directory), the URLs recorded after,
        # and optionally the local name, the channel's extra settings and a
        # URL that must not be asked for at all.
        cases = {
            "same name without -r": dict(
                items=[longer, old], recorded=[old], options=[], before=old_episode,
                after=old_episode, stderr=holds, state=[old], not_asked=longer),
            "same name, -r, a longer second resource": dict(
                items=[longer, old], recorded=[old], options=["-r"], before=old_episode,
                after=old_episode, stderr=holds, state=[old], not_asked=longer),
            "same name, -r, a shorter second resource": dict(
                items=[shorter, old], recorded=[old], options=["-r"], before=old_episode,
                after=old_episode, stderr=holds, state=[old], not_asked=shorter),
            "same name from a pattern, both new in one run": dict(
                items=[old, longer], recorded=[], options=["-r"], before=None,
                after=old_episode, local="T - 2000-06-10.mp3", extra="filename=T - %(date).mp3\n",
                stderr="Enclosure file SPOOL/T - 2000-06-10.mp3 already holds %s.\n" % old,
                state=[old], not_asked=longer),
            "the recorded enclosure's file is gone": dict(
                items=[longer, old], recorded=[old], options=["-r"], before=None,
                after=EPISODE[1000:10000], stderr="", state=[longer, old]),
            "a file no recorded enclosure holds, longer than the enclosure": dict(
                items=[alone], recorded=[], options=["-r"], before=old_episode,
                after=old_episode, state=[],
                stderr="Enclosure file SPOOL/audio.mp3 cannot be resumed: it holds 5000 bytes, "
                       "the enclosure has 3000.\nError downloading enclosure from %s.\n" % alone),
            "a tracking query changed on a complete file": dict(
                items=[complete + "?src=new"], recorded=[complete + "?src=old"], options=["-r"],
                before=EPISODE, after=EPISODE, local="ep.mp3", stderr="",
                state=[complete + "?src=new", complete + "?src=old"]),
        }
        for number, (name, case) in enumerate(cases.items()):
            with self.subTest(name):
                channel = "c%d" % number
                local = case.get("local", "audio.mp3")
                os.makedirs(self.path(channel))
                if case["recorded"]:
                    self.record(channel, *case["recorded"])
                if case["before"] is not None:
                    self.write(channel + "/" + local, case["before"], mode="wb")
                not_asked = urlsplit(case.get("not_asked", "")).path
                asked_before = len(self.requested(not_asked))
                items = [{"url": url, "pubDate": "Sat, 10 Jun 2000 04:00:00 GMT"}
                         for url in case["items"]]

                result = self.run_channel(channel, items, *case["options"],
                                          extra=case.get("extra", ""))

                self.assertRun(result, stderr=case["stderr"].replace("SPOOL", channel))
                self.assertEqual(self.read(channel + "/" + local, "rb"), case["after"])
                self.assertState(channel, sorted(case["state"]))
                if not_asked:
                    self.assertEqual(len(self.requested(not_asked)), asked_before)
                if name.startswith("a tracking query"):
                    # Judged by a request from the file's size on; taken
                    # like any download.
                    self.assertEqual(self.server.requests[-1]["headers"]["Range"],
                                     "bytes=%d-" % len(EPISODE))
                    self.assertEqual(self.read(channel + ".m3u"), channel + "/ep.mp3\n")


class NameTests(FailureTestCase):
    """Names that would be the spool directory or its parent, or that are
    longer than the file system allows."""

    def test_names_that_are_no_file_names_come_from_the_url(self):
        for name in ("e1.mp3", "e2.mp3", "e3.mp3", "e4.mp3"):
            self.publish(name)
        by_query = self.server.url("dl/?e1.mp3")
        untyped = self.server.url("dl/?e2.mp3")
        dot = self.server.url("e3.mp3")
        dots = self.server.url("e4.mp3")
        items = [{"url": by_query, "type": "audio/mpeg"},
                 {"url": untyped, "type": "application/octet-stream"}]
        titled = [{"title": ".", "url": dot}, {"title": "..", "url": dots, "type": "audio/x-m4a"}]
        os.makedirs(self.path("plain"))
        os.makedirs(self.path("titled"))
        home_before = set(os.listdir(self.home))

        for run in range(2):
            with self.subTest(run=run):
                self.assertRun(self.run_channel("plain", items))
                self.assertRun(self.run_channel("titled", titled, extra="filename=%(title)\n"))
                self.assertEqual(sorted(os.listdir(self.path("plain"))),
                                 sorted([hashed_name(by_query, ".mp3"), hashed_name(untyped)]))
                self.assertEqual(sorted(os.listdir(self.path("titled"))),
                                 sorted([hashed_name(dot, ".mp3"), hashed_name(dots, ".m4a")]))
                for spool in ("plain", "titled"):
                    for name in os.listdir(self.path(spool)):
                        self.assertEqual(self.read(spool + "/" + name, "rb"), EPISODE)
                self.assertEqual(self.read("titled.m3u"), "titled/%s\ntitled/%s\n" % (
                    hashed_name(dot, ".mp3"), hashed_name(dots, ".m4a")))
                self.assertState("titled", [dot, dots])
        # Nothing landed beside the spool directories.
        self.assertEqual(set(os.listdir(self.home)) - home_before,
                         {"plain.m3u", "titled.m3u", "feeds", ".skiffer", ".skifferrc"})

    def test_a_title_too_long_for_the_file_system_is_shortened(self):
        url = self.publish("e.mp3")
        os.makedirs(self.path("pod"))
        limit = os.pathconf(self.path("pod"), "PC_NAME_MAX")
        title = "\u00e9" * 5000
        for run in range(2):
            with self.subTest(run=run):
                self.assertRun(self.run_channel("pod", [{"title": title, "url": url}],
                                                extra="filename=%(title).mp3\n"))
        stem = "\u00e9" * ((limit - 4) // 2)
        self.assertEqual(os.listdir(self.path("pod")), [stem + ".mp3"])
        self.assertEqual(self.read("pod/" + stem + ".mp3", "rb"), EPISODE)
        self.assertState("pod", [url])


if __name__ == "__main__":
    unittest.main()
