"""The README's user guide, tried as its reader tries it: every code line,
read from README.md itself, runs in the shell its tag names, in a folder laid
out like the download, and what a line sends must reach the stand-in chat
client as the guide says.  Under Wine the cmd lines run in Wine's cmd.exe,
and a line that needs what Wine lacks is skipped, naming it; on Windows every
line runs and none is skipped.  Debian's lines are parsed, not run: the
release tests run the download check."""
import base64
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile
from pathlib import Path
from typing import NamedTuple

from chatpipe_release import archive
from harness import CHATPIPE, ENV, ON_WINDOWS, RUN_WAIT_S, STAND_IN, WineTestCase, windows_command, windows_path

TOP = Path(__file__).resolve().parents[2]

# A line's tag, and the shells that run it.
SHELLS = {"cmd": ("cmd",), "PowerShell": ("powershell", "pwsh"), "Windows PowerShell 5.1": ("powershell",),
          "PowerShell 7": ("pwsh",), "PowerShell 7.4 and later": ("pwsh",), "Debian": ("bash",)}
# The files and programs the guide names, made here, and the lines each sends.
SOURCES = {"lines.txt": ["Caf\u00e9 from lines.txt", "its second line"], "script.py": ["Caf\u00e9 from script.py"],
           "app.js": ["Caf\u00e9 from app.js"], "some-program": ["Hello from some-program"]}
DOWNLOAD_VERSION = "9.8.7"
# What Wine lacks: a line that names it is skipped there.
WINE_LACKS = {"powershell": "Windows PowerShell (Wine's powershell.exe is a stub)", "pwsh": "PowerShell 7",
              "python": "Python", "node": "Node.js", "certutil": "certutil (Wine's does nothing)"}
# The ANSI code page the client reads: Wine's, for the locale the tests run
# in, is Windows-1252; cmd passes a file's bytes through whatever it is.
ANSI = "mbcs" if ON_WINDOWS else "cp1252"

TAGGED = re.compile(r"^\s+(?P<command>\S.*?)\s{2,}\((?P<tag>[^()]+)\)$")
SENDS = re.compile(r"\|\s*(?:\.\\)?chatpipe\b|\bchatpipe\s*<")


class Recipe(NamedTuple):
    line: int  # of README.md: its last line
    tag: str
    commands: tuple

    @property
    def text(self):
        return "\n".join(self.commands)


def recipes(markdown):
    """The guide's code lines as recipes: in a block of lines with one tag,
    the lines up to each one that sends into chatpipe, and those after the
    last.  A code line without a known shell's tag is a ValueError."""
    body = archive.guide(markdown)
    first = markdown[:markdown.index(body)].count("\n") + 1
    found, pending, pending_tag = [], [], None
    for number, line in enumerate(body.split("\n"), first):
        match = TAGGED.match(line) if archive.is_code(line) else None
        if archive.is_code(line) and (match is None or match["tag"] not in SHELLS):
            raise ValueError(f"README.md:{number}: a code line without the tag of a shell the test knows "
                             f"({', '.join(SHELLS)}): {line.strip()}")
        tag = match and match["tag"]
        if pending and tag != pending_tag:
            found.append(Recipe(number - 1, pending_tag, tuple(pending)))
            pending = []
        if match:
            pending.append(match["command"])
            pending_tag = tag
            if SENDS.search(match["command"]):
                found.append(Recipe(number, tag, tuple(pending)))
                pending = []
    return found


def sent(recipe):
    """The lines a recipe must send: what it echoes or quotes into the pipe,
    or what the one file or program it names sends; None for a recipe that
    sends nothing."""
    if not SENDS.search(recipe.text):
        return None
    quoted = re.search(r"\becho (.*?)\||'([^']*)'\s*\|", recipe.text)
    if quoted:
        return [(quoted[1] or quoted[2]).strip()]  # what the reader sees: cmd's echo would keep a space before |
    named = [name for name in SOURCES if re.search(rf"(?<![\w.-]){re.escape(name)}\b", recipe.text)]
    if len(named) != 1:
        raise ValueError(f"README.md:{recipe.line}: the test does not know what this sends: {recipe.text}")
    return SOURCES[named[0]]


def bound(recipe, downloads):
    """The recipe's commands with the guide's placeholders put in."""
    commands = []
    for command in recipe.commands:
        for placeholder, value in ((r"%USERPROFILE%\Downloads", windows_path(downloads)),
                                   (r"$HOME\Downloads", windows_path(downloads)),
                                   ("chatpipe-VERSION-", f"chatpipe-{DOWNLOAD_VERSION}-")):
            command = command.replace(placeholder, value)
        unknown = re.search(r"<\w+>", command)
        if unknown:
            raise ValueError(f"README.md:{recipe.line}: the test does not know the placeholder {unknown[0]}")
        commands.append(command)
    return commands


def lay_out(work):
    """The download, unzipped beside its zip in Downloads, with the guide's
    files in the unzipped folder and its program on PATH.  Returns the
    Downloads folder and the unzipped one."""
    downloads = work / "Downloads"
    unzipped = downloads / f"chatpipe-{DOWNLOAD_VERSION}-win64"
    unzipped.mkdir(parents=True)
    with zipfile.ZipFile(downloads / f"{unzipped.name}.zip", "w") as download:
        for program in (CHATPIPE, STAND_IN):
            download.write(program, program.name)
            shutil.copy(program, unzipped)
    for name, template in (("script.py", "print({!r})\n"), ("app.js", "console.log({!r});\n")):
        (unzipped / name).write_text("".join(template.format(line) for line in SOURCES[name]), encoding="utf-8")
    (work / "bin").mkdir()
    (work / "bin" / "some-program.cmd").write_text("".join(f"@echo {line}\n" for line in SOURCES["some-program"]))
    return downloads, unzipped


def shell_command(shell, commands, script):
    """How `shell` runs `commands` as typed, one after the other; `script` is
    a file it may use."""
    if shell == "cmd":
        script.write_bytes("\r\n".join(["@echo off", *commands, ""]).encode("ascii"))
        return windows_command("cmd", "/d", "/c", windows_path(script))
    if shell == "bash":
        return ["bash", "-n", "-c", "\n".join(commands)]
    program = "\n".join(["$ErrorActionPreference = 'Stop'", *commands, "exit $LASTEXITCODE"])
    return [shell, "-NoProfile", "-NonInteractive", "-EncodedCommand",
            base64.b64encode(program.encode("utf-16-le")).decode()]


class Guide(unittest.TestCase):
    # (what, a guide's code, what the test says of it)
    FAULTS = (
        ("an untagged line", "    chatpipe < lines.txt", "without the tag"),
        ("a tag of no shell the test knows", "    chatpipe < lines.txt      (bash)", "without the tag"),
        ("a line sending what the test does not know", "    other.txt | chatpipe      (cmd)", "does not know what"),
        ("a placeholder the test does not know", "    type <file> | chatpipe    (cmd)", "the placeholder <file>"),
    )

    def test_faults_of_the_guide_fail_it(self):
        for what, code, error in self.FAULTS:
            with self.subTest(what), self.assertRaisesRegex(ValueError, re.escape(error)):
                for recipe in recipes(f"{archive.GUIDE_START} -->\n\nText:\n\n{code}\n\n{archive.GUIDE_END}\n"):
                    bound(recipe, Path("Downloads"))
                    sent(recipe)


class TryIt(WineTestCase):

    def test_every_line_of_the_guide(self):
        downloads, unzipped = lay_out(self.work)
        env = {name: value for name, value in ENV.items() if name not in ("PYTHONIOENCODING", "PYTHONUTF8")}
        if ON_WINDOWS:
            env["PATH"] = f"{self.work / 'bin'}{os.pathsep}{env['PATH']}"
        else:
            env["WINEPATH"] = windows_path(self.work / "bin")
        for recipe in recipes((TOP / "README.md").read_text()):
            for shell in SHELLS[recipe.tag]:
                with self.subTest(line=recipe.line, shell=shell, commands=recipe.text):
                    self.try_recipe(recipe, shell, downloads, unzipped, env)

    def try_recipe(self, recipe, shell, downloads, unzipped, env):
        if shell == "bash":
            if ON_WINDOWS:
                return
            words = recipe.commands[0].split()
            program = TOP / words[words[0] == "sudo"]  # sudo's program, the tree's
            self.assertTrue(os.access(program, os.X_OK), f"{program} is not a program of the tree")
        elif not ON_WINDOWS:
            words = {shell, *(word.lower() for word in re.findall(r"[\w-]+", recipe.text))}
            lacks = sorted(WINE_LACKS[word] for word in words & WINE_LACKS.keys())
            if lacks:
                self.skipTest(f"Wine has no {', no '.join(lacks)}")
        expected = sent(recipe)
        utf8 = re.search(r"-Encoding\s+utf8\b", recipe.text, re.IGNORECASE)
        (unzipped / "lines.txt").write_bytes("".join(f"{line}\r\n" for line in SOURCES["lines.txt"])
                                             .encode("utf-8" if utf8 else ANSI))
        client = self.start_client() if expected is not None else None
        script = self.work / "recipe.cmd"
        with tempfile.TemporaryFile() as output:  # not a pipe: a program it starts may hold it open
            process = subprocess.Popen(shell_command(shell, bound(recipe, downloads), script), env=env,
                                       cwd=downloads if "-win64.zip" in recipe.text else unzipped,
                                       stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT)
            try:
                status = process.wait(timeout=RUN_WAIT_S)
            finally:
                process.kill()
                if shell != "bash":  # a client it started, or one that the harness started
                    subprocess.run(windows_command("taskkill", "/f", "/im", STAND_IN.name), env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   timeout=RUN_WAIT_S)
            output.seek(0)
            said = output.read().decode(errors="replace")
        self.assertEqual(status, 0, said)
        if client is not None:
            self.assertSameMessages(client.messages(), [line.encode(ANSI) for line in expected])
