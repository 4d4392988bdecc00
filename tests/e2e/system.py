"""What the system-integration tests share: the source and build
directories, and the options that the programs' own --help lists."""

import os
import re
import subprocess

from harness import BINARY, OPML_BINARY

SOURCE = os.environ.get("SKIFFER_SOURCE_DIR",
                        os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("SKIFFER_BUILD_DIR", os.path.join(SOURCE, "build"))
COMPLETIONS = os.path.join(SOURCE, "completions")


def help_options(binary):
    """Every short and long option that `binary --help-all` lists."""
    completed = subprocess.run([binary, "--help-all"], capture_output=True, text=True,
                               check=True)
    options = set()
    for match in re.finditer(r"^\s+(?:(-\w), )?(--[\w-]+)", completed.stdout, re.M):
        options.update(option for option in match.groups() if option)
    return options


PROGRAMS = {"skiffer": BINARY, "skiffer-opml": OPML_BINARY}
