"""Mutation fuzzing of scripts/check-release's reading and judging of a
download, in this process: what it does with an archive before anything is
built (examined()), and the same bytes as a rebuilt archive (release_files()).

    check_release_fuzz.py [--runs N] [--seconds S] [--seed K]

The seed, release/seed.zip, is a genuine archive: a tiny program, signed by a
throwaway certificate and time-stamped by tests/release/timestamp_authority.py (their
keys are gone), in both program members; release/signers.txt pins both
certificates.
Each run mutates it: the archive's bytes, a member's bytes re-zipped, or one
node of a program's signature (DER, parsed into a tree and written back with
its lengths right), re-attached to the program.  Every input must end in
ACCEPTED-so-far or a refusal, within JUDGE_SECONDS; anything else is written
to build/fuzz/ and fails the run.  A run says how many inputs each kind of
refusal took, and which faults the catch-all boundary met (a fault with no
check of its own, for a later look).  Needs Debian's python3-asn1crypto and
python3-cryptography.
"""
import argparse
import collections
import contextlib
import datetime
import io
import random
import re
import struct
import sys
import time
import traceback
import zipfile
from pathlib import Path

from asn1crypto import parser as der

from chatpipe_release import authenticode, check as check_release
from chatpipe_release.archive import TOOLCHAIN_PACKAGES, toolchain_packages

CORPUS = Path(__file__).resolve().parent / "release"
FINDINGS = Path(__file__).resolve().parents[2] / "build" / "fuzz"
TOOLCHAIN = toolchain_packages((Path(__file__).resolve().parents[2] / TOOLCHAIN_PACKAGES).read_text())
JUDGE_SECONDS = 5.0  # one input; the genuine one takes milliseconds

check_release.authenticode = authenticode  # which check-release's main() imports once it is installed


def der_tree(data):
    """[(identifier byte, content bytes or [children])] of a run of DER nodes."""
    nodes = []
    while data:
        _, constructed, _, header, content, _ = der.parse(data)
        data = data[len(header) + len(content):]
        nodes.append((header[0], der_tree(content) if constructed else content))
    return nodes


def der_bytes(nodes):
    return b"".join(der.emit(tag >> 6, (tag >> 5) & 1, tag & 0x1F,
                             der_bytes(content) if isinstance(content, list) else content) for tag, content in nodes)


def every_node(nodes):
    """(its list, its index) for each node of the tree."""
    for index, (_, content) in enumerate(nodes):
        yield nodes, index
        if isinstance(content, list):
            yield from every_node(content)


def mutated_bytes(rng, data):
    data = bytearray(data)
    for _ in range(rng.choice((1, 1, 2, 8))):
        at = rng.randrange(len(data) or 1)
        how = rng.randrange(5)
        if how == 0 and data:
            data[at] ^= 1 << rng.randrange(8)
        elif how == 1:
            data[at:at] = bytes(rng.randrange(256) for _ in range(rng.choice((1, 4, 64))))
        elif how == 2:
            del data[at:at + rng.choice((1, 4, 64))]
        elif how == 3 and data:
            data[at] = rng.choice((0x00, 0x7F, 0x80, 0xFF))
        else:
            data = data[:at]
    return bytes(data)


def mutated_signature(rng, der):
    tree = der_tree(der)
    siblings, index = rng.choice(list(every_node(tree)))
    tag, content = siblings[index]
    how = rng.randrange(6)
    if how == 0:
        siblings[index] = (rng.choice((tag ^ 0x20, 0x02, 0x04, 0x05, 0x06, 0x17, 0x18, 0x30, 0x31, 0xA0, 0x80)), content)
    elif how == 1:
        del siblings[index]
    elif how == 2:
        siblings.insert(index, siblings[index])
    elif how == 3 and not isinstance(content, list):
        siblings[index] = (tag, mutated_bytes(rng, content))
    elif how == 4:
        siblings[index] = (tag, bytes(rng.randrange(256) for _ in range(rng.choice((0, 1, 2, 33, 300)))))
    elif isinstance(content, list) and content:
        siblings[index] = (tag, content[:rng.randrange(len(content))])
    return der_bytes(tree)


def resigned(program, der):
    """`program` with `der` as its signature in place of its own."""
    table, _ = authenticode.certificate_table(program)
    unsigned = bytearray(program[:table])
    struct.pack_into("<II", unsigned, authenticode.pe.directory_entry(unsigned, authenticode.pe.CERTIFICATE_TABLE), 0, 0)
    return authenticode.attached(bytes(unsigned), der)


def rezipped(rng, members):
    """The members zipped again, one of them (or its name, or its method) changed."""
    name = rng.choice(list(members))
    members = dict(members)
    kind = rng.randrange(4)
    if kind == 0 and name in check_release.PROGRAMS:
        program = members[name]
        members[name] = resigned(program, mutated_signature(rng, authenticode.signature_of(program)))
    elif kind == 1:
        members[name] = mutated_bytes(rng, members[name])
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for member, data in members.items():
            info = zipfile.ZipInfo(member, (2025, 12, 6, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            if member == name and kind == 2:
                info.compress_type = rng.choice((zipfile.ZIP_STORED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA))
            if member == name and kind == 3:
                info.filename = rng.choice((member + "\x00", "\xff" + member, "../" + member, member.upper()))
            archive.writestr(info, data)
    return buffer.getvalue()


def judged(data, signers, now):
    """'accepted', or the refusal's kind: its text with the specifics taken out."""
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            check_release.examined(data, signers, now)
            return "accepted"
        except check_release.Refused as refusal:
            said = str(refusal)
            boundary = re.search(r"cannot be read \((\w+)\): (.{0,60})", said)
            if boundary:
                return f"caught at the boundary: {boundary[1]}: {boundary[2]}"
            return re.sub(r"'.*'|[0-9a-f]{6,}|\d+|\S*\\\S*", "_", said)[:100]


def rebuilt(data, commit):
    """The same bytes read as a rebuilt archive of `commit` is read, and its
    BUILDINFO.txt's toolchain as this tree's list names it: a result, or a
    refusal."""
    try:
        files = check_release.release_files(data, commit)
        check_release.toolchain_of(files["BUILDINFO.txt"], TOOLCHAIN, commit)
    except check_release.Refused:
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=0, help="how many inputs (0: as many as --seconds allows)")
    parser.add_argument("--seconds", type=float, default=0)
    parser.add_argument("--seed", type=int, default=None, help="the random seed (default: from the clock, printed)")
    arguments = parser.parse_args()
    seed = arguments.seed if arguments.seed is not None else time.time_ns() % 1_000_000_007
    rng = random.Random(seed)
    genuine = (CORPUS / "seed.zip").read_bytes()
    signers = check_release.read_signers(CORPUS / "signers.txt")
    with zipfile.ZipFile(io.BytesIO(genuine)) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    program = members[check_release.PROGRAMS[0]]
    commit = check_release.named_commit(members["BUILDINFO.txt"])
    stamp = authenticode.Signature(program, authenticode.signature_of(program)).time_stamp
    now = stamp.time + datetime.timedelta(minutes=1)  # while the throwaway certificates are valid
    if judged(genuine, signers, now) != "accepted":
        sys.exit(f"the genuine seed is not accepted: {judged(genuine, signers, now)}")
    kinds = collections.Counter()
    deadline = time.monotonic() + arguments.seconds
    runs = 0
    while (runs < arguments.runs) if arguments.runs else (time.monotonic() < deadline):
        runs += 1
        data = mutated_bytes(rng, genuine) if rng.random() < 0.2 else rezipped(rng, members)
        started = time.monotonic()
        try:
            kinds[judged(data, signers, now)] += 1
            rebuilt(data, commit)
            fault = None if time.monotonic() - started < JUDGE_SECONDS else f"took {time.monotonic() - started:.1f} s"
        except Exception:
            fault = traceback.format_exc()
        if fault:
            FINDINGS.mkdir(parents=True, exist_ok=True)
            finding = FINDINGS / f"check-release-{seed}-{runs}.zip"
            finding.write_bytes(data)
            sys.exit(f"input {runs} of seed {seed}, kept as {finding}:\n{fault}")
    for kind, count in kinds.most_common():
        print(f"{count:8}  {kind}")
    print(f"{runs} inputs from seed {seed}, every one judged; {kinds['accepted']} accepted as far as reading goes")


if __name__ == "__main__":
    main()
