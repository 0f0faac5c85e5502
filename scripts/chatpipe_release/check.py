"""Checks a downloaded release archive against the commit it names, and its
signatures against the signers the project names:

    scripts/check-release [--signers FILE] [--rebuild-seconds N] [--processes N] [--memory N]
                          [--cpu-seconds N] [--disk N] [--repository LINE] chatpipe-VERSION-win64.zip

Nothing is unpacked to disk.  The archive must hold plain files, each once,
of at most MEMBER_CAP bytes, with no data before the first and no comment.
The commit that its BUILDINFO.txt names must be 40 lowercase hex digits, a
commit of this clone on main or a tag, of the version that the file name
names.  Each program's signature, if any, is parsed and checked in this
process: one signer, nothing beside it but certificates (which count for
nothing) and one RFC 3161 time-stamp, the program's own digest.

The commit is rebuilt unsigned, with a clean environment, in a root of the
Debian release that BUILDINFO.txt names, with the versions it names of the
packages that the commit lists in release/toolchain-packages.txt (each a
Debian version string; where the root has others, they are installed for
this rebuild alone, over the root, from this machine's repositories or the
--repository line).  scripts/debian-root, this clone's, makes the root with
the build tools, then runs the commit's own scripts/release there in a
sandbox: no capability, no network, the root read-only, nothing of this
machine's; no code of the commit runs on this machine itself.  The rebuild
is kept in build/check-release/, one for each commit and toolchain, made
under a lock and checked each time it is used.  The download's signatures
are attached to the rebuilt programs, here and as osslsigncode attaches
them, and those zipped by the commit's own code in the same sandbox and
toolchain.  The archive must equal the download byte for byte, so that every
byte is either the commit's build or a signature.  git is asked about this
clone alone, whoever owns it and whatever HOME holds (root's check of a
user's clone, under sudo or not).

Root only installs what it runs.  Under sudo, the rest is done as the user
who called sudo; as a user other than root, the root lies in that user's
cache (see scripts/debian-root), and what the check keeps is the user's.

It exits 0 only then, and only when no program is signed or every program
is signed once by a certificate that the list of signers names, valid now or
at the time of a time-stamp signed by a certificate that the list names:
trust is by these pins alone, never by a path of issuers or a store of
authorities (Windows judges those).  The list is release/signers.txt on the
tip of this clone's main, or FILE.  The last line is the verdict:

    check-release: ACCEPTED: ...       status 0: the download is the commit's
    check-release: REFUSED: ...        status 1: the download is not sound,
                                       or names a commit whose release fails
                                       (also for a bound of its sandbox) or
                                       runs past N seconds (default
                                       REBUILD_SECONDS)
    check-release: NOT CHECKED: ...    status 3: the check could not be made
                                       (the network, a toolchain version that
                                       no repository serves, a time limit of
                                       its own steps, a sandbox that cannot
                                       be set up, a tool, git); it says
                                       nothing of the download

Status 2 for a usage error or a --signers FILE that cannot be read, 128 plus
the signal's number when interrupted.  Debian 12 or 13; as root, under
sudo, or as a user with subordinate ids once root has installed its tools
(sudo scripts/install-deps --checker).
"""
import argparse
import contextlib
import datetime
import difflib
import fcntl
import hashlib
import io
import os
import pwd
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import zipfile
import zlib
from pathlib import Path

from chatpipe_release.archive import PROGRAMS, TOOLCHAIN_PACKAGES, toolchain_packages, version_named, version_of

TOP = Path(__file__).resolve().parents[2]
STORE = TOP / "build" / "check-release"  # kept rebuilds, one a commit and toolchain

MEMBER_CAP = 1 << 20  # bytes: five times the largest program, the stand-in's 210 KB
MEMBERS_CAP = 16
ARCHIVE_CAP = MEMBERS_CAP * MEMBER_CAP
SIGNERS_CAP = 1 << 20  # a list of signers: some thousand lines
# Nothing of the caller's reaches a command but where the roots lie.
CLEAN_ENVIRONMENT = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8",
                     **{name: os.environ[name] for name in ("CHATPIPE_ROOTS", "XDG_CACHE_HOME")
                        if name in os.environ}}
REBUILD_SECONDS = 3600
# The sandbox's other bounds on a commit's release, each an option; where one
# is not given, debian-root's own holds (see its header).
BOUND_OPTIONS = {"--processes": ("CHATPIPE_SANDBOX_PROCESSES", "processes at once"),
                 "--memory": ("CHATPIPE_SANDBOX_MEMORY", "bytes of address space, each process"),
                 "--cpu-seconds": ("CHATPIPE_SANDBOX_CPU_SECONDS", "seconds of CPU time, each process"),
                 "--disk": ("CHATPIPE_SANDBOX_DISK", "bytes its folder may hold")}
COMMAND_SECONDS = 600
ROOT_SECONDS = 1800  # making the root: mmdebstrap, with the toolchain, Wine and the rest
NOT_CHECKED = 3
TOOLCHAIN_FIELDS = ("built on", "package", "compiler", "linker", "MinGW-w64 runtime", "cmake")


class Refused(Exception):
    pass


class NotChecked(Exception):
    """The check could not be made, for a reason that is not the download's."""


class TimedOut(NotChecked):
    """A command ran past its bound: check-release's own step, unless the
    caller knows it for the commit's."""


class Interrupted(BaseException):
    pass


def shown(text, cap=200):
    """Text from the archive or a certificate as it may be printed: printable
    ASCII, everything else escaped, and no longer than `cap`."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", "backslashreplace")
    text = "".join(c if " " <= c <= "~" else c.encode("unicode_escape").decode() for c in text)
    return text if len(text) <= cap else text[:cap] + "...(cut)"


def run(*command, seconds=COMMAND_SECONDS, env=None, **options):
    """Runs a command in a clean environment and a process group of its own,
    which is ended with it on a time-out or an interrupt; and killed should
    check-release itself be killed (debian-root then ends all in the root)."""
    command = ("setpriv", "--pdeathsig", "KILL", *command)
    process = subprocess.Popen([str(part) for part in command], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL, text=True, errors="replace",
                               env=dict(CLEAN_ENVIRONMENT, **(env or {})),
                               start_new_session=True, **options)
    try:
        output, _ = process.communicate(timeout=seconds)
    except BaseException as error:
        for ending in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(process.pid, ending)
                process.wait(10)
                break
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        if isinstance(error, subprocess.TimeoutExpired):
            raise TimedOut(f"{Path(str(command[3])).name} took over {seconds} s") from None
        raise
    return subprocess.CompletedProcess(command, process.returncode, output)


def git(*arguments, may_fail=False):
    """git on this clone, and no other: trusted whoever owns it.  A failure
    that is not an answer (`may_fail`) means the check cannot be made."""
    done = run("git", "-c", f"safe.directory={TOP}", "-C", TOP, *arguments)
    if done.returncode != 0 and not may_fail:
        raise NotChecked(f"git {arguments[0]} failed in {TOP}: {shown(done.stdout.strip())}")
    return done


def read_signers(path):
    """{'signer': set, 'time-stamp': set} of SHA-256 fingerprints, from FILE
    or from release/signers.txt on the tip of main."""
    if path:
        with open(path, encoding="utf-8") as listed:
            text = listed.read(SIGNERS_CAP + 1)
    else:
        text = git("show", "refs/heads/main:release/signers.txt").stdout
    if len(text) > SIGNERS_CAP:
        raise ValueError(f"over {SIGNERS_CAP:,} characters")
    signers = {"signer": set(), "time-stamp": set()}
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        fields = line.split()
        fingerprint = fields[-1].replace(":", "").lower()
        if len(fields) != 2 or fields[0] not in signers or not re.fullmatch(r"[0-9a-f]{64}", fingerprint):
            raise ValueError(f"line {number}: not 'signer' or 'time-stamp' and a SHA-256 fingerprint")
        signers[fields[0]].add(fingerprint)
    return signers


def read_archive(data):
    """The members' contents, read within the caps."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
    except zipfile.BadZipFile as error:
        raise Refused(f"not a zip archive: {error}")
    infos = archive.infolist()
    names = [info.filename for info in infos]
    if len(infos) > MEMBERS_CAP:
        raise Refused(f"over {MEMBERS_CAP} members")
    for name in names:
        if not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9._-]*", name):
            raise Refused(f"unexpected member {shown(name)}")
        if names.count(name) > 1:
            raise Refused(f"{shown(name)} is in the archive more than once")
    if "BUILDINFO.txt" not in names:
        raise Refused("BUILDINFO.txt is missing")
    if archive.comment:
        raise Refused("the archive has a comment")
    if not data.startswith(b"PK\3\4") or min(info.header_offset for info in infos) != 0:
        raise Refused("there is data before the first entry")
    for info in infos:
        unix_type = info.external_attr >> 16 & 0o170000 if info.create_system == 3 else 0
        if info.is_dir() or unix_type not in (0, 0o100000) or info.flag_bits & 1:
            raise Refused(f"{info.filename} is not a plain file")
        if info.file_size > MEMBER_CAP or info.compress_size > MEMBER_CAP:
            raise Refused(f"{info.filename} is over {MEMBER_CAP:,} bytes")
    contents = {}
    for info in infos:
        try:
            with archive.open(info) as member:
                contents[info.filename] = member.read(MEMBER_CAP + 1)
        except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError) as error:
            raise Refused(f"{info.filename} cannot be read: {shown(str(error))}")
        if len(contents[info.filename]) != info.file_size:
            raise Refused(f"{info.filename} is not the size the archive says")
    return contents


def fields_of(build_info):
    """BUILDINFO.txt's lines as (field, value); a lone CR is part of a value, not its end."""
    lines = build_info.decode("utf-8", "replace").split("\n")
    return [tuple(line.rstrip("\r").split(": ", 1)) for line in lines if ": " in line]


def named_commit(build_info):
    """The commit that BUILDINFO.txt names, in its one form."""
    commit = dict(fields_of(build_info)).get("commit", "")
    if not re.fullmatch(r"[0-9a-f]{40}", commit):
        raise Refused(f"BUILDINFO.txt's commit '{shown(commit)}' is not 40 lowercase hex digits")
    return commit


# As Debian writes a version: an epoch, then a digit, then these characters.
DEBIAN_VERSION = r"(?:[0-9]{1,9}:)?[0-9][A-Za-z0-9.+~-]{0,99}"
PACKAGE_NAME = r"[a-z0-9][a-z0-9.+-]{1,99}"


def named_toolchain(commit, build_info):
    """The Debian release and the packages' versions (NAME=VERSION) that
    BUILDINFO.txt says the archive was built with, for the packages that the
    commit's own list names (none in a commit from before it had one: the
    root's then stand)."""
    listed = git("show", f"{commit}:{TOOLCHAIN_PACKAGES}", may_fail=True)
    return toolchain_of(build_info, toolchain_packages(listed.stdout) if listed.returncode == 0 else [], commit)


def toolchain_of(build_info, names, commit):
    """The download writes BUILDINFO.txt: only versions come from it, each a
    Debian version string, and only of the packages `names` names."""
    fields = fields_of(build_info)
    built_on = re.fullmatch(r"Debian ([0-9]{1,3})(?:\.[0-9]{1,3})?", dict(fields).get("built on", ""))
    if not built_on:
        raise Refused("BUILDINFO.txt names no Debian release it was built on")
    versions = {}
    for field, value in fields:
        name, _, version = value.partition(" ")
        if field == "package" and name in names:
            if not re.fullmatch(DEBIAN_VERSION, version):
                raise Refused(f"BUILDINFO.txt's version of {name}, '{shown(version)}', is not a Debian version")
            versions.setdefault(name, version)
    for name in names:
        if not re.fullmatch(PACKAGE_NAME, name):
            raise Refused(f"commit {commit} lists '{shown(name)}' as a toolchain package: not a Debian package name")
        if name not in versions:
            raise Refused(f"BUILDINFO.txt names no version of {name}")
    return built_on[1], [f"{name}={versions[name]}" for name in names]


def checked_commit(commit, archive_name):
    """The commit, once it is one of this clone's on main or a tag, of the
    version the file name names; says what it is."""
    resolved = git("rev-parse", "--verify", "--end-of-options", commit + "^{commit}", may_fail=True)
    if resolved.returncode != 0 or resolved.stdout.strip() != commit:
        raise Refused(f"commit {commit} is not a commit of this clone")
    if not git("for-each-ref", "--contains", commit, "refs/heads/main", "refs/tags").stdout:
        raise Refused(f"commit {commit} is on neither main nor a tag of this clone")
    cmake_lists = git("show", f"{commit}:CMakeLists.txt", may_fail=True)
    if cmake_lists.returncode != 0:
        raise Refused(f"commit {commit} has no CMakeLists.txt: it is no commit of a release")
    version = version_of(cmake_lists.stdout) or "unknown"
    date = git("log", "-1", "--format=%cd", "--date=format-local:%Y-%m-%d %H:%M UTC", commit).stdout.strip()
    print(f"commit {commit}: chatpipe {version}, committed {date}")
    named = version_named(archive_name)
    if named and named != version:
        raise Refused(f"the file name says version {shown(named)}, but the commit is of version {version}")
    newer = [tag for tag in git("tag", "--list", "v*").stdout.split()
             if re.fullmatch(r"v[0-9]+(\.[0-9]+)*", tag) and release_key(tag[1:]) > release_key(version)]
    if newer:
        print(f"NOTE: this clone has newer releases than {version}: {', '.join(sorted(newer, key=release_key))}")
    return commit


def release_key(version):
    return [int(part) for part in version.split(".") if part.isdigit()]


def tail(output):
    for line in output.splitlines()[-20:]:
        print(f"  {shown(line)}", file=sys.stderr)


def plain_file(path):
    """What the sandbox left at `path`: a regular file's bytes, never through
    a link, a pipe or a device, and no more than an archive may hold."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError as error:
        raise Refused(f"the rebuild left no archive: {error.strerror}")
    with os.fdopen(descriptor, "rb") as built:
        if not stat.S_ISREG(os.fstat(built.fileno()).st_mode):
            raise Refused("the rebuild left something other than an archive")
        return built.read(ARCHIVE_CAP + 1)


def release_files(unsigned, commit):
    """The members of the commit's rebuilt archive, which the commit's code
    made: read as a download is, within the same caps and names, then held to
    naming the commit in its BUILDINFO.txt."""
    try:
        if len(unsigned) > ARCHIVE_CAP:
            raise Refused(f"the archive is over {ARCHIVE_CAP:,} bytes")
        with judging("the rebuilt archive"):
            files = read_archive(unsigned)
    except Refused as refusal:
        raise Refused(f"commit {commit}'s release: {refusal}") from None
    if f"commit: {commit}".encode() not in files["BUILDINFO.txt"].splitlines():
        raise Refused(f"commit {commit}'s release names another commit")
    return files


def in_sandbox(commit, toolchain, script, what, seconds=REBUILD_SECONDS, bounds=None, repository=None, given=None):
    """The archive that the commit's `script` leaves in release.zip, run in
    its sandbox in a root of the archive's Debian release with the archive's
    toolchain, `given` ({name: bytes}) in its build/given/.  This clone's code
    makes the root and installs the toolchain, with the network: a failure
    there is not the download's.  The script's failing is the download's,
    which names a commit that does not build."""
    built_on, packages = toolchain
    root = [TOP / "scripts" / "debian-root", "--build-only", built_on]
    made = run(*root, "--make", seconds=ROOT_SECONDS)
    if made.returncode != 0:
        tail(made.stdout)
        raise NotChecked(f"the Debian {built_on} root could not be made (status {made.returncode})")
    sandbox = Path(tempfile.mkdtemp(prefix=".sandbox-", dir=STORE))
    layer = Path(tempfile.mkdtemp(prefix=".layer-", dir=STORE))
    try:
        (sandbox / "build" / "given").mkdir(parents=True)
        for name, data in (given or {}).items():
            (sandbox / "build" / "given" / name).write_bytes(data)
        # The archive's toolchain where the root's differs, over the root for this use alone.
        installed = run(*root, "--layer", layer, *(["--repository", repository] if repository else []), *packages,
                        seconds=ROOT_SECONDS)
        if installed.returncode == NOT_CHECKED:
            raise NotChecked(f"no repository serves the archive's {shown(installed.stdout.splitlines()[-1])}: "
                             "--repository names one that may (Debian's snapshot archive, say)")
        if installed.returncode != 0:
            tail(installed.stdout)
            raise NotChecked(f"the archive's toolchain could not be installed (status {installed.returncode})")
        try:
            done = run(*root, "--commit", commit, "--sandbox", sandbox, "--layer", layer, "/bin/sh", "-c", script,
                       seconds=seconds, env=bounds)
        except TimedOut:
            raise Refused(f"commit {commit}'s {what} ran past its bound of {seconds} s "
                          "(--rebuild-seconds raises it)") from None
        if done.returncode != 0:
            tail(done.stdout)
            if not Path(f"{sandbox}.made").exists():
                raise NotChecked(f"the sandbox for commit {commit}'s {what} could not be made (status "
                                 f"{done.returncode})")
            raise Refused(f"commit {commit}'s {what} failed in the root (status {done.returncode}), within "
                          f"the sandbox's bounds, which {', '.join(BOUND_OPTIONS)} and --rebuild-seconds raise")
        return plain_file(sandbox / "release.zip")
    finally:
        shutil.rmtree(sandbox, ignore_errors=True)
        shutil.rmtree(layer, ignore_errors=True)
        Path(f"{sandbox}.made").unlink(missing_ok=True)


def owned_by_clone(*paths):
    """What root leaves in a clone that a user owns (under sudo, say) is that
    user's, to remove as any build output."""
    owner = TOP.stat()
    if os.geteuid() == 0 and owner.st_uid != 0:
        for path in paths:
            os.chown(path, owner.st_uid, owner.st_gid, follow_symlinks=False)


def as_sudo_caller():
    """Under sudo, everything after the installing is done as the user who
    called it: root's own part ends here.  The HOME to work with."""
    caller = os.environ.get("SUDO_UID", "")
    if os.geteuid() != 0 or not caller.isdigit() or int(caller) == 0:
        return os.environ.get("HOME", "/")
    try:
        user = pwd.getpwuid(int(caller))
    except KeyError:
        raise NotChecked(f"SUDO_UID names user {shown(caller)}, whom this machine does not have") from None
    os.initgroups(user.pw_name, user.pw_gid)
    os.setresgid(user.pw_gid, user.pw_gid, user.pw_gid)
    os.setresuid(user.pw_uid, user.pw_uid, user.pw_uid)
    return user.pw_dir


@contextlib.contextmanager
def rebuilds():
    """The folder of kept rebuilds, held: two checks at once, the second
    waits, then uses what the first kept."""
    try:
        STORE.mkdir(parents=True, exist_ok=True)
        # Root's, say, from a check as root by an earlier version.
        if os.geteuid() != 0 and any(entry.lstat().st_uid != os.geteuid() for entry in STORE.iterdir()):
            raise PermissionError
        lock = open(STORE / "lock", "w")
    except PermissionError:
        raise NotChecked(f"{STORE} holds another user's files (root's, from a check as root): remove it as that "
                         "user (sudo rm -r), or check as that user") from None
    with lock:
        owned_by_clone(STORE.parent, STORE, STORE / "lock")
        fcntl.flock(lock, fcntl.LOCK_EX)
        # A killed check's .ready-, .sandbox- and .layer- folders, and its sandbox's mark.
        for stale in STORE.glob(".[rsl][ea]*-*"):
            if stale.is_dir() and not stale.is_symlink():
                shutil.rmtree(stale, ignore_errors=True)
            else:
                stale.unlink(missing_ok=True)
        yield


def rebuild(commit, toolchain, seconds=REBUILD_SECONDS, bounds=None, repository=None):
    """The commit's unsigned release archive, built once with the archive's
    toolchain and kept (while rebuilds() is held), and its members."""
    built_on, packages = toolchain
    # One rebuild of a commit for each toolchain it was built with.
    kept = STORE / f"{commit}-{hashlib.sha256(' '.join([built_on, *packages]).encode()).hexdigest()[:16]}"
    try:
        built = plain_file(kept / "unsigned.zip")
        return built, release_files(built, commit)
    except Refused:  # missing, or not the commit's
        shutil.rmtree(kept, ignore_errors=True)
    print(f"rebuilding commit {commit} in a Debian {built_on} root (once: it is kept in build/check-release/)",
          flush=True)
    built = in_sandbox(commit, toolchain, "scripts/release && cp build/release/chatpipe-*-win64.zip release.zip",
                       "release", seconds, bounds, repository)
    files = release_files(built, commit)  # before it is kept
    ready = Path(tempfile.mkdtemp(prefix=".ready-", dir=STORE))
    try:
        (ready / "unsigned.zip").write_bytes(built)
        owned_by_clone(ready, ready / "unsigned.zip")
        os.rename(ready, kept)
    finally:
        shutil.rmtree(ready, ignore_errors=True)
    return built, files


def attached(files, signatures):
    """The rebuilt programs, each with the download's signature attached."""
    try:
        return {name: authenticode.attached(files[name], der) for name, der in signatures.items()}
    except authenticode.Unsound as error:
        raise Refused(f"a signature cannot be attached to the rebuilt program: {error}")


def compare_build_info(theirs, ours):
    """Shows where BUILDINFO.txt parts from the rebuild's, as a diff; says it
    may be the toolchain only when only toolchain lines differ."""
    theirs, ours = (text.decode("utf-8", "replace").replace("\r", "").splitlines() for text in (theirs, ours))
    diff = list(difflib.unified_diff(ours, theirs, "rebuilt BUILDINFO.txt", "the archive's BUILDINFO.txt", lineterm=""))
    if not diff:
        return
    for line in diff:
        print(f"  {shown(line)}")
    changed = [line[1:] for line in diff[2:] if line[:1] in "+-"]
    if all(line.split(": ", 1)[0] in TOOLCHAIN_FIELDS for line in changed):
        print("NOTE: only toolchain lines differ: the archive was built with another toolchain than the rebuild")


def judge(name, signature, signers, now):
    """Reports a signature; the reason it is not acceptable, or None."""
    print(f"{name}: signed by the certificate with SHA-256 fingerprint {signature.fingerprint}")
    print(f"  its subject, as the certificate itself gives it: \"{shown(signature.signer.subject.human_friendly)}\"")
    listed = signature.fingerprint in signers["signer"]
    print(f"  a listed signer: {'yes' if listed else 'NO'}")
    moment, stamp = now, signature.time_stamp
    if stamp is not None:
        stamper_listed = stamp.fingerprint in signers["time-stamp"]
        print(f"  time-stamped {stamp.time:%Y-%m-%d %H:%M:%S} UTC by the certificate with SHA-256 fingerprint "
              f"{stamp.fingerprint}, \"{shown(stamp.authority.subject.human_friendly)}\": "
              f"{'a listed authority' if stamper_listed else 'NOT LISTED'}")
        if not stamper_listed:
            return f"{name}'s time-stamp is signed by a certificate that the list of signers does not name"
        if not authenticode.valid_at(stamp.authority, stamp.time):
            return f"{name}'s time-stamp is signed by a certificate that was not valid at its time"
        if stamp.time > now:
            return f"{name}'s time-stamp lies in the future"
        moment = stamp.time
    valid = authenticode.valid_at(signature.signer, moment)
    print(f"  the certificate valid {'at the time-stamp' if stamp else 'now'}: {'yes' if valid else 'NO'}")
    if not listed:
        return f"{name} is signed by a certificate that the list of signers does not name"
    if not signature.code_signing():
        return f"{name}'s signer is not a certificate for signing code"
    if not valid:
        return f"{name}'s signer's certificate was not valid {'at the time-stamp' if stamp else 'now'}"
    return None


@contextlib.contextmanager
def judging(what):
    """Whatever a download holds ends in a verdict: a fault met while reading
    or judging it that no check names (a codec's, a parser's, a library's)
    refuses it, saying of what kind it was."""
    try:
        yield
    except (Refused, NotChecked):
        raise
    except Exception as error:
        raise Refused(f"{what} cannot be read ({type(error).__name__}): {shown(str(error))}") from None


def examined(data, signers, now):
    """What the download says it is, before anything is built: its members,
    the commit it names, and its signatures, parsed and judged; a refusal
    where any of that fails.  All in this process: the fuzzer runs it too."""
    with judging("the archive"):
        contents = read_archive(data)
        commit = named_commit(contents["BUILDINFO.txt"])
    signatures, parsed = {}, {}
    for name in PROGRAMS:
        with judging(f"{name}'s signature"):
            try:
                der = authenticode.signature_of(contents.get(name, b""))
                if der is not None:
                    signatures[name], parsed[name] = der, authenticode.Signature(contents[name], der)
            except authenticode.Unsound as error:
                raise Refused(f"{name}: {error}")
    if signatures and len(signatures) != len(PROGRAMS):
        raise Refused(f"only {', '.join(signatures)} of {', '.join(PROGRAMS)} is signed")
    # Who signed, and whether that will do, is known before anything is
    # built: a signer the list does not name costs no rebuild.
    if signatures:
        with judging("the signatures"):
            reasons = [judge(name, parsed[name], signers, now) for name in PROGRAMS]
        if any(reasons):
            raise Refused("; ".join(reason for reason in reasons if reason))
    return contents, commit, signatures


def check(archive, signers, rebuild_seconds=REBUILD_SECONDS, bounds=None, repository=None):
    if os.path.getsize(archive) > ARCHIVE_CAP:
        raise Refused(f"the archive is over {ARCHIVE_CAP:,} bytes")
    data = Path(archive).read_bytes()
    now = datetime.datetime.now(datetime.timezone.utc)
    contents, commit, signatures = examined(data, signers, now)
    checked_commit(commit, Path(archive).name)
    toolchain = named_toolchain(commit, contents["BUILDINFO.txt"])
    epoch = int(git("log", "-1", "--format=%ct", commit).stdout)
    with rebuilds():
        expected, files = rebuild(commit, toolchain, rebuild_seconds, bounds, repository)
        odd = sorted(set(files) ^ set(contents))  # the commit's own members, not today's
        if odd:
            raise Refused(f"{shown(odd[0])} is "
                          f"{'missing' if odd[0] in files else 'not a member of the commit`s release'}")
        compare_build_info(contents["BUILDINFO.txt"], files["BUILDINFO.txt"])
        if signatures:  # zipped again by the commit's own code, in its root
            expected = in_sandbox(commit, toolchain, f"scripts/release zip build/given {epoch} release.zip",
                                  "zip code", rebuild_seconds, bounds, repository,
                                  given=dict(files, **attached(files, signatures)))
    if data != expected:
        with zipfile.ZipFile(io.BytesIO(expected)) as ours:
            for name in ours.namelist():
                print(f"{name}: {'same' if contents.get(name) == ours.read(name) else 'DIFFERENT'}")
        raise Refused(f"the archive is not what commit {commit} builds to, with its signatures")
    print(f"the same bytes as commit {commit}'s release"
          + (", once the download's signatures are attached to it" if signatures else ""))
    if not signatures:
        return f"commit {commit}'s release, not signed"
    return f"commit {commit}'s release, signed by a listed signer"


def main():
    parser = argparse.ArgumentParser(prog="check-release",
                                     description="Checks a chatpipe release archive against its commit.")
    parser.add_argument("--signers", metavar="FILE", help="the list of signers (default: release/signers.txt on main)")
    parser.add_argument("--rebuild-seconds", metavar="N", type=int, default=REBUILD_SECONDS,
                        help=f"how long the commit's release may take in the root (default: {REBUILD_SECONDS})")
    for option, (variable, what) in BOUND_OPTIONS.items():
        parser.add_argument(option, dest=variable, metavar="N", type=int,
                            help=f"the commit's release in its sandbox: {what}")
    parser.add_argument("--repository", metavar="LINE", help="a further line of apt's sources for the archive's "
                        "toolchain versions, as 'deb URI SUITE COMPONENT'")
    parser.add_argument("archive")
    arguments = parser.parse_args()

    def interrupted(number, _):
        raise Interrupted(number)
    for ending in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(ending, interrupted)
    global authenticode
    try:
        installed = run(TOP / "scripts" / "install-deps", "--checker")
        if installed.returncode != 0:
            print(installed.stdout, end="", file=sys.stderr)
            raise NotChecked("the tools it needs could not be installed (see above): try again")
        from chatpipe_release import authenticode  # installed just now, where it was not
        CLEAN_ENVIRONMENT["HOME"] = as_sudo_caller()
        git("rev-parse", "--git-dir")  # a clone git can read, before anything it says is believed
        try:
            signers = read_signers(arguments.signers)
        except (OSError, UnicodeDecodeError, ValueError) as error:
            print(f"check-release: the list of signers cannot be read: {shown(str(error))}", file=sys.stderr)
            return 2
        if not os.path.isfile(arguments.archive):
            print(f"check-release: no such file: {shown(arguments.archive)}", file=sys.stderr)
            return 2
        bounds = {variable: str(vars(arguments)[variable]) for variable, _ in BOUND_OPTIONS.values()
                  if vars(arguments)[variable] is not None}
        if arguments.repository is not None and not re.fullmatch(r"deb (\[[ -~]*\] )?[!-~]+( [!-~]+)+",
                                                                  arguments.repository):
            print("check-release: --repository takes one line of apt's sources: deb URI SUITE COMPONENT...",
                  file=sys.stderr)
            return 2
        verdict = check(arguments.archive, signers, arguments.rebuild_seconds, bounds, arguments.repository)
        print(f"check-release: ACCEPTED: {shown(Path(arguments.archive).name)} is {verdict}")
        return 0
    except Refused as refusal:
        print(f"check-release: REFUSED: {refusal}")
        return 1
    except NotChecked as reason:
        print(f"check-release: NOT CHECKED: {reason}; nothing was decided of the download: "
              "check it again once that is mended")
        return NOT_CHECKED
    except Interrupted as interruption:
        number = interruption.args[0]
        print(f"check-release: interrupted by {signal.Signals(number).name}: nothing was decided")
        return 128 + number


if __name__ == "__main__":
    sys.exit(main())
