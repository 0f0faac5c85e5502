"""The release and test tools' readings of the project's own text: README.md's
user guide as the archive's README.txt, and the window contract as the tests
and benchmarks read it from its C++ header.  A table of rows each."""
import unittest

import chat_window
from chatpipe_release.archive import GUIDE_END, GUIDE_START, user_guide

GUIDE_ROWS = (  # (what, a line of the guide, the line README.txt must hold; None: the guide is refused)
    ("inline code on an indented continuation line", "  run `chatpipe` there", "  run chatpipe there"),
    ("<version> inside code", "    chatpipe-<version>-win64.zip", "    chatpipe-1.2.3-win64.zip"),
    ("a link", "see [the guide](docs/maintaining.md).", "see the guide (docs/maintaining.md)."),
    ("a non-ASCII character", "caf\u00e9", None),
)
HEADER_ROWS = (  # (what, a line of the header, what it reads as)
    ("a string", 'constexpr char CHAT_WINDOW_CLASS[] = "Yelvo";', {"CHAT_WINDOW_CLASS": "Yelvo"}),
    ("an int", "constexpr int INPUT_BOX_ID = 4;", {"INPUT_BOX_ID": 4}),
    ("hex, two words of type", "constexpr unsigned long ENTER_UP_LPARAM = 0xC01C0001;", {"ENTER_UP_LPARAM": 0xC01C0001}),
    ("a qualified type", "constexpr std::size_t LINE_BUFFER_SIZE = 65536;", {"LINE_BUFFER_SIZE": 65536}),
    ("a comment", "// constexpr int INPUT_BOX_ID = 5;", {}),
)
# What the client needs, written out here and never read from the header: the
# program, the stand-in and the harness all follow the header, so only this
# table notices when the header itself is wrong.  (what, name, value)
CONTRACT_ROWS = (
    ("the client's main window class", "CHAT_WINDOW_CLASS", "YelvoClientMainWindow"),
    ("the input box's control id", "INPUT_BOX_ID", 4),
    ("the pause after the text", "SETTEXT_PAUSE_MS", 200),
    ("how long Enter is held", "KEY_HOLD_MS", 100),
    ("the pause after Enter", "AFTER_KEY_PAUSE_MS", 200),
    ("Enter down: repeat 1, scan code 0x1C", "ENTER_DOWN_LPARAM", 0x001C0001),
    ("Enter up: also previous state and transition", "ENTER_UP_LPARAM", 0xC01C0001),
)


class Tools(unittest.TestCase):
    def test_user_guide(self):
        for what, line, expected in GUIDE_ROWS:
            with self.subTest(what):
                markdown = f"# chatpipe\n\nIntro.\n\n{GUIDE_START} -->\n\n{line}\n\n{GUIDE_END}\n"
                if expected is None:
                    self.assertRaises(UnicodeEncodeError, user_guide, markdown, "1.2.3")
                else:
                    self.assertIn(expected, user_guide(markdown, "1.2.3").splitlines())

    def test_window_contract(self):
        for what, line, expected in HEADER_ROWS:
            with self.subTest(what):
                self.assertEqual(chat_window.read(line + "\n"), expected)
        header = chat_window.read(chat_window.HEADER.read_text())
        for what, name, value in CONTRACT_ROWS:
            with self.subTest(what):
                self.assertEqual(header.get(name), value)
        self.assertEqual(sorted(header), sorted(name for _, name, _ in CONTRACT_ROWS))
