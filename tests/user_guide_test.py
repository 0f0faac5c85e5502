"""README.md's user guide as the archive's README.txt: one row per rule."""
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
from release_archive import GUIDE_END, GUIDE_START, user_guide  # noqa: E402

ROWS = (  # (what, a line of the guide, the line README.txt must hold; None: the guide is refused)
    ("inline code on an indented continuation line", "  run `chatpipe` there", "  run chatpipe there"),
    ("<version> inside code", "    chatpipe-<version>-win64.zip", "    chatpipe-1.2.3-win64.zip"),
    ("a link", "see [the guide](docs/maintaining.md).", "see the guide (docs/maintaining.md)."),
    ("a non-ASCII character", "caf\u00e9", None),
)


class UserGuide(unittest.TestCase):
    def test_rows(self):
        for what, line, expected in ROWS:
            with self.subTest(what):
                markdown = f"# chatpipe\n\nIntro.\n\n{GUIDE_START} -->\n\n{line}\n\n{GUIDE_END}\n"
                if expected is None:
                    self.assertRaises(UnicodeEncodeError, user_guide, markdown, "1.2.3")
                else:
                    self.assertIn(expected, user_guide(markdown, "1.2.3").splitlines())


if __name__ == "__main__":
    unittest.main()
