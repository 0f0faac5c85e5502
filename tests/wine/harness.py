"""Runs chatpipe.exe and the stand-in chat client: under headless Wine on
Linux, directly on Windows.

Under Wine: one prefix under the build tree, made once with the null display
driver, and a fresh wineserver for each test class, so that no window from
an earlier run can answer.  Every wait is bounded, and every process started
here is ended by its id.
"""
import os
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

import wine
from chat_window import ENTER_DOWN_LPARAM, ENTER_UP_LPARAM, MAX_LINE, PAUSES_MS  # noqa: F401

ON_WINDOWS = os.name == "nt"
WINE = wine.WINE
BUILD = Path(os.environ.get("CHATPIPE_WINDOWS_BUILD",
                            Path(__file__).resolve().parents[2] / "build" / "windows"))
CHATPIPE = BUILD / "chatpipe.exe"
STAND_IN = BUILD / "stand-in-chat-client.exe"
LAUNCHER = BUILD / "pipe_launcher.exe"
PREFIX = wine.PREFIX

ENV = wine.environment(PREFIX)
ENV.pop("DISPLAY", None)

ENTER = 0x0D
# WM_SETTEXT is sent, so the client has logged it before chatpipe's pauses
# begin; the keys are posted, and the client takes each one whenever its
# message loop gets to it, which can be late by any amount.  So each pause is
# checked as a lower bound between the times the messages went out: for a key,
# when it was posted, from the time stamp the window system gives a posted
# message.  The slack covers that stamp's tick, 1 ms under Wine and up to
# 15.6 ms on Windows, and the client's estimate of its offset, as much again.
CLOCK_SLACK_MS = 32.0 if ON_WINDOWS else 2.0

READY_WAIT_S = 60
RUN_WAIT_S = 120


def windows_path(path):
    if ON_WINDOWS:
        return str(Path(path).resolve())
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def windows_command(program, *arguments):
    """The command that runs a Windows program: itself on Windows, under Wine elsewhere."""
    command = [str(program), *arguments]
    return command if ON_WINDOWS else [WINE, *command]


def wait_until(done, seconds, what, run=None):
    """Waits for done(), at most `seconds`; fails at once if `run` ends
    with a status other than 0 first (a crash is not a wait)."""
    deadline = time.monotonic() + seconds
    while not done():
        if run is not None and not run.running() and run.process.returncode != 0:
            run.finish()
            raise AssertionError(f"status 0x{run.status & 0xFFFFFFFF:X} before {what}: "
                                 f"{run.stderr.decode(errors='replace')}")
        if time.monotonic() > deadline:
            raise AssertionError(f"gave up after {seconds} s waiting for {what}")
        time.sleep(0.01)


def start_wine():
    """A fresh wineserver for the prefix, made once, headless."""
    for program in (CHATPIPE, STAND_IN, LAUNCHER):
        if not program.exists():
            raise RuntimeError(f"{program} is not built")
    if not ON_WINDOWS:
        wine.start(PREFIX)


def stop_wine():
    if not ON_WINDOWS:
        wine.stop(PREFIX)


class Client:
    """The stand-in chat client, running until stop()."""

    def __init__(self, directory, *options, env=ENV):
        self.directory = Path(tempfile.mkdtemp(prefix="client-", dir=directory))
        self.transcript, self.events, self.ready = (self.directory / name for name in ("transcript", "events", "ready"))
        self.transcript.touch()
        self.events.touch()
        self.process = subprocess.Popen(
            windows_command(STAND_IN, "--transcript", windows_path(self.transcript),
                            "--events", windows_path(self.events), "--ready", windows_path(self.ready),
                            *options),
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_until(lambda: self.ready.exists() and self.ready.read_bytes().endswith(b"\n"),
                       READY_WAIT_S, "the stand-in client to be ready")
        except AssertionError:
            self.stop()
            raise

    def messages(self):
        """The messages sent so far; each is bytes."""
        return self.transcript.read_bytes().split(b"\n")[:-1]

    def event_log(self):
        """(ms, window, message, wparam, lparam, text length, ms when sent or
        posted) for each message."""
        rows = []
        for line in self.events.read_text().splitlines():
            ms, window, message, wparam, lparam, length, sent = line.split()
            rows.append((float(ms), window, message, int(wparam, 16), int(lparam, 16), int(length), float(sent)))
        return rows

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=30)


class Run:
    """A Windows program started (under Wine, off Windows), with its output captured."""

    def __init__(self, command, stdin=subprocess.DEVNULL, env=ENV):
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, env=env, stdin=stdin,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def running(self):
        return self.process.poll() is None

    def finish(self, data=None):
        """Waits for the end; sets status, stdout, stderr and seconds."""
        try:
            self.stdout, self.stderr = self.process.communicate(data, timeout=RUN_WAIT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise
        self.status = self.process.returncode
        self.seconds = time.monotonic() - self.started
        return self


# chatpipe.exe run by the pipe launcher with the launcher's own standard
# input, so that a failing status is reported in full.
CHATPIPE_WITH_STATUS = windows_command(LAUNCHER, "--stdin", "inherit", str(CHATPIPE))


def chatpipe_from_file(path, env=ENV):
    """chatpipe.exe < path: standard input is a disk file."""
    with open(path, "rb") as stdin:
        return Run(CHATPIPE_WITH_STATUS, stdin=stdin, env=env).finish()


def chatpipe_from_unix_pipe(data, env=ENV):
    """data | chatpipe.exe, through a Unix pipe (on Windows, Python's own pipe)."""
    return Run(CHATPIPE_WITH_STATUS, stdin=subprocess.PIPE, env=env).finish(data)


def launch(directory, *steps, stdin="pipe", env=ENV):
    """Starts chatpipe.exe fed through a Windows pipe by pipe_launcher.exe:
    a step of bytes is written to the pipe, a str step goes to the launcher
    as it is.  Returns the running launcher; finish() it."""
    arguments = []
    for number, step in enumerate(steps):
        if isinstance(step, bytes):
            chunk = Path(directory) / f"chunk{number}"
            chunk.write_bytes(step)
            step = "write=" + windows_path(chunk)
        arguments.append(step)
    return Run(windows_command(LAUNCHER, "--stdin", stdin, str(CHATPIPE), *arguments), env=env)


class WineTestCase(unittest.TestCase):
    """Starts Wine once for the class; ends every client a test started."""

    @classmethod
    def setUpClass(cls):
        start_wine()

    @classmethod
    def tearDownClass(cls):
        stop_wine()

    def setUp(self):
        work = tempfile.TemporaryDirectory(prefix="chatpipe-wine-")
        self.addCleanup(work.cleanup)
        self.work = Path(work.name)
        self.clients = []

    def tearDown(self):
        for client in self.clients:
            client.stop()

    def launch(self, *steps, stdin="pipe", env=ENV):
        return launch(self.work, *steps, stdin=stdin, env=env)

    def start_client(self, *options, env=ENV):
        client = Client(self.work, *options, env=env)
        self.clients.append(client)
        return client

    def assertDelivered(self, client, lines):
        """Each line went to the input box as its text, then Enter down and
        up, with no pause short; nothing went to the main window.  Returns
        each pause's lengths in ms, by name."""
        self.assertSameMessages(client.messages(), lines)
        events = client.event_log()
        self.assertEqual([event[1] for event in events], ["box"] * 3 * len(lines))
        pauses = {name: [] for name in PAUSES_MS}
        for number, line in enumerate(lines):
            settext, down, up = events[3 * number:3 * number + 3]
            visible_length = len(line.split(b"\0")[0])
            self.assertEqual(settext[2:6], ("WM_SETTEXT", 0, settext[4], visible_length))
            self.assertEqual(down[2:5], ("WM_KEYDOWN", ENTER, ENTER_DOWN_LPARAM))
            self.assertEqual(up[2:5], ("WM_KEYUP", ENTER, ENTER_UP_LPARAM))
            pauses["text to key-down"].append(down[6] - settext[6])
            pauses["key-down to key-up"].append(up[6] - down[6])
            if number + 1 < len(lines):
                pauses["key-up to next text"].append(events[3 * number + 3][6] - up[6])
        for name, lengths in pauses.items():
            if lengths:
                self.assertGreaterEqual(min(lengths), PAUSES_MS[name] - CLOCK_SLACK_MS, f"{name}: {lengths}")
        return pauses

    def assertSameMessages(self, got, expected):
        """assertEqual for lists of messages, saying where they part instead
        of diffing them whole: that takes minutes for 65,535-byte lines."""
        if got == expected:
            return
        for number, (ours, theirs) in enumerate(zip(got, expected)):
            if ours != theirs:
                at = next(at for at in range(len(ours) + 1) if ours[at:at + 1] != theirs[at:at + 1])
                self.fail(f"message {number} differs from byte {at}: {len(ours)} bytes, ...{ours[at:at + 12]!r}; "
                          f"expected {len(theirs)} bytes, ...{theirs[at:at + 12]!r}")
        self.fail(f"{len(got)} messages, expected {len(expected)}: {[message[:40] for message in got]}")

    def assertQuietSuccess(self, run):
        # Under Wine a status is cut to its low byte: the pipe launcher and
        # Wine say the whole one (0xC0000005) on standard error.
        self.assertEqual((run.status, run.stdout, run.stderr), (0, b"", b""),
                         f"status 0x{run.status & 0xFFFFFFFF:X}, stderr: {run.stderr.decode(errors='replace')}")
