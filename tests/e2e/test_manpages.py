"""The man pages: formatted without a warning by man and groff, with the
sections a user looks for, and naming every option and key there is."""

import os
import re
import subprocess

from harness import VERSION, SkifferTestCase
from system import BUILD, PROGRAMS, help_options

PAGES = ["skiffer.1", "skiffer-opml.1", "skifferrc.5"]
KEYS = ["url", "spool", "filename", "playlist", "artist_tag", "title_tag", "album_tag",
        "genre_tag", "year_tag", "comment_tag", "filter"]
RETIRED = ["id3contentgroup", "id3leadartist", "id3title", "id3album", "id3contenttype",
           "id3year", "id3comment"]


def page_path(page):
    return os.path.join(BUILD, "doc", page)


class ManPageTests(SkifferTestCase):
    def render(self, page):
        """The page as man shows it in 80 columns, checked for warnings."""
        environment = self.environment({"LANG": "C.UTF-8", "MANWIDTH": "80",
                                        "MAN_KEEP_FORMATTING": ""})
        man = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", page_path(page)],
                             capture_output=True, text=True, env=environment, timeout=60)
        self.assertEqual((man.returncode, man.stderr), (0, ""), page)
        groff = subprocess.run(["groff", "-ww", "-z", "-man", "-Tutf8", page_path(page)],
                               capture_output=True, text=True, env=environment, timeout=60)
        self.assertEqual((groff.returncode, groff.stderr), (0, ""), page)
        # Plain text: no overstriking, no hyphens turned into other characters.
        return re.sub(r".\x08", "", man.stdout).replace("\u2010", "-").replace("\u2212", "-")

    def test_pages_format_without_warnings_and_carry_the_version(self):
        for page in PAGES:
            with self.subTest(page=page):
                text = self.render(page)
                self.assertIn("skiffer %s" % VERSION, text)
                self.assertNotIn("@", text.replace("example.org", ""))

    def test_sections(self):
        expected = {
            "skiffer.1": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FILES", "ENVIRONMENT",
                          "EXIT STATUS", "EXAMPLES", "SEE ALSO"],
            "skiffer-opml.1": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS",
                               "EXAMPLES", "SEE ALSO"],
            "skifferrc.5": ["NAME", "SYNOPSIS", "DESCRIPTION", "KEYS", "FILE NAMES", "FILTERS",
                            "EXAMPLE", "SEE ALSO"],
        }
        for page, sections in expected.items():
            with self.subTest(page=page):
                found = re.findall(r"^([A-Z][A-Z ]+)$", self.render(page), re.M)
                self.assertEqual([s for s in found if s in sections], sections)

    def test_every_option_is_documented(self):
        for program, binary in PROGRAMS.items():
            with self.subTest(program=program):
                text = self.render(program + ".1")
                for option in help_options(binary):
                    self.assertRegex(text, r"(?<![\w-])%s(?![\w-])" % re.escape(option))

    def test_skiffer_page_shows_the_environment_and_scheduling(self):
        text = self.render("skiffer.1")
        for word in ["HOME", "COLUMNS", "http_proxy", "HTTPS_PROXY", "NO_PROXY",
                     "systemctl --user enable --now skiffer.timer",
                     "* * * * nice -n 19 ionice -c 3 skiffer -q -j 4", "skifferrc(5)"]:
            self.assertIn(word, text)

    def test_skifferrc_page_names_every_key_and_removed_character(self):
        text = self.render("skifferrc.5")
        for key in KEYS + RETIRED + ["%(date)", "%(title)", "%(channel_title)"]:
            self.assertRegex(text, r"(?<![\w])%s(?![\w])" % re.escape(key))
        self.assertIn('/ \\ ? % * : | " < > , \'', text)
