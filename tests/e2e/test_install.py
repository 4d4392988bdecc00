"""What `cmake --install` puts where: the same files under any prefix and
below DESTDIR, units that name the installed program and that systemd
accepts."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import VERSION, SkifferTestCase
from system import BUILD

CMAKE = os.environ.get("SKIFFER_CMAKE", "cmake")

# Relative to the prefix; {zsh} is where Debian's zsh reads completions for
# that prefix.
EXPECTED = [
    "bin/skiffer",
    "bin/skiffer-opml",
    "share/man/man1/skiffer.1",
    "share/man/man1/skiffer-opml.1",
    "share/man/man5/skifferrc.5",
    "share/doc/skiffer/examples/skifferrc",
    "share/bash-completion/completions/skiffer",
    "share/bash-completion/completions/skiffer-opml",
    "share/fish/vendor_completions.d/skiffer.fish",
    "share/fish/vendor_completions.d/skiffer-opml.fish",
    "share/zsh/{zsh}/_skiffer",
    "share/zsh/{zsh}/_skiffer-opml",
    "lib/systemd/user/skiffer.service",
    "lib/systemd/user/skiffer.timer",
]


def expected_files(prefix):
    zsh = "vendor-completions" if prefix == "/usr" else "site-functions"
    return sorted(os.path.join(prefix, path.format(zsh=zsh)) for path in EXPECTED)


def files_below(root):
    found = []
    for directory, _, names in os.walk(root):
        found.extend(os.path.join(directory, name) for name in names)
    return sorted("/" + os.path.relpath(path, root) for path in found)


def configured_prefix():
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        return re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", cache.read(), re.M).group(1)


def verify_units(test, unit_directory, manpath):
    """systemd-analyze verify as a user manager would load the units, with
    the man pages of Documentation= looked up in `manpath`."""
    runtime = tempfile.mkdtemp(prefix="skiffer-runtime-")
    test.addCleanup(shutil.rmtree, runtime, ignore_errors=True)
    units = [os.path.join(unit_directory, name) for name in ("skiffer.service",
                                                             "skiffer.timer")]
    completed = subprocess.run(
        ["systemd-analyze", "--user", "verify", *units], capture_output=True, text=True,
        timeout=120,
        env=test.environment({"XDG_RUNTIME_DIR": runtime, "MANPATH": manpath,
                              "SYSTEMD_LOG_LEVEL": "notice", "LANG": "C.UTF-8"}))
    # verify exits 0 on settings it ignores, so its messages must be none.
    test.assertEqual((completed.returncode, completed.stdout + completed.stderr), (0, ""),
                     completed)


class InstallTests(SkifferTestCase):
    def install(self, *arguments, destdir=None):
        environment = {k: v for k, v in os.environ.items() if k != "DESTDIR"}
        if destdir:
            environment["DESTDIR"] = destdir
        completed = subprocess.run([CMAKE, "--install", BUILD, *arguments],
                                   capture_output=True, text=True, env=environment,
                                   timeout=300)
        self.assertEqual(completed.returncode, 0, completed.stdout + completed.stderr)

    def test_destdir_install_of_the_configured_prefix(self):
        prefix = configured_prefix()
        destdir = self.path("stage")
        self.install(destdir=destdir)
        self.assertEqual(files_below(destdir), expected_files(prefix))
        with open(os.path.join(destdir + prefix, "lib/systemd/user/skiffer.service")) as unit:
            # The program's real place, without the staging directory.
            self.assertIn("\nExecStart=%s/bin/skiffer -q -j 4\n" % prefix, unit.read())
        self.assertTrue(os.access(destdir + prefix + "/bin/skiffer-opml", os.X_OK))

    def test_usr_prefix_below_destdir(self):
        destdir = self.path("stage")
        self.install("--prefix", "/usr", destdir=destdir)
        self.assertEqual(files_below(destdir), expected_files("/usr"))
        with open(destdir + "/usr/lib/systemd/user/skiffer.service") as unit:
            self.assertIn("\nExecStart=/usr/bin/skiffer -q -j 4\n", unit.read())

    def test_installed_units_pass_systemd_analyze(self):
        # Installed for real under a prefix of its own, so that the program
        # that ExecStart= names exists and systemd can check it.
        prefix = self.path("prefix")
        self.install("--prefix", prefix)
        self.assertEqual(files_below(prefix), [p[len(prefix):] for p in expected_files(prefix)])
        verify_units(self, prefix + "/lib/systemd/user", prefix + "/share/man")
        with open(prefix + "/lib/systemd/user/skiffer.timer") as timer:
            text = timer.read()
        for setting in ["OnCalendar=hourly", "RandomizedDelaySec=", "Persistent=true",
                        "WantedBy=timers.target"]:
            self.assertIn(setting, text)
        with open(prefix + "/lib/systemd/user/skiffer.service") as service:
            text = service.read()
        for setting in ["Type=oneshot", "Nice=19", "IOSchedulingClass=idle",
                        "TimeoutStartSec="]:
            self.assertIn(setting, text)

    def test_installed_program_runs(self):
        prefix = self.path("prefix")
        self.install("--prefix", prefix)
        self.assertRun(self.run_skiffer("--version", binary=prefix + "/bin/skiffer-opml"),
                       stdout="skiffer-opml %s\n" % VERSION)


@unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze is not installed")
class BrokenUnitTests(SkifferTestCase):
    def test_verify_reports_a_mistake(self):
        # The check above is worth something only if a wrong setting fails it.
        os.makedirs(self.path("units"))
        self.write("units/skiffer.service", "[Service]\nTyp=oneshot\nExecStart=/bin/true\n")
        self.write("units/skiffer.timer", "[Timer]\nOnCalendar=hourly\n")
        with self.assertRaises(AssertionError):
            verify_units(self, self.path("units"), "")
