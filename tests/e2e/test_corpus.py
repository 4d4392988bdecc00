"""List mode over the corpus of real-world feeds kept beside the project:
well-formed RSS is read and lists one line per new enclosure, everything else
is refused with the reader's message, and nothing crashes."""

import os
import re
import unittest

from harness import SkifferTestCase

CORPUS = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "..",
                                      "shared", "corpus"))


def expectations():
    """(file, listed count or None, refusal message or None) per corpus feed,
    from the corpus's own description of each file."""
    rows = []
    with open(os.path.join(CORPUS, "SOURCES.md")) as sources:
        for line in sources:
            cells = [c.strip() for c in line.split("|")]
            if len(cells) < 4 or not cells[1].endswith(".xml"):
                continue
            what = cells[-2]
            refused = re.match(r"REFUSED: (.*?\.)(;|$)", what)
            listed = re.search(r"(\d+) listed", what)
            rows.append((cells[1], int(listed.group(1)) if listed else None,
                         refused.group(1) if refused else None))
    return rows


@unittest.skipUnless(os.path.isdir(CORPUS), "the feed corpus is not beside the project")
class CorpusTests(SkifferTestCase):
    def test_list_every_corpus_feed(self):
        rows = expectations()
        self.assertEqual(len(rows), 60)
        config = "".join("[%s]\nurl=%s\nspool=%s\n" % (name, os.path.join(CORPUS, "feeds", name),
                                                      self.home) for name, _, _ in rows)
        self.write_config(config)
        result = self.run_skiffer("-l", "-v")
        self.assertEqual(result.status, 0, result)

        listed = {}
        channel = None
        for line in result.stdout.splitlines():
            header = re.match(r"^Listing channel (.*)\.\.\.$", line)
            if header:
                channel = header.group(1)
                listed[channel] = 0
            else:
                self.assertRegex(line, r"^ \* .+ \((unknown size|[\d.]+\s(bytes?|kB|MB|GB))\)$")
                listed[channel] += 1

        errors = [l for l in result.stderr.splitlines() if l.startswith("Error")]
        for name, count, refusal in rows:
            with self.subTest(feed=name):
                path = os.path.join(CORPUS, "feeds", name)
                self.assertIn(name, listed)
                if refusal:
                    self.assertIn(refusal.replace("PATH", path), errors)
                else:
                    self.assertEqual(listed[name], count)
                    self.assertFalse([e for e in errors if path in e], errors)
        self.assertEqual(len(errors), sum(1 for _, _, r in rows if r), errors)


if __name__ == "__main__":
    unittest.main()
