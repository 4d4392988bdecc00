"""The command line and the run driver: options, exit statuses, the state
directory, the configuration file and the selection of channels."""

import os
import unittest

from harness import VERSION as BUILD_VERSION, SkifferTestCase, rss

INCOMPATIBLE = "option parsing failed: options are incompatible.\n"
MODES_INCOMPATIBLE = ("option parsing failed: --catchup, --list and --version options "
                      "are incompatible.\n")
VERSION = ("skiffer %s with taglib support\n" % BUILD_VERSION +
           "Written by the skiffer developers; free software, no warranty.\n")


class OptionTests(SkifferTestCase):
    def test_conflicting_options_fail_on_stdout_in_order(self):
        cases = [
            (["-q", "-v", "-V"], INCOMPATIBLE),  # the quiet test comes first
            (["--quiet", "--progress-bar"], INCOMPATIBLE),
            (["-c", "-l"], MODES_INCOMPATIBLE),
            (["-c", "-V"], MODES_INCOMPATIBLE),
            (["-l", "-V"], MODES_INCOMPATIBLE),
            (["-c", "-l", "-V"], MODES_INCOMPATIBLE),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assertRun(self.run_skiffer(*args), status=1, stdout=message)
        self.assertFalse(os.path.exists(self.path(".skiffer")))

    def test_parser_errors(self):
        cases = [
            (["--bogus"], "option parsing failed: Unknown option --bogus\n"),
            (["-C"], "option parsing failed: Missing argument for -C\n"),
            (["--filter"], "option parsing failed: Missing argument for --filter\n"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assertRun(self.run_skiffer(*args), status=1, stdout=message)

    def test_version_stops_before_everything_else(self):
        self.assertRun(self.run_skiffer("-V", "-v", "-n"), stdout=VERSION)
        self.assertFalse(os.path.exists(self.path(".skiffer")))

    def test_option_after_a_channel_identifier_is_an_option(self):
        self.assertRun(self.run_skiffer("somechannel", "--version"), stdout=VERSION)

    def test_help_lists_every_option(self):
        result = self.run_skiffer("--help")
        self.assertEqual(result.status, 0, result)
        self.assertIn("CHANNELS", result.stdout.splitlines()[1])
        for line in ["-c, --catchup          catch up with channels and exit",
                     "-C, --rcfile           override the default configuration file name",
                     "-1, --first-only       only process the most recent item from each channel",
                     "-f, --filter           only process items whose enclosure names match "
                     "a regular expression"]:
            self.assertIn(line, result.stdout)


class StartupTests(SkifferTestCase):
    def test_missing_configuration_after_state_directory(self):
        result = self.run_skiffer("-v", "-n")
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.stdout, "Fetching new channels only...\n")
        rc = self.path(".skifferrc")
        self.assertTrue(result.stderr.startswith("Error reading configuration file %s: " % rc),
                        result)
        self.assertTrue(result.stderr.endswith(": No such file or directory.\n"), result)
        self.assertEqual(result.stderr.count("\n"), 1, result)
        self.assertTrue(os.path.isdir(self.path(".skiffer")))
        self.assertEqual(os.stat(self.path(".skiffer")).st_mode & 0o777, 0o755)

    def test_state_directory_that_is_a_file(self):
        self.write(".skiffer", "not a directory")
        self.write_config("[*]\n")
        self.assertRun(self.run_skiffer(), status=1,
                       stderr="Error creating channel directory: File exists\n")

    def test_unreadable_configuration(self):
        self.write("bad.rc", "this is not a key file\n")
        result = self.run_skiffer("-C", "bad.rc")
        self.assertEqual(result.status, 1, result)
        self.assertTrue(result.stderr.startswith("Error reading configuration file bad.rc: "),
                        result)

    def test_relative_rcfile_is_relative_to_the_working_directory(self):
        self.write("conf/my.rc", "[only]\n")
        result = self.run_skiffer("-C", "my.rc", cwd=self.path("conf"))
        self.assertRun(result, stderr="No feed URL set for channel only.\n")

    def test_bad_key_in_defaults_ends_with_255(self):
        self.write_config("[*]\nid3year=1\ncolour=red\nid3album=x\n[a]\nurl=feed.xml\n")
        self.assertRun(self.run_skiffer(), status=255,
                       stderr="Key id3year no longer supported. Please use year_tag instead.\n"
                              "Invalid key colour in configuration of channel *.\n")

    def test_only_defaults_runs_nothing(self):
        self.write_config("[*]\nurl=http://127.0.0.1:9/feed\nspool=spool\n")
        self.assertRun(self.run_skiffer())


class ChannelSelectionTests(SkifferTestCase):
    CONFIG = "[zulu]\n[alpha]\n[*x]\n[*]\nid3title=t\n[mike]\n"

    def test_all_groups_in_key_file_order(self):
        self.write_config(self.CONFIG)
        self.assertRun(self.run_skiffer(), stderr=(
            "Key id3title no longer supported. Please use title_tag instead.\n"
            "No feed URL set for channel zulu.\n"
            "No feed URL set for channel alpha.\n"
            "No feed URL set for channel *x.\n"
            "No feed URL set for channel mike.\n"))

    def test_arguments_in_their_order_with_repeats_and_star(self):
        self.write_config(self.CONFIG)
        self.assertRun(self.run_skiffer("mike", "nope", "zulu", "mike", "*"), stderr=(
            "Key id3title no longer supported. Please use title_tag instead.\n"
            "No feed URL set for channel mike.\n"
            "Unknown channel identifier nope.\n"
            "No feed URL set for channel zulu.\n"
            "No feed URL set for channel mike.\n"
            "Key id3title no longer supported. Please use title_tag instead.\n"
            "No feed URL set for channel *.\n"))


class ChannelIdentifierTests(SkifferTestCase):
    def test_identifier_with_a_slash_is_refused(self):
        # The state file of such a channel would lie outside ~/.skiffer or
        # in a directory that does not exist.
        self.write("feed.xml", rss([{"url": "http://127.0.0.1:9/e.mp3"}]))
        self.write_config("[*]\nurl=feed.xml\nspool=spool\n"
                          "[../x]\n[a/b]\n[/tmp/abs]\n[c/]\ncolour=red\n[good]\n")
        self.assertRun(self.run_skiffer("-c"), stdout="Catching up with channel good...\n",
                       stderr="Invalid channel identifier ../x.\n"
                              "Invalid channel identifier a/b.\n"
                              "Invalid channel identifier /tmp/abs.\n"
                              "Invalid channel identifier c/.\n")
        # Named on the command line: refused when it is a group, unknown
        # when it is none.
        self.assertRun(self.run_skiffer("-c", "a/b", "../y", "good"),
                       stdout="Catching up with channel good...\n",
                       stderr="Invalid channel identifier a/b.\n"
                              "Unknown channel identifier ../y.\n")
        self.assertEqual(sorted(os.listdir(self.path(".skiffer"))), ["good.lock", "good.xml"])
        self.assertEqual(sorted(os.listdir(self.home)), [".skiffer", ".skifferrc", "feed.xml"])


class ChannelKeyTests(SkifferTestCase):
    def test_key_check_and_missing_settings(self):
        self.write_config(
            "[retired]\nid3title=x\nurl=feed.xml\n"
            "[invalid]\nid3year=1\ncolour=red\nid3album=x\n"
            "[capitals]\nURL=feed.xml\n"
            "[nothing]\n"
            "[nospool]\nurl=feed.xml\n"
            "[empty]\n"
            "[*x]\nspool=here\n")
        self.assertRun(self.run_skiffer(), stderr=(
            "Key id3title no longer supported. Please use title_tag instead.\n"
            "No spool directory set for channel retired.\n"
            "Key id3year no longer supported. Please use year_tag instead.\n"
            "Invalid key colour in configuration of channel invalid.\n"
            "Invalid key URL in configuration of channel capitals.\n"
            "No feed URL set for channel nothing.\n"
            "No spool directory set for channel nospool.\n"
            "No feed URL set for channel empty.\n"
            "No feed URL set for channel *x.\n"))

    def test_defaults_complete_url_and_spool(self):
        self.write_config("[*]\nurl=feed.xml\n[a]\n[b]\nspool=s\n[c]\nurl=\n")
        # a gets the URL but no spool; b would run; c keeps its empty URL
        # and still lacks a spool.
        result = self.run_skiffer("a", "c")
        self.assertRun(result, stderr="No spool directory set for channel a.\n"
                                      "No spool directory set for channel c.\n")

    def test_new_only_reports_missing_settings_too(self):
        self.write_config("[a]\n")
        self.write(".skiffer/a.xml", "<channel/>")
        self.assertRun(self.run_skiffer("-n"), stderr="No feed URL set for channel a.\n")


if __name__ == "__main__":
    unittest.main()
