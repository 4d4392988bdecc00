"""The shell completions: the bash ones driven through their completion
functions in a real bash, the zsh and fish ones checked by the shells and
asked for channels and options."""

import os
import re
import shutil
import subprocess
import unittest

from harness import SkifferTestCase
from system import COMPLETIONS, PROGRAMS, help_options

BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"

# Runs one completion in bash: the words as bash would split the line, the
# function to call, and COMPREPLY printed one entry a line.
BASH_DRIVER = r'''
source "$BASH_COMPLETION"
source "$1"
function=$2 COMP_LINE=$3
shift 3
COMP_WORDS=("$@")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_POINT=${#COMP_LINE}
"$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
printf '%s\n' "${COMPREPLY[@]}"
'''

# Sources a zsh completion file with the completion system's functions
# stubbed, then asks its channel function for the words given.
ZSH_DRIVER = r'''
_arguments() { :; }
_wanted() { print -rl -- "${(@P)${@[-1]}}"; }
source $1
shift
words=("$@")
CURRENT=$#words
_skiffer_channels
'''

RCFILE = ("[*]\nspool=/p\n"
          "[harbour-notes]\nurl=https://example.org/h.xml\n"
          "  [lectures] \r\n"
          "[my podcast]\n"
          "[$(touch pwned)]\n"
          "# [commented-out]\n"
          "[last-without-newline]")
CHANNELS = ["harbour-notes", "lectures", "my podcast", "$(touch pwned)",
            "last-without-newline"]


class CompletionTestCase(SkifferTestCase):
    def setUp(self):
        super().setUp()
        self.write_config("[home-channel]\nurl=https://example.org/home.xml\n")
        self.write("other.rc", RCFILE)
        self.write("subscriptions.opml", "")
        self.write("notes.txt", "")
        os.mkdir(self.path("pods"))

    def shell(self, command, *args):
        completed = subprocess.run(
            [*command, *args], cwd=self.home, capture_output=True, text=True, timeout=60,
            env=self.environment({"LANG": "C.UTF-8", "BASH_COMPLETION": BASH_COMPLETION,
                                  "XDG_CONFIG_HOME": self.path(".config"),
                                  "XDG_DATA_HOME": self.path(".local/share")}))
        self.assertEqual(completed.stderr, "", completed)
        self.assertEqual(completed.returncode, 0, completed)
        self.assertFalse(os.path.exists(self.path("pwned")), "a group name was run")
        return completed.stdout


class BashTests(CompletionTestCase):
    def complete(self, line):
        """What the completion function of the line's program offers."""
        program = line.split()[0]
        # bash splits words at COMP_WORDBREAKS, so "--rcfile=x" is three.
        words = re.findall(r"=|[^\s=]+", line) + ([""] if line.endswith((" ", "=")) else [])
        output = self.shell(["bash", "--norc", "-c", BASH_DRIVER, "driver",
                             os.path.join(COMPLETIONS, program + ".bash"),
                             "_" + program.replace("-", "_"), line], *words)
        return [entry for entry in output.split("\n") if entry]

    def test_what_each_line_offers(self):
        cases = [
            ("skiffer ", ["home-channel"]),
            ("skiffer -v h", ["home-channel"]),
            ("skiffer -C other.rc ", ["harbour-notes", "lectures", r"my\ podcast",
                                      r"\$\(touch\ pwned\)", "last-without-newline"]),
            ("skiffer --rcfile=other.rc -v l", ["lectures", "last-without-newline"]),
            ("skiffer -Cother.rc m", [r"my\ podcast"]),
            ("skiffer -C ~/other.rc h", ["harbour-notes"]),
            ("skiffer -C missing.rc ", []),
            ("skiffer --pro", ["--progress-bar"]),
            ("skiffer -1", ["-1"]),
            ("skiffer -C ot", ["other.rc"]),
            ("skiffer --rcfile=su", ["subscriptions.opml"]),
            ("skiffer -f ", []),
            ("skiffer-opml ", ["import", "export"]),
            ("skiffer-opml -n -C other.rc e", ["export"]),
            ("skiffer-opml -s p", ["pods"]),
            ("skiffer-opml -s pods import s", ["subscriptions.opml"]),
            ("skiffer-opml -s pods import subscriptions.opml ", []),
            ("skiffer-opml export ", []),
            ("skiffer-opml --dr", ["--dry-run"]),
        ]
        for line, expected in cases:
            with self.subTest(line=line):
                self.assertEqual(sorted(self.complete(line)), sorted(expected))

    def test_every_option_is_offered(self):
        for program, binary in PROGRAMS.items():
            with self.subTest(program=program):
                found = set(self.complete(program + " -"))
                self.assertEqual(found, help_options(binary))


class ZshTests(CompletionTestCase):
    def test_syntax(self):
        for name in ("_skiffer", "_skiffer-opml"):
            with self.subTest(name=name):
                self.shell(["zsh", "-n", os.path.join(COMPLETIONS, name)])

    def test_channels(self):
        cases = [
            (["skiffer", ""], ["home-channel"]),
            (["skiffer", "-C", "other.rc", ""], CHANNELS),
            (["skiffer", "--rcfile=other.rc", "-v", ""], CHANNELS),
            (["skiffer", "-Cother.rc", ""], CHANNELS),
            (["skiffer", "-C", "~/other.rc", ""], CHANNELS),
            (["skiffer", "-C", "'other.rc'", ""], CHANNELS),
        ]
        for words, expected in cases:
            with self.subTest(words=words):
                output = self.shell(["zsh", "-f", "-c", ZSH_DRIVER, "driver",
                                     os.path.join(COMPLETIONS, "_skiffer"), *words])
                self.assertEqual(output.splitlines(), expected)

    def test_every_option_is_described(self):
        for program, binary in PROGRAMS.items():
            with self.subTest(program=program):
                with open(os.path.join(COMPLETIONS, "_" + program)) as f:
                    text = f.read()
                described = set(re.findall(r"(?<![\w-])(--?[\w-]+)(?=[+=]?[,}\[])", text))
                self.assertTrue(help_options(binary) <= described,
                                help_options(binary) - described)


@unittest.skipUnless(shutil.which("fish"), "fish is not installed")
class FishTests(CompletionTestCase):
    def complete(self, line):
        """What the completions of the line's program offer."""
        output = self.shell(["fish", "--no-config", "-c",
                             "source $argv[1]; complete -C $argv[2]",
                             os.path.join(COMPLETIONS, line.split()[0] + ".fish"), line])
        return [entry.split("\t")[0] for entry in output.splitlines()]

    def test_syntax(self):
        for name in ("skiffer.fish", "skiffer-opml.fish"):
            with self.subTest(name=name):
                self.shell(["fish", "--no-execute", os.path.join(COMPLETIONS, name)])

    def test_skiffer(self):
        cases = [
            ("skiffer ", ["home-channel"]),
            ("skiffer -C other.rc ", CHANNELS),
            ("skiffer --rcfile=other.rc l", ["lectures", "last-without-newline"]),
            ("skiffer -Cother.rc -v m", ["my podcast"]),
            ("skiffer -C ~/other.rc h", ["harbour-notes"]),
            ("skiffer -C ot", ["other.rc"]),
        ]
        for line, expected in cases:
            with self.subTest(line=line):
                self.assertEqual(sorted(self.complete(line)), sorted(expected))

    def test_skiffer_opml(self):
        self.assertEqual(sorted(self.complete("skiffer-opml ")), ["export", "import"])
        self.assertEqual(self.complete("skiffer-opml -s p"), ["pods/"])
        self.assertIn("subscriptions.opml", self.complete("skiffer-opml -s pods import "))

    def test_every_option_is_offered(self):
        for program, binary in PROGRAMS.items():
            with self.subTest(program=program):
                found = set(self.complete(program + " -")) | set(
                    self.complete(program + " --"))
                self.assertEqual(found, help_options(binary))
