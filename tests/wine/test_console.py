"""chatpipe.exe reading a console that a person types into, in tmux."""
import os
import shlex
import subprocess
import unittest

from harness import CHATPIPE, ENV, WINE, WineTestCase, chatpipe_from_unix_pipe, wait_until

# Typed text must reach the client in the ANSI code page (Windows-1252 here),
# not in the console's OEM code page; a character it lacks becomes '?', never
# a look-alike ('∞' is not '8').  A long line arrives whole, not cut at the
# size of one read or one piece.
LONG_TYPED = "".join(f"{n:04d} é " for n in range(500))
TYPED = [("hello", b"hello"), ("café über 5€", b"caf\xe9 \xfcber 5\x80"),
         ("x ≤ 5, ∞, Łódź", b"x ? 5, ?, ?\xf3d?"), (LONG_TYPED, LONG_TYPED.encode("cp1252"))]


class Console(WineTestCase):

    def tmux(self, *arguments):
        return subprocess.run(["tmux", "-L", self.socket, *arguments], env=self.env,
                              check=True, capture_output=True, timeout=30)

    @unittest.skipIf(os.name == "nt", "the console is played by tmux, which needs Linux and Wine's console")
    def test_typed_lines_arrive_as_typed_and_ctrl_z_ends_input(self):
        client = self.start_client()
        self.socket = f"chatpipe-console-{os.getpid()}"
        self.env = dict(ENV, LANG="C.UTF-8")
        status = self.work / "status"
        # Without `susp undef` the terminal turns Ctrl-Z into a signal.
        command = (f"stty susp undef; {shlex.quote(WINE)} {shlex.quote(str(CHATPIPE))};"
                   f" echo $? > {shlex.quote(str(status))}")
        self.tmux("new-session", "-d", "-x", "100", "-y", "20", command)
        self.addCleanup(subprocess.run, ["tmux", "-L", self.socket, "kill-server"],
                        capture_output=True, timeout=30)

        # Wine's console takes the terminal out of canonical mode once it is
        # up; keys typed before that would be cooked by the terminal.
        terminal = self.tmux("display-message", "-p", "#{pane_tty}").stdout.decode().strip()
        wait_until(lambda: "-icanon" in subprocess.run(["stty", "-F", terminal, "-a"], capture_output=True,
                                                       text=True, timeout=30).stdout.split(),
                   60, "the console to take the terminal")
        sent = []
        for text, ansi in TYPED:
            self.tmux("send-keys", "-l", text)
            self.assertEqual(client.messages(), sent, "a line went out before its Enter")
            self.tmux("send-keys", "Enter")
            sent.append(ansi)
            wait_until(lambda: client.messages() == sent, 30, f"{text!r} to arrive")
        self.tmux("send-keys", "C-z", "Enter")
        wait_until(lambda: status.exists() and status.read_text().endswith("\n"), 30, "chatpipe to end")
        self.assertEqual(status.read_text(), "0\n")
        self.assertEqual(client.messages(), sent)

    def test_piped_bytes_are_not_converted(self):
        client = self.start_client()
        self.assertQuietSuccess(chatpipe_from_unix_pipe("café über 5€\n".encode()))
        self.assertEqual(client.messages(), ["café über 5€".encode()])
