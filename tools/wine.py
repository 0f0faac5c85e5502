"""Wine, as the tests, the benchmarks and the demo run Windows programs in it:
a prefix of this tree's own, made once; a fresh, persistent wineserver; no
debugger, so that a crash ends a program with its status at once.  The tests
and the benchmarks run headless; the demo has a prefix of its own, on
$DISPLAY where there is one, so that it never changes the tests'.

    wine.py [--demo] start           makes the prefix if it is new, and starts a
                                     fresh server
    wine.py [--demo] stop            ends the prefix's server and every program in it
    wine.py [--demo] run PROGRAM...  runs a program in the prefix and exits with
                                     its status (CTest's emulator, cmake/wine-run)
"""
import os
import subprocess
import sys
from pathlib import Path

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
PREFIX = Path(__file__).resolve().parents[1] / "build" / "wine-prefix"
DEMO_PREFIX = PREFIX.with_name("wine-demo")


def environment(prefix, base=None):
    """The environment a program runs with in `prefix`."""
    return dict(os.environ if base is None else base, WINEPREFIX=str(prefix), WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")


def quietly(command, prefix, **options):
    """Runs a command with no standard handle anybody reads: Wine's services,
    which the first program starts, keep that program's handles, and a caller
    reading our output to its end would wait for them."""
    return subprocess.run(command, env=environment(prefix), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, **options)


def start(prefix, driver="null"):
    """Makes the prefix if it is new, then starts a fresh persistent server,
    so that no window of an earlier run can answer, and Wine's services."""
    set_driver = [WINE, "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", driver, "/f"]
    quietly([WINESERVER, "-k"], prefix, timeout=30)
    marker = Path(prefix) / ".chatpipe-prefix-ready"
    if not marker.exists():
        # Made with its driver set, without a persistent server, and waited
        # for to the end: a window program started while the prefix is still
        # being set up, or set up for another driver, waits minutes for its
        # first window.
        Path(prefix).mkdir(parents=True, exist_ok=True)
        quietly(set_driver, prefix, check=True, timeout=300)
        quietly([WINESERVER, "-w"], prefix, timeout=300)
        marker.touch()
    quietly([WINESERVER, "-p"], prefix, check=True, timeout=30)
    quietly(set_driver, prefix, check=True, timeout=120)  # and the services start, on no handle anybody reads


def stop(prefix):
    quietly([WINESERVER, "-k"], prefix, timeout=30)


if __name__ == "__main__":
    demo = sys.argv[1:2] == ["--demo"]
    prefix, command = (DEMO_PREFIX, sys.argv[2:]) if demo else (PREFIX, sys.argv[1:])
    if command == ["start"]:
        start(prefix, "x11" if demo and os.environ.get("DISPLAY") else "null")
    elif command == ["stop"]:
        stop(prefix)
    elif command[:1] == ["run"] and len(command) > 1:
        quietly([WINE, "cmd", "/c", "exit"], prefix, timeout=300)
        os.execve(WINE, [WINE, *command[1:]], environment(prefix))
    else:
        sys.exit(__doc__)
