"""chatpipe.exe driving the stand-in chat client under Wine."""
import statistics
import sys
import time
import unittest

from harness import (ENV, MAX_LINE, ON_WINDOWS, WineTestCase, chatpipe_from_file, chatpipe_from_unix_pipe, wait_until,
                     windows_path)


class EndToEnd(WineTestCase):

    def test_windows_pipe_lines_in_order_with_every_message(self):
        client = self.start_client()
        # CR-LF, an empty line, a lone CR, a NUL, and a last line with no LF
        # before the writer closes the pipe.
        run = self.launch(b"one\r\ntwo\r\n\r\nthr\ree\nab\0cd\nend").finish()
        self.assertQuietSuccess(run)
        pauses = self.assertDelivered(client, [b"one", b"two", b"", b"three", b"ab", b"end"])
        for name, lengths in pauses.items():
            print(f"\n{name}: min {min(lengths):.2f}, median {statistics.median(lengths):.2f},"
                  f" max {max(lengths):.2f} ms", end="", file=sys.stderr)

    def test_file_through_every_kind_of_input_box(self):
        code_page_line = bytes(range(0x20, 0x100))
        full_line = (bytes(range(0x21, 0x7F)) * 700)[:MAX_LINE]
        # 0x98 is '˜' in Windows-1252, and a lead byte in other code pages.
        lines = [code_page_line, b"\x98 starts the line", b"", full_line]
        source = self.work / "lines.txt"
        source.write_bytes(b"\r\n".join(lines) + b"\r\n")
        for box in ("edit", "richedit", "plain"):
            with self.subTest(box=box):
                client = self.start_client("--box", box)
                self.assertQuietSuccess(chatpipe_from_file(source))
                self.assertDelivered(client, lines)
                client.stop()

    @unittest.skipIf(ON_WINDOWS, "Windows takes the ANSI code page from the system locale, which only an "
                                 "administrator changes, with a restart; Wine takes it from LC_ALL")
    def test_text_in_other_ansi_code_pages_arrives_as_written(self):
        # Under Wine the ANSI code page follows LC_ALL: Japanese gives 932
        # (Shift-JIS), a Unicode-only locale 65001 (UTF-8), as Windows' UTF-8
        # setting does.  A long line's 65,535th byte falls inside a character,
        # so it must be cut before it.
        shift_jis = "表示ソフトのポート|".encode("cp932")  # trail bytes 0x5C '\\' and 0x7C '|'
        long_shift_jis = b"xy" + "ア".encode("cp932") * 40000
        long_utf8 = b"x" + "€".encode() * 30000
        utf8 = "Café ≤ 5 €, 日本語, हिन्दी".encode()
        cases = [
            ("ja_JP.UTF-8", [shift_jis, long_shift_jis], [shift_jis, long_shift_jis[:65534], long_shift_jis[65534:]]),
            ("hi_IN.UTF-8", [utf8, long_utf8], [utf8, long_utf8[:65533], long_utf8[65533:]]),
        ]
        for locale, lines, expected in cases:
            with self.subTest(locale=locale):
                env = dict(ENV, LC_ALL=locale)
                client = self.start_client(env=env)
                self.assertQuietSuccess(self.launch(b"\n".join(lines) + b"\n", env=env).finish())
                self.assertDelivered(client, expected)
                client.stop()

    def test_unix_pipe_lines_in_order_and_a_long_line_in_pieces(self):
        client = self.start_client()
        over_line = (bytes(range(0x7E, 0x20, -1)) * 800)[:70000]
        self.assertQuietSuccess(chatpipe_from_unix_pipe(b"u1\n" + over_line + b"\nu2"))
        self.assertDelivered(client, [b"u1", over_line[:MAX_LINE], over_line[MAX_LINE:], b"u2"])

    def test_named_pipes_messages_and_disconnect(self):
        client = self.start_client()
        long_message = b"A" * 700 + b"\nsecond\n"  # over one 512-byte read
        cases = [
            # A message longer than a read, a zero-length message before more
            # input, and a server that disconnects after the last line.
            ("message-pipe", [b"first\n", long_message, "empty", b"third\n", b"last"],
             [b"first", b"A" * 700, b"second", b"third", b"last"]),
            # A zero-byte write, which queues nothing on a byte-mode pipe, on
            # Windows as under Wine: the bytes either side still meet.
            ("byte-pipe", [b"a\nla", "empty", b"st"], [b"a", b"last"]),
        ]
        expected = []
        for kind, writes, lines in cases:
            with self.subTest(kind=kind):
                run = self.launch(*writes, "drained", "disconnect", stdin=kind).finish()
                self.assertQuietSuccess(run)
                expected += lines
                self.assertDelivered(client, expected)

    def test_line_goes_out_as_its_line_feed_arrives_and_ctrl_z_ends_input(self):
        client = self.start_client()
        # The pipe stays open after the Ctrl-Z: chatpipe must not wait for it.
        run = self.launch(b"a\n", "sleep=6000", b"b\x1Ac\n", "exits-within=5000")
        wait_until(lambda: client.messages() == [b"a"], 30, "the first line", run)
        self.assertTrue(run.running())
        self.assertLess(time.monotonic() - run.started, 5.0, "'a' waited for the next write")
        self.assertQuietSuccess(run.finish())
        self.assertDelivered(client, [b"a", b"b"])

    def test_no_client_drops_every_line_at_once(self):
        run = chatpipe_from_unix_pipe(b"".join(b"line %d\n" % n for n in range(100)))
        self.assertQuietSuccess(run)
        self.assertLess(run.seconds, 10, "100 lines delivered would take 50 s")

    def test_input_box_not_where_expected_drops_every_line(self):
        for options in (["--box-id", "9"], ["--nested"]):
            with self.subTest(options=options):
                client = self.start_client(*options)
                run = chatpipe_from_unix_pipe(b"".join(b"line %d\n" % n for n in range(20)))
                self.assertQuietSuccess(run)
                self.assertLess(run.seconds, 8, "20 lines delivered would take 10 s")
                self.assertEqual(client.messages(), [])
                self.assertEqual(client.event_log(), [])
                client.stop()

    def test_client_appearing_mid_stream_gets_the_later_lines(self):
        drained, go = self.work / "drained", self.work / "go"
        run = self.launch(b"early 1\nearly 2\n", "drained", "signal=" + windows_path(drained),
                          "wait-for=" + windows_path(go), b"late 1\nlate 2\n")
        wait_until(drained.exists, 60, "chatpipe to read the early lines", run)
        client = self.start_client()
        go.touch()
        self.assertQuietSuccess(run.finish())
        self.assertDelivered(client, [b"late 1", b"late 2"])
