"""Builds the Windows release of this tree's last commit:

    scripts/release              the release, into build/release/
    scripts/release files DIR    the commit's unsigned members, into DIR (what
                                 the Debian 13 root runs for a Debian 12 host)
    scripts/release zip DIR EPOCH ARCHIVE
                                 zips the members in DIR as a release does,
                                 their times EPOCH's (what the root runs for
                                 a release, and check-release's sandbox for
                                 a signed download)
    scripts/release --archive    prints where the last release's archive lies

build/release/ then holds chatpipe-VERSION-win64.zip, SHA256SUMS,
BUILDINFO.txt and release.json, the manifest that names them (its fields:
version, commit, archive, sha256, signed); it prints nothing a caller needs.
A release that fails leaves no archive.

The same commit gives the same bytes with the same toolchain: the programs
carry no time stamp or build folder, the archive's times are the commit's
(SOURCE_DATE_EPOCH), and BUILDINFO.txt names the toolchain.  The programs are
built with Debian 13's toolchain, always in a root that only builds
(scripts/debian-root --build-only), brought up to date first when its last
update is over a day old: the same toolchain on every host, and Debian's
current one.  Inside such a root (a check's rebuild) it builds where it is,
installing nothing.  The archive is zipped there too, by the root's Python and
zlib, whose versions BUILDINFO.txt names with the toolchain's.

Signing: with CHATPIPE_SIGN_PFX naming a PKCS#12 file (certificate and key)
and CHATPIPE_SIGN_PASSWORD_FILE a file that holds its password, both
programs are signed with Authenticode (SHA-256), time-stamped by the RFC 3161
server that CHATPIPE_SIGN_TIMESTAMP_URL names, if any.  The password is only
ever read from its file.  A certificate that cannot be used stops the
release before anything is built.  BUILDINFO.txt says nothing of the
signing: a rebuild without the key gives the same file.  Debian 12 or 13.
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from chatpipe_release import archive as release

TOP = Path(__file__).resolve().parents[2]
WORK = TOP / "build" / "release-work"


def fail(message):
    sys.exit(f"release: {message}")


def git(*arguments):
    return subprocess.run(["git", "-C", str(TOP), *arguments], capture_output=True, check=True).stdout


def build_files(files):
    """The last commit's programs, README.txt, LICENSE.txt and BUILDINFO.txt, into `files`."""
    subprocess.run([TOP / "scripts" / "install-deps", "--release"], stdout=sys.stderr, check=True)  # git among them
    commit = git("rev-parse", "HEAD").decode().strip()
    source = WORK / "source"
    shutil.rmtree(WORK, ignore_errors=True)
    source.mkdir(parents=True)
    Path(files).mkdir(parents=True, exist_ok=True)
    archive = subprocess.Popen(["git", "-C", TOP, "archive", "--format=tar", commit], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", source], stdin=archive.stdout, check=True)
    if archive.wait():
        fail(f"git archive {commit} failed")
    for step in (["--preset", "windows", "-DBUILD_TESTING=OFF"],
                 ["--build", "--preset", "windows", "-j", str(os.cpu_count()), "--target", "chatpipe", "stand_in_chat"]):
        subprocess.run(["cmake", *step], cwd=source, stdout=subprocess.DEVNULL, check=True)
    for program in release.PROGRAMS:
        shutil.copy(source / "build" / "windows" / program, Path(files) / program)
    version = release.version(source)
    members = {"README.txt": release.user_guide((source / "README.md").read_text(), version),
               "LICENSE.txt": release.licence(source), "BUILDINFO.txt": release.build_info(source, commit)}
    for name, text in members.items():
        (Path(files) / name).write_text(text)


def signing_certificate():
    """The signer's certificate (PEM) from CHATPIPE_SIGN_PFX, or None without
    one.  Opened before anything is built, so that a wrong password or an
    expired certificate stops the release at once."""
    pfx, password = os.environ.get("CHATPIPE_SIGN_PFX"), os.environ.get("CHATPIPE_SIGN_PASSWORD_FILE", "")
    if not pfx:
        return None
    if not (os.path.isfile(pfx) and os.access(pfx, os.R_OK)):
        fail(f"cannot read the certificate file {pfx} (CHATPIPE_SIGN_PFX)")
    if not (password and os.path.isfile(password) and os.access(password, os.R_OK)):
        fail("CHATPIPE_SIGN_PASSWORD_FILE must name a readable file that holds the certificate's password")
    # -legacy: older tools protect PKCS#12 files with algorithms OpenSSL 3 keeps apart.
    for legacy in ([], ["-legacy"]):
        opened = subprocess.run(["openssl", "pkcs12", *legacy, "-in", pfx, "-passin", f"file:{password}", "-nokeys",
                                 "-clcerts"], capture_output=True)
        if opened.returncode == 0:
            break
    else:
        fail(f"cannot open {pfx} with the password in {password}")
    if subprocess.run(["openssl", "x509", "-noout", "-checkend", "0"], input=opened.stdout,
                      capture_output=True).returncode:
        fail(f"the certificate in {pfx} has expired")
    return opened.stdout


def sign_programs(files, certificate):
    """Signs the programs in `files`, all or none."""
    pfx, password = os.environ["CHATPIPE_SIGN_PFX"], os.environ["CHATPIPE_SIGN_PASSWORD_FILE"]
    stamp = os.environ.get("CHATPIPE_SIGN_TIMESTAMP_URL")
    for program in release.PROGRAMS:
        if subprocess.run(["osslsigncode", "sign", "-pkcs12", pfx, "-readpass", password, "-h", "sha256",
                           "-n", program, *(["-ts", stamp] if stamp else []), "-in", Path(files) / program,
                           "-out", WORK / f"signed-{program}"], stdout=subprocess.DEVNULL).returncode:
            fail(f"osslsigncode could not sign {program}")
    for program in release.PROGRAMS:
        os.replace(WORK / f"signed-{program}", Path(files) / program)
    subject = subprocess.run(["openssl", "x509", "-noout", "-subject"], input=certificate, capture_output=True)
    print(f"release: signed by {subject.stdout.decode().strip()}", file=sys.stderr)


def main():
    if sys.argv[1:2] == ["files"] and len(sys.argv) == 3:
        build_files(sys.argv[2])
        return
    if sys.argv[1:2] == ["zip"] and len(sys.argv) == 5:
        release.write_zip(sys.argv[4], sys.argv[3], [Path(sys.argv[2]) / name for name in release.MEMBERS])
        return
    if sys.argv[1:] == ["--archive"]:
        print(release.read_manifest(TOP)["archive"])
        return
    if len(sys.argv) != 1:
        sys.exit(__doc__)
    os.chdir(TOP)
    if git("status", "--porcelain", "--untracked-files=no"):
        print("release: uncommitted changes are left out; the release is built from the last commit", file=sys.stderr)
    commit = git("rev-parse", "HEAD").decode().strip()
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or git("log", "-1", "--format=%ct").decode().strip()
    out, files = TOP / release.OUT, WORK / "files"
    shutil.rmtree(out, ignore_errors=True)  # a release that fails leaves no archive
    # What signs, here; what builds and zips is the root's (build_files installs it there).
    subprocess.run([TOP / "scripts" / "install-deps", "--signing"], stdout=sys.stderr, check=True)
    certificate = signing_certificate()
    in_root = os.environ.get("CHATPIPE_IN_DEBIAN_ROOT") == f"{release.BUILT_ON}-build"
    root = [TOP / "scripts" / "debian-root", "--build-only", release.BUILT_ON]
    if in_root:
        build_files(files)
    else:
        print(f"release: building with Debian {release.BUILT_ON}'s toolchain, in its root", file=sys.stderr)
        relative = files.relative_to(TOP)
        subprocess.run([*root, "--update"], check=True)
        subprocess.run([*root, "scripts/release", "files", relative], check=True)
        copy = Path(subprocess.run([*root, "--copy"], capture_output=True, text=True, check=True).stdout.strip())
        shutil.rmtree(WORK, ignore_errors=True)
        shutil.copytree(copy / relative, files)
    if certificate:
        sign_programs(files, certificate)
    else:
        print("release: no certificate (CHATPIPE_SIGN_PFX): the programs are not signed", file=sys.stderr)
    version = release.version_of(git("show", "HEAD:CMakeLists.txt").decode())
    out.mkdir(parents=True)
    archive = out / release.archive_name(version)
    if in_root:
        release.write_zip(archive, epoch, [files / name for name in release.MEMBERS])
    else:  # the signed programs back into the root's copy, to be zipped there
        staged = Path("build") / "release-zip"
        shutil.rmtree(copy / staged, ignore_errors=True)
        shutil.copytree(files, copy / staged / "files")
        subprocess.run([*root, "scripts/release", "zip", staged / "files", epoch, staged / "archive.zip"], check=True)
        shutil.copy(copy / staged / "archive.zip", archive)
    shutil.copy(files / "BUILDINFO.txt", out)
    release.write_manifest(out, version, commit, archive, signed=bool(certificate))
