"""The Debian package that cpack builds: its control fields, dependencies
found from the libraries the programs link, the files it installs, and the
unpacked programs running."""

import glob
import os
import re
import shutil
import subprocess
import tempfile

from harness import VERSION, SkifferTestCase
from system import BUILD
from test_install import expected_files

CPACK = os.environ.get("SKIFFER_CPACK", "cpack")


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
                      "Maintainer: ", "Description: download new podcast episodes"]:
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
        self.assertEqual(files, expected_files("/usr"))
        for line in listing.splitlines():
            self.assertRegex(line, r"^\S+ root/root ", line)

    def test_unpacked_programs_run(self):
        root = self.path("root")
        subprocess.run(["dpkg-deb", "-x", self.package, root], check=True, timeout=60)
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
