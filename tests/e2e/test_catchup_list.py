"""Catch-up and list modes end to end: what they print, what they record,
and that they never download."""

import os
import unittest

from harness import STAMP, SkifferTestCase, rss


class CatchupListTests(SkifferTestCase):
    def setUp(self):
        super().setUp()
        self.urls = ["http://127.0.0.1:9/e%d.mp3" % n for n in range(1, 5)]
        self.write("feed.xml", rss([
            {"url": self.urls[0], "length": 2500000},
            {"title": "no enclosure"},
            {"url": self.urls[1]},
            {"url": self.urls[2], "length": 999},
            {"url": self.urls[2]},
            {"url": self.urls[3], "length": -5},
        ]))
        # The spool directory does not exist: neither mode ever looks at it.
        self.write_config("[pod]\nurl=feed.xml\nspool=nowhere\n")
        self.write(".skiffer/pod.xml", '<channel><enclosure url="%s" downloadtime="then"/>'
                                       '</channel>' % self.urls[3])

    def test_catchup_records_every_new_enclosure_once(self):
        self.assertRun(self.run_skiffer("-c", "-v"), stdout=(
            "Catching up with channel pod...\n"
            " * %s (2.5\u00a0MB)\n"
            " * %s (unknown size)\n"
            " * %s (999 bytes)\n" % tuple(self.urls[:3])))
        # Entries stand in URL order, whatever the order of taking.
        self.assertRegex(self.read(".skiffer/pod.xml"), "".join([
            '^<\\?xml version="1.0" encoding="UTF-8"\\?>\n',
            '<channel version="1.0" rsslastfetched="%s">\n' % STAMP,
            *('  <enclosure url="%s" downloadtime="%s"/>\n' % (url, STAMP)
              for url in self.urls[:3]),
            '  <enclosure url="%s" downloadtime="then"/>\n' % self.urls[3],
            '</channel>\n$']))

        self.assertRun(self.run_skiffer("-c", "-q"))
        self.assertRun(self.run_skiffer("-c"), stdout="Catching up with channel pod...\n")

    def test_list_reports_without_recording(self):
        before = self.read(".skiffer/pod.xml")
        expected = ("Listing channel pod...\n"
                    " * %s (2.5\u00a0MB)\n"
                    " * %s (unknown size)\n"
                    " * %s (999 bytes)\n"
                    " * %s (unknown size)\n" % tuple(self.urls[:3] + [self.urls[2]]))
        self.assertRun(self.run_skiffer("-l", "-v"), stdout=expected)
        self.assertRun(self.run_skiffer("-l", "-v", "-1"), stdout=expected.split(" (2.5")[0]
                       + " (2.5\u00a0MB)\n")
        self.assertRun(self.run_skiffer("-l", "-q"), stdout="Listing channel pod...\n")
        self.assertEqual(self.read(".skiffer/pod.xml"), before)
        self.assertFalse(os.path.exists(self.path("nowhere")))

    def test_sizes_are_read_as_64_bit_numbers(self):
        # Feed length text, and the size the list shows for it.
        cases = [
            ("4294967396", "4.3\u00a0GB"),
            ("3000000000", "3.0\u00a0GB"),
            ("9223372036854775807", "9.2\u00a0EB"),
            (" 42", "42 bytes"),
            ("+42", "42 bytes"),
            ("42abc", "42 bytes"),
            ("", "unknown size"),
            ("abc", "unknown size"),
            ("0", "unknown size"),
            ("-5", "unknown size"),
            ("-4294967396", "unknown size"),
            ("9223372036854775808", "unknown size"),
            ("99999999999999999999", "unknown size"),
        ]
        urls = ["http://127.0.0.1:9/s%d.mp3" % n for n in range(len(cases))]
        self.write("feed.xml", rss([{"url": url, "length": length}
                                    for url, (length, _) in zip(urls, cases)]))
        self.assertRun(self.run_skiffer("-l", "-v"), stdout="Listing channel pod...\n" + "".join(
            " * %s (%s)\n" % (url, shown) for url, (_, shown) in zip(urls, cases)))

    def test_list_of_a_new_channel_writes_no_state(self):
        os.remove(self.path(".skiffer/pod.xml"))
        self.assertRun(self.run_skiffer("-l"), stdout="Listing channel pod...\n")
        self.assertFalse(os.path.exists(self.path(".skiffer/pod.xml")))

    def test_broken_state_file_skips_the_channel_and_stays(self):
        self.write(".skiffer/pod.xml", "<channel>")
        result = self.run_skiffer("-c")
        self.assertEqual(result.status, 0, result)
        self.assertTrue(result.stderr.endswith(
            "Error parsing channel file %s.\nError parsing channel file for channel pod.\n"
            % self.path(".skiffer/pod.xml")), result)
        self.assertEqual(result.stdout, "")
        self.assertEqual(self.read(".skiffer/pod.xml"), "<channel>")

    def test_star_as_a_channel_and_empty_feed(self):
        os.remove(self.path(".skiffer/pod.xml"))
        self.write("empty.xml", rss([]))
        self.write_config("[*]\nurl=empty.xml\nspool=s\n[pod]\n")
        self.assertRun(self.run_skiffer("-c", "*", "pod"),
                       stdout="Catching up with channel *...\nCatching up with channel pod...\n")
        for name in ("*", "pod"):
            self.assertRegex(self.read(".skiffer/%s.xml" % name),
                             '^<\\?xml version="1.0" encoding="UTF-8"\\?>\n'
                             '<channel version="1.0" rsslastfetched="%s">\n</channel>\n$' % STAMP)

    def test_empty_url_is_kept_over_the_default(self):
        self.write_config("[*]\nurl=feed.xml\nspool=s\n[pod]\nurl=\n")
        self.assertRun(self.run_skiffer("-l"), stdout="Listing channel pod...\n",
                       stderr='I/O warning : failed to load external entity ""\n'
                              "Error parsing RSS file .\n")


if __name__ == "__main__":
    unittest.main()
