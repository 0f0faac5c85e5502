"""chatpipe.exe under faults: a client that dies or stalls, hostile input,
standard input that cannot be read."""
import random
import sys
import time
import unittest

from harness import (CHATPIPE, ENV, MAX_LINE, ON_WINDOWS, Run, WineTestCase, chatpipe_from_unix_pipe, wait_until,
                     windows_command, windows_path)


def reference_lines(data):
    """The lines the text-input rules make of `data`, one byte at a time."""
    lines, line, after_full_line = [], bytearray(), False
    for byte in data:
        if byte == 0x0D:
            continue
        if byte == 0x1A:
            break
        if after_full_line:
            after_full_line = False
            if byte == 0x0A:
                continue
        if byte == 0x0A:
            lines.append(bytes(line))
            line.clear()
            continue
        line.append(byte)
        if len(line) == MAX_LINE:
            lines.append(bytes(line))
            line.clear()
            after_full_line = True
    if line:
        lines.append(bytes(line))
    return lines


def resident_kib(pid):
    """The process's resident memory (on Windows its working set) in KiB,
    or None once it is gone."""
    if ON_WINDOWS:
        return working_set_kib(pid)
    try:
        with open(f"/proc/{pid}/status") as status:
            for field in status:
                if field.startswith("VmRSS:"):
                    return int(field.split()[1])
    except FileNotFoundError:
        pass
    return None


def working_set_kib(pid):
    import ctypes
    from ctypes import wintypes

    class ProcessMemoryCounters(ctypes.Structure):
        _fields_ = [("cb", wintypes.DWORD), ("PageFaultCount", wintypes.DWORD)] + [
            (name, ctypes.c_size_t) for name in (
                "PeakWorkingSetSize", "WorkingSetSize", "QuotaPeakPagedPoolUsage", "QuotaPagedPoolUsage",
                "QuotaPeakNonPagedPoolUsage", "QuotaNonPagedPoolUsage", "PagefileUsage", "PeakPagefileUsage")]

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.OpenProcess.restype = wintypes.HANDLE
    PROCESS_QUERY_LIMITED_INFORMATION = 0x1000
    process = kernel32.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, False, pid)
    if not process:
        return None
    try:
        counters = ProcessMemoryCounters(cb=ctypes.sizeof(ProcessMemoryCounters))
        if not kernel32.K32GetProcessMemoryInfo(wintypes.HANDLE(process), ctypes.byref(counters), counters.cb):
            return None
        return counters.WorkingSetSize // 1024 or None  # nothing left: it has ended
    finally:
        kernel32.CloseHandle(wintypes.HANDLE(process))


class Faults(WineTestCase):

    def test_client_killed_mid_line_then_restarted(self):
        first = self.start_client()
        go = self.work / "go"
        run = self.launch(b"lost\n", "wait-for=" + windows_path(go), b"after 1\nafter 2\n")
        # Between the text and the Enter there are 200 ms: kill it there.
        wait_until(lambda: [event[2] for event in first.event_log()] == ["WM_SETTEXT"], 60, "the text", run)
        first.stop()
        self.assertEqual(first.messages(), [], "the client was killed too late")
        second = self.start_client()
        go.touch()
        self.assertQuietSuccess(run.finish())
        self.assertDelivered(second, [b"after 1", b"after 2"])

    def test_slow_client_gets_every_line_once_in_order(self):
        client = self.start_client("--slow-settext", "2000")
        self.assertQuietSuccess(self.launch(b"first\nsecond\nthird\n").finish())
        # assertDelivered also shows that no line was sent twice.
        self.assertDelivered(client, [b"first", b"second", b"third"])

    def test_busy_client_gets_every_line_once_in_order(self):
        # Busy past chatpipe's pauses: right after it takes the text, or
        # while it sends on Enter.  The keys are still queued when the next
        # text would go in.
        lines = [b"line %d" % n for n in range(1, 5)]
        # With --sent-first the client, once back, serves sent messages for as
        # long as they come 20 ms apart or closer: checks sent back to back
        # would let the next text in ahead of Enter in every run.
        for options in (["--busy-after-settext", "600"], ["--slow-send", "600"],
                        ["--busy-after-settext", "600", "--sent-first", "20"],
                        ["--slow-send", "600", "--sent-first", "20"]):
            with self.subTest(options=options):
                client = self.start_client(*options)
                self.assertQuietSuccess(self.launch(b"\n".join(lines) + b"\n").finish())
                self.assertDelivered(client, lines)
                client.stop()

    def test_hostile_bytes_with_no_client(self):
        random_bytes = random.Random(5)
        chunks = []
        for number in range(50):  # 50 MB
            chunk = bytearray(random_bytes.randbytes(1 << 20))
            if number % 5 == 0:  # lines far over the buffer
                chunk = chunk.replace(b"\n", b"N")
            chunks.append(chunk.replace(b"\x1a", b"Z"))
        chunks[-2][1000] = 0x1A  # late Ctrl-Z: the last 1 MB is never read
        source = self.work / "hostile"
        source.write_bytes(b"".join(chunks))
        with open(source, "rb") as stdin:
            run = Run(windows_command(CHATPIPE), stdin=stdin)
            samples = []
            while run.running():
                samples.append(resident_kib(run.process.pid))
                time.sleep(0.05)
            run.finish()
        self.assertQuietSuccess(run)
        samples = [sample for sample in samples if sample is not None]
        self.assertGreater(len(samples), 10)
        # Settled after start-up, the process must not grow with its input.
        settled = samples[len(samples) // 4:]
        self.assertLess(max(settled) - min(settled), 2048, f"resident KiB over the run: {samples}")
        print(f"\n50 MB in {run.seconds:.1f} s; resident KiB {samples[0]}..{max(samples)}", file=sys.stderr)

    def test_hostile_lines_arrive_as_the_rules_say(self):
        client = self.start_client()
        random_bytes = random.Random(7)
        alphabet = bytes(set(range(256)) - {0x0A, 0x1A})
        data = b"\n".join(bytes(random_bytes.choice(alphabet) for _ in range(random_bytes.randrange(1, 300)))
                          for _ in range(20))
        data += b"\n" + b"x\rx" * 30000 + b"\n"  # 90,000 bytes, 60,000 of them once the CRs are gone
        self.assertQuietSuccess(self.launch(data).finish())
        expected = [line.split(b"\0")[0] for line in reference_lines(data)]
        self.assertEqual(len(expected), 21)
        self.assertDelivered(client, expected)

    def test_standard_input_that_cannot_be_read(self):
        client = self.start_client()
        # `listening`: a named pipe's server end that no client has joined.
        for stdin in ("none", "unreadable", "listening"):
            with self.subTest(stdin=stdin):
                writes = [b"never\n"] if stdin != "listening" else []
                run = self.launch(*writes, "exits-within=5000", stdin=stdin).finish()
                self.assertQuietSuccess(run)
                self.assertEqual(client.event_log(), [])

    @unittest.skipIf(ON_WINDOWS, "only Wine can be told not to load USER32 (WINEDLLOVERRIDES)")
    def test_window_system_that_cannot_be_loaded_stops_chatpipe_before_it_reads(self):
        client = self.start_client()
        lines = b"".join(b"line %d\n" % n for n in range(100))
        run = chatpipe_from_unix_pipe(lines, env=dict(ENV, WINEDLLOVERRIDES=ENV["WINEDLLOVERRIDES"] + ";user32=d"))
        # The loader refuses to start it: STATUS_DLL_NOT_FOUND, as the pipe
        # launcher reports it in full.
        self.assertNotEqual(run.status, 0)
        self.assertIn(b"ended with status 0xC0000135", run.stderr)
        self.assertLess(run.seconds, 10, "100 lines delivered would take 50 s")
        self.assertEqual(client.event_log(), [])
