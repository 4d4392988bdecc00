"""The Debian package that cpack builds: its control fields, dependencies
found from the libraries the programs link, the files it installs, what
lintian makes of it, and the unpacked programs running."""

import glob
import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import VERSION, SkifferTestCase
from system import BUILD, SOURCE
from test_install import expected_files

CPACK = os.environ.get("SKIFFER_CPACK", "cpack")
DOC = "/usr/share/doc/skiffer/"


def packaged_files():
    """What `cmake --install` installs under /usr, with the man pages
    compressed, and the two files that Debian asks of every package."""
    files = [path + ".gz" if path.startswith("/usr/share/man/") else path
             for path in expected_files("/usr")]
    return sorted(files + [DOC + "copyright", DOC + "changelog.gz"])


class PackageTests(SkifferTestCase):
    @classmethod
    def setUpClass(cls):
        # Built once for all the tests, into a directory of its own: the
        # build directory gets no package.
        cls.output = tempfile.mkdtemp(prefix="skiffer-package-")
        completed = subprocess.run(
            [CPACK, "-G", "DEB", "-B", cls.output, "--config",
             os.path.join(BUILD, "CPackConfig.cmake")],
            cwd=BUILD, capture_output=True, text=True, timeout=300)
        cls.cpack = completed
        cls.packages = glob.glob(os.path.join(cls.output, "*.deb"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.output, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.assertEqual(self.cpack.returncode, 0, self.cpack.stdout + self.cpack.stderr)
        self.assertEqual(len(self.packages), 1, self.packages)
        self.package = self.packages[0]

    def dpkg_deb(self, option, *fields):
        completed = subprocess.run(["dpkg-deb", option, self.package, *fields],
                                   capture_output=True, text=True, timeout=60)
        self.assertEqual((completed.returncode, completed.stderr), (0, ""), completed)
        return completed.stdout

    def test_control_fields(self):
        self.assertEqual(os.path.basename(self.package),
                         "skiffer_%s_%s.deb" % (VERSION, self.dpkg_deb("-f", "Architecture")
                                                .strip()))
        info = self.dpkg_deb("-I")
        for field in ["Package: skiffer", "Version: %s" % VERSION, "Section: sound",
                      "Priority: optional", "Maintainer: ",
                      "Description: download new podcast episodes"]:
            self.assertIn(" " + field, info)

    def test_dependencies_come_from_the_linked_libraries(self):
        depends = self.dpkg_deb("-f", "Depends").strip()
        packages = {re.match(r"\s*([^\s(]+)", item).group(1) for item in depends.split(",")}
        for library in ["libcurl4", "libxml2", "libglib2.0-0", "libtag1v5", "libc6"]:
            self.assertIn(library, packages, depends)
        # Versions that dpkg-shlibdeps found in the libraries' symbols files.
        self.assertRegex(depends, r"libglib2\.0-0 \(>= [\d.]+\)")

    def test_contents(self):
        listing = self.dpkg_deb("-c")
        files = sorted(line.split()[-1][1:] for line in listing.splitlines()
                       if not line.startswith("d"))
        self.assertEqual(files, packaged_files())
        for line in listing.splitlines():
            self.assertRegex(line, r"^\S+ root/root ", line)

    @unittest.skipUnless(shutil.which("lintian"), "lintian is not installed")
    def test_lintian_finds_no_error_or_warning(self):
        completed = subprocess.run(["lintian", "--fail-on", "error,warning", self.package],
                                   capture_output=True, text=True, timeout=600,
                                   env=self.environment())
        tags = [line for line in completed.stdout.splitlines() if line[:2] in ("E:", "W:")]
        self.assertEqual((completed.returncode, tags), (0, []), completed)

    def test_unpacked_programs_run(self):
        root = self.unpack()
        result = self.run_skiffer("--version", binary=root + "/usr/bin/skiffer")
        self.assertEqual(result.status, 0, result)
        self.assertTrue(result.stdout.startswith("skiffer %s " % VERSION), result)
        result = self.run_skiffer("--help", binary=root + "/usr/bin/skiffer-opml")
        self.assertEqual(result.status, 0, result)
        self.assertIn("import FILE | export", result.stdout)
        with open(root + "/usr/lib/systemd/user/skiffer.service") as unit:
            self.assertIn("\nExecStart=/usr/bin/skiffer -q -j 4\n", unit.read())
        with open(root + "/usr/share/doc/skiffer/examples/skifferrc") as example:
            self.assertTrue(example.read().startswith("# Example configuration for skiffer."))

    def test_man_pages_and_changelog_are_packed_with_gzip_9n(self):
        root = self.unpack()
        for page in ["man1/skiffer.1", "man1/skiffer-opml.1", "man5/skifferrc.5"]:
            with self.subTest(page=page):
                with open(os.path.join(BUILD, "doc", os.path.basename(page)), "rb") as built:
                    self.assertEqual(self.unpacked_gzip(root + "/usr/share/man/%s.gz" % page),
                                     built.read())
        changelog = self.unpacked_gzip(root + DOC + "changelog.gz").decode()
        self.assertRegex(changelog, r"^skiffer \(%s\) unstable; urgency=medium\n\n  \* "
                         % re.escape(VERSION))
        self.assertRegex(changelog, r"\n -- .+ <.+>  \w{3}, \d\d \w{3} \d{4} "
                         r"\d\d:\d\d:\d\d \+0000\n$")

    def test_copyright_file_carries_the_licence(self):
        with open(os.path.join(SOURCE, "LICENSE")) as licence:
            licence_text = licence.read().split("the skiffer developers\n\n", 1)[1]
        with open(self.unpack() + DOC + "copyright") as copyright_file:
            copyright_text = copyright_file.read()
        self.assertTrue(copyright_text.startswith(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"))
        _, field = copyright_text.split(
            "\nFiles: *\nCopyright: 2026 the skiffer developers\nLicense: Expat\n")
        # Each line of the field is indented by one space, and " ." stands
        # for an empty line.
        lines = ["" if line == " ." else line[1:] for line in field.splitlines()]
        self.assertEqual("\n".join(lines) + "\n", licence_text)

    def unpack(self):
        root = self.path("root")
        subprocess.run(["dpkg-deb", "-x", self.package, root], check=True, timeout=60)
        return root

    def unpacked_gzip(self, path):
        """The content of the gzip file at `path`, checked to be packed as
        `gzip -9n` packs: no file name, no time stamp, best compression, so
        that the same text always gives the same bytes."""
        with open(path, "rb") as packed:
            data = packed.read()
        flags_name, mtime, extra_flags = data[3] & 0x08, data[4:8], data[8]
        self.assertEqual((data[:3], flags_name, mtime, extra_flags),
                         (b"\x1f\x8b\x08", 0, b"\0\0\0\0", 2), path)
        return gzip.decompress(data)
