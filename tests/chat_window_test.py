"""tools/chat_window.py reads the window contract from its C++ header."""
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
import chat_window  # noqa: E402

ROWS = (  # (what, a line of the header, what it reads as)
    ("a string", 'constexpr char CHAT_WINDOW_CLASS[] = "Yelvo";', {"CHAT_WINDOW_CLASS": "Yelvo"}),
    ("an int", "constexpr int INPUT_BOX_ID = 4;", {"INPUT_BOX_ID": 4}),
    ("hex, two words of type", "constexpr unsigned long ENTER_UP_LPARAM = 0xC01C0001;", {"ENTER_UP_LPARAM": 0xC01C0001}),
    ("a comment", "// constexpr int INPUT_BOX_ID = 5;", {}),
)


class ChatWindow(unittest.TestCase):
    def test_rows(self):
        for what, line, expected in ROWS:
            with self.subTest(what):
                self.assertEqual(chat_window.read(line + "\n"), expected)

    def test_the_header(self):
        self.assertEqual(sorted(chat_window.read(chat_window.HEADER.read_text())),
                         sorted(["CHAT_WINDOW_CLASS", "INPUT_BOX_ID", "SETTEXT_PAUSE_MS", "KEY_HOLD_MS",
                                 "AFTER_KEY_PAUSE_MS", "ENTER_DOWN_LPARAM", "ENTER_UP_LPARAM"]))


if __name__ == "__main__":
    unittest.main()
