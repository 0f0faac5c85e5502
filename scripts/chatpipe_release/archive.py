"""What a release is: its members and their names, its version, README.txt,
LICENSE.txt, BUILDINFO.txt, the zip and SHA256SUMS, and the manifest that
says where they lie.  The release is made (make) and checked (check) by it,
and the tests read it.
"""
import hashlib
import json
import os
import platform
import re
import subprocess
import time
import zipfile
from pathlib import Path

# What the archive holds, in this order: the names that scripts/release writes.
MEMBERS = ("chatpipe.exe", "stand-in-chat-client.exe", "README.txt", "LICENSE.txt", "BUILDINFO.txt")
PROGRAMS = MEMBERS[:2]  # the ones a release signs
ARCHIVE_CONTENTS = (
    "    chatpipe.exe               the program",
    "    stand-in-chat-client.exe   a stand-in for the Yelvo chat client, to try",
    "                               chatpipe with (see Try it)",
    "    README.txt                 this file",
    "    LICENSE.txt                chatpipe's licence, and the notices of the",
    "                               compiler runtime parts the programs carry",
    "    BUILDINFO.txt              the commit and the toolchain the programs",
    "                               were built from and with",
)
BUILT_ON = "13"  # the Debian release whose toolchain builds every release, in its root elsewhere
OUT = Path("build/release")  # below the tree: the archive, SHA256SUMS, BUILDINFO.txt and MANIFEST
MANIFEST = "release.json"  # {"version", "commit", "archive", "sha256", "signed"}
TOOLCHAIN_PACKAGES = "release/toolchain-packages.txt"  # those whose versions BUILDINFO.txt records
COMPILER, LINKER = "x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-ld"
GUIDE_START = "<!-- user guide"
GUIDE_END = "<!-- end of user guide -->"


def guide(markdown):
    """The text of README.md between its user guide's marks."""
    return markdown.split(GUIDE_START, 1)[1].split("-->", 1)[1].split(GUIDE_END, 1)[0]


def is_code(line):
    """Whether a line of the guide is code: indented four spaces or more."""
    return line.startswith("    ")


def user_guide(markdown, version):
    """The part of README.md between its guide marks, as plain ASCII text
    under a title: what cmd's `type` and Notepad show as written."""
    paragraphs = markdown.split("\n\n")
    introduction = paragraphs[1]  # under the title
    # From the first screen's list: where it runs, where to report problems.
    facts = re.findall(r"^- \*\*(?:Runs on\*\*|Problems:\*\*).*\n(?:  .*\n)*", markdown, re.MULTILINE)
    body = guide(markdown)
    title = f"chatpipe {version}"
    lines = [title, "=" * len(title), ""]
    for line in "\n".join([introduction, "", "".join(facts), "## In this archive", "", *ARCHIVE_CONTENTS, "",
                           body.strip("\n")]).split("\n"):
        heading = re.match(r"#+ (.*)", line)
        if heading:
            lines += [heading[1], "-" * len(heading[1])]
            continue
        if not is_code(line):  # code stays as it is
            line = re.sub(r"\[([^]]*)\]\(([^)]*)\)", r"\1 (\2)", line)
            line = line.replace("**", "").replace("`", "")
        lines.append(line)
    text = "\n".join(lines).replace("<version>", version) + "\n"
    text.encode("ascii")  # raises, naming the character, where the guide is not plain ASCII
    return text


def write_zip(archive, epoch, paths):
    """The same bytes from the same files, on any host: times from `epoch`,
    MS-DOS attributes, text files with CR-LF line ends."""
    date_time = time.gmtime(max(int(epoch), 315532800))[:6]  # a zip keeps times to 2 s, from 1980 on
    with zipfile.ZipFile(archive, "w") as zip_file:
        for path in paths:
            with open(path, "rb") as source:
                data = source.read()
            name = os.path.basename(path)
            if name.endswith(".txt"):  # for Notepad and friends
                data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
            info = zipfile.ZipInfo(name, date_time)
            info.create_system = 0  # MS-DOS: the same attributes from any host
            info.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE
            info.compress_type = zipfile.ZIP_DEFLATED
            zip_file.writestr(info, data, compresslevel=9)


def version_of(cmake_lists):
    """The version, from project() in CMakeLists.txt: its one place; None
    where that names none."""
    found = re.search(r"^project\(chatpipe VERSION ([0-9.]+)", cmake_lists, re.MULTILINE)
    return found and found[1]


def version(tree):
    return version_of((Path(tree) / "CMakeLists.txt").read_text())


def archive_name(release_version):
    return f"chatpipe-{release_version}-win64.zip"


def version_named(file_name):
    """The version that an archive's file name names, also as a browser saves
    a second copy ("chatpipe-1.0.0-win64 (1).zip"); None for another name."""
    named = re.fullmatch(r"chatpipe-(.*?)-win64(?: \(\d+\))?\.zip", file_name)
    return named and named[1]


def licence(tree):
    """LICENSE.txt: the licence, then the notices of the runtime parts the programs carry."""
    return (Path(tree) / "LICENSE").read_text() + "\n" + (Path(tree) / "release" / "third-party-notices.txt").read_text()


def first_line(*command, text=None):
    return subprocess.run(command, input=text, capture_output=True, text=True, check=True).stdout.splitlines()[0]


PACKAGE_VERSION = "-f=${Version}\n"


def toolchain_packages(text):
    """The package names that a toolchain-packages.txt lists."""
    return [line.strip() for line in text.splitlines() if line.strip() and not line.startswith("#")]


def build_info(tree, commit):
    """What the archive was built from and with, asked of the toolchain
    itself: enough to set up the same toolchain and compare."""
    runtime = subprocess.run([COMPILER, "-E", "-P", "-x", "c++", "-"], capture_output=True, text=True, check=True,
                             input="#include <_mingw.h>\n__MINGW64_VERSION_MAJOR.__MINGW64_VERSION_MINOR."
                                   "__MINGW64_VERSION_BUGFIX\n").stdout.strip().splitlines()[-1].replace(" ", "")
    return "".join(f"{line}\n" for line in (
        f"chatpipe {version(tree)} for 64-bit Windows",
        f"commit: {commit}",
        # The release (13), not its point release (13.2): Debian makes one
        # every two months, and a genuine archive must still check after it.
        f"built on: Debian {platform.freedesktop_os_release()['VERSION_ID']}",
        *(f"package: {package} {first_line('dpkg-query', '-W', PACKAGE_VERSION, package)}"
          for package in toolchain_packages((Path(tree) / TOOLCHAIN_PACKAGES).read_text())),
        f"compiler: {first_line(COMPILER, '--version')}",
        f"linker: {first_line(LINKER, '--version')}",
        f"MinGW-w64 runtime: {runtime}",
        f"cmake: {first_line('cmake', '--version')}",
    ))


def write_manifest(out, release_version, commit, archive, signed):
    digest = hashlib.sha256(Path(archive).read_bytes()).hexdigest()
    (Path(out) / "SHA256SUMS").write_text(f"{digest}  {Path(archive).name}\n")
    (Path(out) / MANIFEST).write_text(json.dumps({"version": release_version, "commit": commit,
                                                  "archive": Path(archive).name, "sha256": digest,
                                                  "signed": signed}, indent=2) + "\n")


def read_manifest(tree):
    """The manifest of the tree's last release, with the archive's full path."""
    manifest = json.loads((Path(tree) / OUT / MANIFEST).read_text())
    return dict(manifest, archive=Path(tree) / OUT / manifest["archive"])
