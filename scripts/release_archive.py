"""The release archive's contents, shared by scripts/release, which makes the
archive, and scripts/check-release, which makes it again to compare.

    release_archive.py guide README.md VERSION OUT    the user guide as README.txt
    release_archive.py zip ARCHIVE EPOCH FOLDER        the archive, of MEMBERS in FOLDER
"""
import os
import re
import sys
import time
import zipfile

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
GUIDE_START = "<!-- user guide"
GUIDE_END = "<!-- end of user guide -->"


def user_guide(markdown, version):
    """The part of README.md between its guide marks, as plain ASCII text
    under a title: what cmd's `type` and Notepad show as written."""
    paragraphs = markdown.split("\n\n")
    introduction = paragraphs[1]  # under the title
    # From the first screen's list: where it runs, where to report problems.
    facts = re.findall(r"^- \*\*(?:Runs on\*\*|Problems:\*\*).*\n(?:  .*\n)*", markdown, re.MULTILINE)
    body = markdown.split(GUIDE_START, 1)[1].split("-->", 1)[1].split(GUIDE_END, 1)[0]
    title = f"chatpipe {version}"
    lines = [title, "=" * len(title), ""]
    for line in "\n".join([introduction, "", "".join(facts), "## In this archive", "", *ARCHIVE_CONTENTS, "",
                           body.strip("\n")]).split("\n"):
        heading = re.match(r"#+ (.*)", line)
        if heading:
            lines += [heading[1], "-" * len(heading[1])]
            continue
        if not line.startswith("    "):  # code stays as it is
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


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "guide":
        with open(sys.argv[2], encoding="utf-8") as markdown, open(sys.argv[4], "w", newline="\n") as out:
            out.write(user_guide(markdown.read(), sys.argv[3]))
    elif len(sys.argv) == 5 and sys.argv[1] == "zip":
        write_zip(sys.argv[2], sys.argv[3], [os.path.join(sys.argv[4], name) for name in MEMBERS])
    else:
        sys.exit(__doc__)
