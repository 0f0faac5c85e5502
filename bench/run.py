"""Measures chatpipe.exe against its floors, all in one run on one machine.

    run.py measure FILE.json      measures this machine's build into FILE.json
    run.py report FILE.json...    writes results.md, a column group per build

Timing: every time is taken here, the compared programs' runs interleaved so
that drift hits them alike, and the median kept; peak resident size comes
from GNU time (/usr/bin/time -f %M).
"""
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from chat_window import PAUSES_MS
from harness import BUILD, CHATPIPE, ENV, WINE, Client, chatpipe_from_file, start_wine, stop_wine

EMPTY = BUILD / "empty_program.exe"
FINDWINDOW_FLOOR = BUILD / "findwindow_floor.exe"
READ_FLOOR = BUILD / "read_floor.exe"
RESULTS = Path(__file__).resolve().parent / "results.md"

DELIVERED_LINES = 30
DROPPED_LINES = 200_000
READ_MB = 100
READ_LINE = 60_000
START_UP_RUNS = 40


def timed_run(program, stdin, *arguments):
    with open(stdin, "rb") if stdin else open(os.devnull, "rb") as source:
        started = time.perf_counter()
        subprocess.run([WINE, str(program), *arguments], env=ENV, stdin=source, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.perf_counter() - started


def interleaved_medians(commands, runs):
    """Median seconds of each (program, stdin, arguments...) command over
    `runs` runs after one warm-up, the commands' runs interleaved so that the
    machine's drift hits all of them alike."""
    times = [[] for _ in commands]
    for round_number in range(runs + 1):
        for index, (program, stdin, *arguments) in enumerate(commands):
            seconds = timed_run(program, stdin, *arguments)
            if round_number > 0:
                times[index].append(seconds)
    return [statistics.median(runs_of_one) for runs_of_one in times]


def peak_kib(program, *arguments, stdin):
    """Median of three peak resident sizes, in KiB."""
    sizes = []
    for _ in range(3):
        with open(stdin, "rb") as source:
            result = subprocess.run(["/usr/bin/time", "-f", "%M", WINE, str(program), *arguments],
                                    env=ENV, stdin=source, check=True, capture_output=True, text=True)
        sizes.append(int(result.stderr.strip().splitlines()[-1]))
    return statistics.median(sizes)


def debian_release():
    return subprocess.run([os.path.join(os.path.dirname(__file__), "..", "scripts", "debian-root"), "--this"],
                          capture_output=True, text=True).stdout.strip()


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.processor())
    memory_kib = next(int(line.split()[1]) for line in open("/proc/meminfo") if line.startswith("MemTotal"))
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    compiler = subprocess.run(["x86_64-w64-mingw32-g++-posix", "--version"], capture_output=True,
                              text=True).stdout.splitlines()[0]
    return (f"{cpu}, {os.cpu_count()} cores (the run pinned to one), "
            f"{memory_kib / 1048576:.0f} GiB; Linux {platform.release()}",
            f"{wine} (headless, null display driver, persistent wineserver); {compiler}")


def measure(output):
    work = Path(tempfile.mkdtemp(prefix="chatpipe-bench-"))
    rows = []
    start_wine()
    try:
        # 1. Delivered lines, from the stand-in client's event log.
        client = Client(work)
        delivered = work / "delivered.txt"
        delivered.write_bytes(b"".join(b"line %d\r\n" % n for n in range(DELIVERED_LINES)))
        chatpipe_from_file(delivered)
        client.stop()
        events = client.event_log()
        settexts = [event[0] for event in events if event[2] == "WM_SETTEXT"]
        downs = [event[0] for event in events if event[2] == "WM_KEYDOWN"]
        ups = [event[0] for event in events if event[2] == "WM_KEYUP"]
        assert len(settexts) == len(downs) == len(ups) == DELIVERED_LINES, events
        periods = [later - earlier for earlier, later in zip(settexts, settexts[1:])]
        median_period = statistics.median(periods)
        pauses = sum(PAUSES_MS.values())
        rows.append(("delivered line: median period (ms)", median_period, pauses, median_period / pauses,
                     "overhead < 5 ms (1%)", median_period - pauses < 5))
        rows.append(("delivered line: worst period (ms)", max(periods), pauses, max(periods) / pauses,
                     "(reported)", None))
        for name, gaps in (("text to key-down", [d - s for s, d in zip(settexts, downs)]),
                           ("key-down to key-up", [u - d for d, u in zip(downs, ups)]),
                           ("key-up to next text", [s - u for u, s in zip(ups, settexts[1:])])):
            gap, pause = statistics.median(gaps), PAUSES_MS[name]
            rows.append((f"delivered line: median {name} (ms)", gap, pause, gap / pause, "(reported)", None))

        # 2. Dropped lines: no client.
        dropped = work / "dropped.txt"
        dropped.write_bytes(b"".join(b"line %d\n" % n for n in range(DROPPED_LINES)))
        ours, floor = interleaved_medians([(CHATPIPE, dropped), (FINDWINDOW_FLOOR, None, str(DROPPED_LINES))],
                                          runs=10)
        rows.append((f"dropped lines: {DROPPED_LINES:,} lines (lines/s)", DROPPED_LINES / ours,
                     DROPPED_LINES / floor, ours / floor, "time ratio <= 1.05", ours / floor <= 1.05))

        # 3. Reading: long lines, no client.
        big = work / "big.txt"
        line = b"x" * (READ_LINE - 1) + b"\n"
        with open(big, "wb") as out:
            for _ in range(READ_MB * 1_000_000 // READ_LINE):
                out.write(line)
        ours, floor = interleaved_medians([(CHATPIPE, big), (READ_FLOOR, big)], runs=7)
        size_mb = big.stat().st_size / 1e6
        rows.append((f"reading: {size_mb:.0f} MB of {READ_LINE:,}-byte lines (MB/s)", size_mb / ours,
                     size_mb / floor, ours / floor, "time ratio <= 1.05", ours / floor <= 1.05))

        # 4. Start-up and exit on empty input, interleaved, against an empty
        # program that imports USER32 (the FindWindowA floor making no call)
        # and one that does not.
        empty_input = work / "empty.txt"
        empty_input.write_bytes(b"")
        ours_runs, user32_runs, empty_runs = [], [], []
        for _ in range(START_UP_RUNS):
            ours_runs.append(timed_run(CHATPIPE, empty_input))
            user32_runs.append(timed_run(FINDWINDOW_FLOOR, empty_input))
            empty_runs.append(timed_run(EMPTY, empty_input))
        ours, user32, empty = (statistics.median(runs) * 1000 for runs in (ours_runs, user32_runs, empty_runs))
        rows.append((f"start-up and exit, empty input, median of {START_UP_RUNS}, vs. USER32 importer (ms)", ours,
                     user32, ours / user32, "ratio <= 1.05", ours / user32 <= 1.05))
        rows.append((f"start-up and exit, empty input, median of {START_UP_RUNS}, vs. empty program (ms)", ours,
                     empty, ours / empty, "(reported)", None))

        # 5. Memory: peak resident size, no client.
        one_mb = work / "1mb.txt"
        one_mb.write_bytes(big.read_bytes()[:READ_LINE * 17])
        small_peak = peak_kib(CHATPIPE, stdin=one_mb)
        big_peak = peak_kib(CHATPIPE, stdin=big)
        empty_peak = peak_kib(EMPTY, stdin=empty_input)
        user32_peak = peak_kib(FINDWINDOW_FLOOR, "1", stdin=empty_input)
        rows.append(("peak resident: 100 MB input vs 1 MB input (KiB)", big_peak, small_peak,
                     big_peak / small_peak, "equal within 2%", abs(big_peak / small_peak - 1) <= 0.02))
        rows.append(("peak resident: 1 MB input vs empty program (KiB)", small_peak, empty_peak,
                     small_peak / empty_peak, "own memory < 100 KiB", small_peak - empty_peak < 100))
        rows.append(("peak resident: 1 MB input vs one FindWindowA (KiB)", small_peak, user32_peak,
                     small_peak / user32_peak, "own memory < 100 KiB", small_peak - user32_peak < 100))

        # 6. Size.
        ours, floor = CHATPIPE.stat().st_size, EMPTY.stat().st_size
        rows.append(("chatpipe.exe size (bytes)", ours, floor, ours / floor, "(reported)", None))
    finally:
        stop_wine()
        shutil.rmtree(work, ignore_errors=True)  # 100 MB of input

    imports = [line.split(":", 1)[1].strip() for line in subprocess.run(
        ["x86_64-w64-mingw32-objdump", "-p", str(CHATPIPE)], capture_output=True, text=True).stdout.splitlines()
        if "DLL Name:" in line]
    host, build = machine()
    Path(output).write_text(json.dumps({"build": f"Debian {debian_release()}", "host": host, "toolchain": build,
                                        "imports": imports, "rows": rows}, indent=1))


def report(measurements):
    builds = [json.loads(Path(path).read_text()) for path in measurements]
    header = "| what | goal |" + "".join(f" {build['build']}: ours | floor | ratio | met |" for build in builds)
    table = [header, "|---|---|" + "---:|---:|---:|---|" * len(builds)]
    for number, (name, _, _, _, goal, _) in enumerate(builds[0]["rows"]):
        cells = ""
        for build in builds:
            row_name, ours, floor, ratio, _, met = build["rows"][number]
            assert row_name == name, (row_name, name)
            verdict = "" if met is None else ("yes" if met else "**no**")
            cells += f" {ours:,.2f} | {floor:,.2f} | {ratio:.3f} | {verdict} |"
        table.append(f"| {name} | {goal} |{cells}")
    table.append("")
    for build in builds:
        table.append(f"- {build['build']}: {build['toolchain']}; chatpipe.exe imports {', '.join(build['imports'])}.")
    text = "\n".join(table)
    print(text)
    notes = RESULTS.read_text().split("<!-- notes -->", 1)[1] if RESULTS.exists() and \
        "<!-- notes -->" in RESULTS.read_text() else "\n"
    RESULTS.write_text(f"# Benchmark results\n\nRun {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} by "
                       f"`bench/run` on: {builds[0]['host']}.\n\n{text}\n\n<!-- notes -->{notes}")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "measure":
        measure(sys.argv[2])
    elif len(sys.argv) > 2 and sys.argv[1] == "report":
        report(sys.argv[2:])
    else:
        sys.exit(__doc__)
