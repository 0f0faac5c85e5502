"""The chat window as chatpipe drives it, read from src/chat/chat_window.h,
and the longest line it puts there, from src/line_reader.h: the tests and
the benchmarks use the values chatpipe is built with."""
import ast
import re
from pathlib import Path

HEADER = Path(__file__).resolve().parents[1] / "src" / "chat" / "chat_window.h"
LINE_READER_HEADER = HEADER.parents[1] / "line_reader.h"


def read(header_text):
    """{NAME: value} of each `constexpr TYPE NAME = literal;` line."""
    return {name: ast.literal_eval(value) for name, value in
            re.findall(r"^constexpr [\w: ]+? (\w+)(?:\[\])? = (.+);$", header_text, re.MULTILINE)}


_contract = read(HEADER.read_text())
CHAT_WINDOW_CLASS = _contract["CHAT_WINDOW_CLASS"]
INPUT_BOX_ID = _contract["INPUT_BOX_ID"]
ENTER_DOWN_LPARAM = _contract["ENTER_DOWN_LPARAM"]
ENTER_UP_LPARAM = _contract["ENTER_UP_LPARAM"]
# The three pauses, in the order they come, by what they separate.
PAUSES_MS = {"text to key-down": _contract["SETTEXT_PAUSE_MS"], "key-down to key-up": _contract["KEY_HOLD_MS"],
             "key-up to next text": _contract["AFTER_KEY_PAUSE_MS"]}
# The longest line sent whole: chatpipe's line buffer, less its NUL.
MAX_LINE = read(LINE_READER_HEADER.read_text())["LINE_BUFFER_SIZE"] - 1
