"""skiffer-opml: importing OPML subscription lists into the configuration
file and exporting the channels, run as a user would run it."""

import os
import stat
import subprocess

from harness import DATA, OPML_BINARY, VERSION, SkifferTestCase, rss

OPML = os.path.join(DATA, "opml")

# A configuration written by hand: comments, odd spacing, no final newline.
EXISTING = ("# my podcasts\n"
            "[*]\n"
            "spool = /srv/podcasts\n"
            "\n"
            "[harbour-notes]\n"
            "url=https://example.org/harbour/feed.xml\n"
            "filename=%(title).mp3   # trailing text is part of the value")


# The outlines of an app's export: the attributes of each besides type and
# text, as written in the file, and the URL of the channel it becomes, or
# None when it cannot become one.
OUTLINES = [
    ('xmlUrl="feed://example.org/1.xml"', "http://example.org/1.xml"),
    ('xmlUrl="itpc://example.org/2.xml"', "http://example.org/2.xml"),
    ('xmlUrl="pcast://example.org/3.xml"', "http://example.org/3.xml"),
    ('xmlUrl="podcast://example.org/4.xml"', "http://example.org/4.xml"),
    ('xmlUrl="feed:https://example.org/5.xml"', "https://example.org/5.xml"),
    ('xmlUrl="feed:http://example.org/6.xml?a=1&amp;b=2"', "http://example.org/6.xml?a=1&b=2"),
    ('xmlUrl="FEED://Example.org/7.xml"', "http://Example.org/7.xml"),
    ('xmlUrl="Itpc://example.org/8.xml"', "http://example.org/8.xml"),
    ('xmlUrl="PCast://example.org/9.xml"', "http://example.org/9.xml"),
    ('xmlUrl="PODCAST://example.org/10.xml"', "http://example.org/10.xml"),
    ('xmlUrl="Feed:HTTPS://example.org/11.xml"', "HTTPS://example.org/11.xml"),
    ('xmlUrl="fEED:Http://example.org/12.xml"', "Http://example.org/12.xml"),
    ('xmlUrl="  feed://example.org/13.xml "', "http://example.org/13.xml"),
    ('xmlUrl="https://example.org/14.xml"', "https://example.org/14.xml"),
    ('xmlUrl="file:///home/me/feed.xml"', None),
    ('xmlUrl="/home/me/feed.xml"', None),
    ('xmlUrl=""', None),
    ('xmlUrl="feed:ftp://example.org/x.xml"', None),
    ('xmlUrl="feed://"', None),
    ('xmlUrl="itpc:example.org/x.xml"', None),
    ('xmlUrl="https://example.org/x.xml&#10;spool=/etc&#10;[other]"', None),
    ('xmlUrl="feed://example.org/x&#13;.xml"', None),
    ('xmlUrl="https://example.org/x&#9;.xml"', None),
    ('xmlUrl="https://example.org/x&#127;.xml"', None),
    ('htmlUrl="https://example.org/"', None),
]


def groups_of(text):
    """The (group, url) pairs of a key file, in order, by a plain reading."""
    pairs, group = [], None
    for line in text.splitlines():
        if line.startswith("[") and line.endswith("]"):
            group = line[1:-1]
            pairs.append([group, None])
        elif line.startswith("url=") and group is not None:
            pairs[-1][1] = line[4:]
    return [tuple(pair) for pair in pairs]


class ImportTests(SkifferTestCase):
    def setUp(self):
        super().setUp()
        self.spool = self.path("pods")

    def import_opml(self, name, *options):
        return self.run_opml("-s", self.spool, *options, "import", os.path.join(OPML, name))

    def test_import_appends_groups_and_keeps_every_byte(self):
        rc = self.write_config(EXISTING)
        os.chmod(rc, 0o640)
        result = self.import_opml("folders.opml")
        self.assertRun(
            result,
            stdout="Added channel the-morning-brief "
                   "(http://feeds.example.com/morning?format=rss&lang=en).\n"
                   "Added channel cafe-uberall (https://example.net/cafe.rss).\n"
                   "Added channel Tideline (https://tideline.example.org/rss).\n",
            stderr="Skipping https://example.org/harbour/feed.xml: channel harbour-notes "
                   "has the same URL.\n"
                   "Skipping https://example.org/harbour/feed.xml: channel harbour-notes "
                   "has the same URL.\n")
        self.assertEqual(self.read(".skifferrc"), EXISTING + "\n\n" + (
            "[the-morning-brief]\n"
            "url=http://feeds.example.com/morning?format=rss&lang=en\n"
            "spool=%s/the-morning-brief\n"
            "\n"
            "[cafe-uberall]\n"
            "url=https://example.net/cafe.rss\n"
            "spool=%s/cafe-uberall\n"
            "\n"
            "[Tideline]\n"
            "url=https://tideline.example.org/rss\n"
            "spool=%s/Tideline\n") % ((self.spool,) * 3))
        self.assertEqual(stat.S_IMODE(os.stat(rc).st_mode), 0o640)
        self.assertEqual(sorted(os.listdir(self.spool)),
                         ["Tideline", "cafe-uberall", "the-morning-brief"])
        self.assertEqual(sorted(os.listdir(self.home)), [".skifferrc", "pods"])

        # Everything is known now: the file is left as it is.
        before = self.read(".skifferrc")
        result = self.import_opml("folders.opml")
        self.assertEqual((result.status, result.stdout),
                         (0, "No new channels in OPML file %s.\n"
                          % os.path.join(OPML, "folders.opml")), result)
        self.assertEqual(result.stderr.count("Skipping "), 5, result)
        self.assertEqual(self.read(".skifferrc"), before)

    def test_imported_channels_download_with_skiffer(self):
        self.write("www/one.mp3", b"12345", mode="wb")
        self.write("www/feed.xml", rss([{"title": "One", "url": self.server.url("one.mp3"),
                                         "length": "5"}], title="Loopback Radio"))
        self.write("list.opml",
                   '<?xml version="1.0"?>\n<opml version="2.0"><body><outline text="Folder">'
                   '<outline type="rss" text="Loopback Radio" xmlUrl="%s"/>'
                   '</outline></body></opml>\n' % self.server.url("feed.xml"))
        # A relative spool root is written as an absolute path.
        result = self.run_opml("-s", "pods", "import", "list.opml")
        self.assertEqual(result.status, 0, result)
        self.assertIn("spool=%s/loopback-radio\n" % self.spool, self.read(".skifferrc"))
        result = self.run_skiffer("-q", cwd="/")
        self.assertRun(result)
        self.assertEqual(self.read("pods/loopback-radio/one.mp3", "rb"), b"12345")
        self.assertTrue(os.path.exists(self.path(".skiffer/loopback-radio.xml")))

    def test_dry_run_prints_the_groups_and_changes_nothing(self):
        self.write_config(EXISTING)
        mtime = os.stat(self.path(".skifferrc")).st_mtime_ns
        result = self.import_opml("flat.opml", "--dry-run")
        self.assertEqual((result.status, result.stderr), (0, ""), result)
        self.assertEqual(groups_of(result.stdout), [
            ("radio-bremerhaven-nachrichten-mehr-fur-sie", "http://radio.example.de/news.xml"),
            ("Lectures", "https://lectures.example.edu/podcast.rss"),
            ("Lectures-2", "https://lectures.example.edu/extra.rss"),
            ("pod-example-com", "https://www.pod.example.com/feed"),
            ("spaced-out", "https://space.example.org/feed.xml")])
        self.assertIn("spool=%s/Lectures-2\n" % self.spool, result.stdout)
        self.assertEqual(self.read(".skifferrc"), EXISTING)
        self.assertEqual(os.stat(self.path(".skifferrc")).st_mtime_ns, mtime)
        self.assertFalse(os.path.exists(self.spool))

    def test_import_makes_a_missing_configuration_file(self):
        result = self.import_opml("untitled.opml", "-C", self.path("new.rc"))
        self.assertEqual(result.status, 0, result)
        self.assertEqual(groups_of(self.read("new.rc")), [
            ("feeds-example-com", "https://feeds.example.com/a.xml"),
            ("feeds-example-com-2", "https://feeds.example.com/b.xml"),
            ("example-jp", "https://example.jp/radio")])
        self.assertTrue(self.read("new.rc").startswith("[feeds-example-com]\n"))

    def test_import_replaces_the_target_of_a_symbolic_link(self):
        self.write("dotfiles/skifferrc", "[old]\nurl=https://example.org/old.xml\n")
        os.symlink(self.path("dotfiles/skifferrc"), self.path(".skifferrc"))
        result = self.import_opml("character-references.opml")
        self.assertEqual(result.status, 0, result)
        self.assertTrue(os.path.islink(self.path(".skifferrc")))
        self.assertEqual(groups_of(self.read("dotfiles/skifferrc")), [
            ("old", "https://example.org/old.xml"),
            ("creme-brulee", "https://example.org/creme.xml?a=1&b=2")])
        self.assertEqual(os.listdir(self.path("dotfiles")), ["skifferrc"])

    def test_subscribe_links_are_taken_and_unusable_outlines_skipped(self):
        # One outline a line from line 4 on, and last a feed that the first
        # already is, as an http URL.
        lines = ['<?xml version="1.0"?>', '<opml version="2.0">', "<body>"]
        lines += ['<outline type="rss" text="c%d" %s/>' % (number, attributes)
                  for number, (attributes, _) in enumerate(OUTLINES, 1)]
        lines += ['<outline type="rss" text="again" xmlUrl="http://example.org/1.xml"/>',
                  "</body>", "</opml>", ""]
        opml = self.write("apps.opml", "\n".join(lines))
        added, groups, skipped = [], [], []
        for number, (attributes, url) in enumerate(OUTLINES, 1):
            if url is None:
                reason = ("its xmlUrl is not an http or https URL" if "xmlUrl" in attributes
                          else "it has type rss but no xmlUrl")
                skipped.append("Skipping the outline on line %d of OPML file %s: %s.\n"
                               % (number + 3, opml, reason))
            else:
                added.append("Added channel c%d (%s).\n" % (number, url))
                groups.append("[c%d]\nurl=%s\nspool=%s/c%d\n" % (number, url, self.spool, number))
        stderr = "".join(skipped) + ("Skipping http://example.org/1.xml: channel c1 has the "
                                     "same URL.\n")
        self.write_config(EXISTING)

        # The rest is imported, and the status tells that something was
        # left out: with --dry-run, for real, and when nothing is new.
        self.assertRun(self.run_opml("-n", "-s", self.spool, "import", opml), status=1,
                       stdout="\n".join(groups), stderr=stderr)
        self.assertEqual(self.read(".skifferrc"), EXISTING)
        self.assertRun(self.run_opml("-s", self.spool, "import", opml), status=1,
                       stdout="".join(added), stderr=stderr)
        self.assertEqual(self.read(".skifferrc"), EXISTING + "\n\n" + "\n".join(groups))
        self.assertEqual(len(os.listdir(self.spool)), len(groups))
        result = self.run_opml("-s", self.spool, "import", opml)
        self.assertEqual((result.status, result.stdout),
                         (1, "No new channels in OPML file %s.\n" % opml), result)
        self.assertTrue(result.stderr.startswith("".join(skipped)), result)

    def test_hostile_or_broken_files_change_nothing(self):
        big = self.write("big.opml", '<?xml version="1.0"?><opml><body/></opml><!--'
                         + "x" * (8 << 20) + "-->")
        cases = [
            ("entity-bomb.opml", "line 3: entity declarations are not accepted"),
            ("external-entity.opml", "line 3: entity declarations are not accepted"),
            ("malformed.opml", "line 8: Premature end of data in tag opml line 2"),
            ("not-opml.xml", "the top-level element is not opml"),
            (big, "larger than 8 MiB"),
            (self.path("absent.opml"), "No such file or directory"),
            (self.home, "Is a directory"),
        ]
        self.write_config(EXISTING)
        for name, reason in cases:
            with self.subTest(name=name):
                path = os.path.join(OPML, name)
                self.assertRun(self.import_opml(name), status=1,
                               stderr="Error reading OPML file %s: %s.\n" % (path, reason))
                self.assertEqual(self.read(".skifferrc"), EXISTING)
                self.assertFalse(os.path.exists(self.spool))

    def test_unreadable_configuration_changes_nothing(self):
        self.write_config("not a key file\n")
        result = self.import_opml("folders.opml")
        self.assertEqual(result.status, 1, result)
        self.assertTrue(result.stderr.startswith(
            "Error reading configuration file %s: " % self.path(".skifferrc")), result)
        self.assertEqual(self.read(".skifferrc"), "not a key file\n")
        self.assertFalse(os.path.exists(self.spool))

    def test_failed_writes_undo_the_new_directories(self):
        # The configuration's directory does not exist: the temporary file
        # cannot be made, after the spool directories were.
        result = self.import_opml("untitled.opml", "-C", self.path("no/such/dir/rc"))
        self.assertRun(result, status=1,
                       stderr="Error opening temporary file: No such file or directory\n")
        self.assertFalse(os.path.exists(self.spool))

        # A spool root below a file cannot be made at all: the file stands
        # where a directory must be.
        self.write("plain-file", "")
        self.spool = self.path("plain-file/pods")
        result = self.import_opml("untitled.opml")
        self.assertRun(result, status=1,
                       stderr="Error creating spool directory %s: File exists.\n"
                       % self.path("plain-file"))
        self.assertFalse(os.path.exists(self.path(".skifferrc")))


class CommandLineTests(SkifferTestCase):
    def test_usage_errors(self):
        opml = os.path.join(OPML, "folders.opml")
        cases = [
            ([], "no command given (import FILE or export)"),
            (["update"], "unknown command update"),
            (["-s", "d", "import"], "import takes one OPML file"),
            (["-s", "d", "import", opml, opml], "import takes one OPML file"),
            (["import", opml], "import needs --spool-root DIRECTORY"),
            (["export", "x"], "export takes no arguments"),
            (["-n", "export"], "--spool-root and --dry-run go with import"),
            (["--bogus", "export"], "Unknown option --bogus"),
            (["export", "-C"], "Missing argument for -C"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assertRun(self.run_opml(*args), status=1,
                               stderr="option parsing failed: %s\n" % message)
        self.assertEqual(os.listdir(self.home), [])

    def test_version_and_help(self):
        self.assertRun(self.run_opml("--version"), stdout="skiffer-opml %s\n" % VERSION)
        result = self.run_opml("--help")
        self.assertEqual(result.status, 0, result)
        for text in ["import FILE | export", "import FILE    add the feeds of an OPML file",
                     "-s, --spool-root=DIRECTORY", "-n, --dry-run", "-C, --rcfile=FILE"]:
            self.assertIn(text, result.stdout)


class ExportTests(SkifferTestCase):
    CONFIG = ("[*]\nspool=/srv/p\n"
              "[harbour-notes]\nurl=https://example.org/harbour/feed.xml\n"
              "[local]\nurl=/home/me/feed.xml\n"
              "[Lectures_2026]\nurl=http://example.edu/l.rss?x=1&y=2\n")

    def test_export_prints_an_opml_document(self):
        self.write_config(self.CONFIG)
        self.assertRun(
            self.run_opml("export"),
            stdout='<?xml version="1.0" encoding="UTF-8"?>\n'
                   '<opml version="2.0">\n'
                   '  <head>\n'
                   '    <title>skiffer channels</title>\n'
                   '  </head>\n'
                   '  <body>\n'
                   '    <outline type="rss" text="harbour-notes" title="harbour-notes" '
                   'xmlUrl="https://example.org/harbour/feed.xml"/>\n'
                   '    <outline type="rss" text="Lectures_2026" title="Lectures_2026" '
                   'xmlUrl="http://example.edu/l.rss?x=1&amp;y=2"/>\n'
                   '  </body>\n'
                   '</opml>\n',
            stderr="Channel local has no http or https URL; not exported.\n")

    def test_round_trip_into_an_empty_configuration(self):
        self.write("a.rc", self.CONFIG)
        exported = self.run_opml("-C", self.path("a.rc"), "export")
        self.assertEqual(exported.status, 0, exported)
        self.write("export.opml", exported.stdout)
        result = self.run_opml("-C", self.path("b.rc"), "-s", self.path("pods"),
                               "import", "export.opml")
        self.assertEqual((result.status, result.stderr), (0, ""), result)
        self.assertEqual(groups_of(self.read("b.rc")),
                         [group for group in groups_of(self.CONFIG)
                          if group[0] not in ("*", "local")])

    def test_export_errors(self):
        result = self.run_opml("export")
        self.assertEqual(result.status, 1, result)
        self.assertTrue(result.stderr.startswith(
            "Error reading configuration file %s: " % self.path(".skifferrc")), result)
        self.assertEqual(result.stdout, "", result)

        self.write_config(self.CONFIG)
        with open("/dev/full", "w") as full:
            completed = subprocess.run([OPML_BINARY, "export"], stdin=subprocess.DEVNULL,
                                       stdout=full, stderr=subprocess.PIPE,
                                       env=self.environment(), cwd=self.home, timeout=120)
        self.assertEqual((completed.returncode, completed.stderr.decode()),
                         (1, "Channel local has no http or https URL; not exported.\n"
                          "Error writing standard output: No space left on device.\n"))
