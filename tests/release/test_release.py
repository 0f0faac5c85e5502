"""Releases, reproducible and signed, and scripts/check-release against every
kind of archive, from one clone and its one unsigned release (Release).
Throwaway certificates sign, loopback authorities time-stamp, faketime moves
the clock; the signers and authorities are listed in a file of the tests'
own.  Every hostile archive is refused, and nothing outside the work folder
changes.  And the Debian root that releases and checks share (DebianRoot).
"""
import datetime
import functools
import hashlib
import http.server
import io
import os
import re
import select
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import warnings
import zipfile
from pathlib import Path

from asn1crypto import cms, core
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa

from chatpipe_release.archive import (BUILT_ON, MANIFEST, MEMBERS, OUT, PROGRAMS, TOOLCHAIN_PACKAGES, archive_name,
                                      read_manifest, write_zip)
from chatpipe_release.authenticode import attached, certificate_table, signature_of
from chatpipe_release.pe import CERTIFICATE_TABLE, directory_entry

# The commands under test run as a user runs them, finding their package
# beside them, never this tree's through the tests' own PYTHONPATH.
os.environ.pop("PYTHONPATH", None)
TOP = Path(__file__).resolve().parents[2]
OTHER = subprocess.run([TOP / "scripts" / "debian-root", "--other"], capture_output=True, text=True).stdout.strip()
base = Path(tempfile.mkdtemp(prefix="release-test-"))
work, clone = base / "work", base / "clone"
genuine, unsigned = work / "signed.zip", work / "unsigned.zip"
# From the clone, whose repository the tests may add to; it keeps its
# rebuilds in the clone's build/.
SIGNERS = work / "signers.txt"
CHECK = [str(clone / "scripts" / "check-release"), "--signers", str(SIGNERS)]
# A user with 65,536 subordinate ids, known only in a private copy of /etc
# (as_them), whose home holds a clone.
THEIR_UID, THEIR_SUBORDINATES = 3999999999, 3900000000
their_home = Path(tempfile.mkdtemp(prefix="release-test-theirs-"))
AFTER_EXPIRY = "+3d"  # faketime's clock, past the test certificates' end
MADE = {}  # name: (certificate, key)
TIME_STAMPING = x509.oid.ExtendedKeyUsageOID.TIME_STAMPING
KEY_USAGES = ("digital_signature", "content_commitment", "key_encipherment", "data_encipherment", "key_agreement",
              "key_cert_sign", "crl_sign")
IDENTITY = {f"GIT_{who}_{what}": value for who in ("AUTHOR", "COMMITTER")
            for what, value in (("NAME", "test"), ("EMAIL", "test@localhost"))}
authorities = []


def clean_up():
    for authority in authorities:  # with faketime's child, which holds CTest's output open
        os.killpg(authority.pid, signal.SIGKILL)
        authority.communicate()
    shutil.rmtree(base, ignore_errors=True)
    shutil.rmtree(their_home, ignore_errors=True)


unittest.addModuleCleanup(clean_up)


def run(*command, **options):
    return subprocess.run([str(part) for part in command], capture_output=True, text=True, **options)


def debian_root(clone, *arguments, release=OTHER, **options):
    """Runs clone's scripts/debian-root for a Debian release's tests' root, the other one's unless named."""
    return subprocess.run([clone / "scripts" / "debian-root", *release.split(), *arguments], **options)


BUILD_ROOT = f"--build-only {BUILT_ON}"  # as release=: the root that releases build in


BINUTILS = "binutils-mingw-w64-x86-64"  # a package of the toolchain that nothing else needs at its version


def built_with(version):
    """The unsigned archive as a root with that version of BINUTILS makes it:
    the test's repository serves the root's own files under that version."""
    def make(target):
        with tempfile.TemporaryDirectory() as folder:
            for info, data in members(unsigned):
                if info.filename == "BUILDINFO.txt":
                    data = re.sub(rf"^package: {BINUTILS} .*$".encode(), f"package: {BINUTILS} {version}\r".encode(),
                                  data, flags=re.MULTILINE)
                Path(folder, info.filename).write_bytes(data)
            write_zip(target, epoch, [Path(folder, name) for name in MEMBERS])
    return make


def repository_of(package, installed, version):
    """A loopback repository that serves the root's `package` (its version
    `installed`) as `version`; its line of apt's sources."""
    folder = work / "repository"
    folder.mkdir()
    debian_root(clone, "sh", "-c", f"cd build && apt-get update -qq && apt-get download -qq {package}={installed}",
                release=BUILD_ROOT, check=True, capture_output=True)
    copy = Path(debian_root(clone, "--copy", release=BUILD_ROOT, capture_output=True, text=True).stdout.strip())
    run("dpkg-deb", "-R", next((copy / "build").glob(f"{package}_*.deb")), work / "unpacked", check=True)
    control = work / "unpacked" / "DEBIAN" / "control"
    control.write_text(re.sub(r"^Version: .*$", f"Version: {version}", control.read_text(), flags=re.MULTILINE))
    run("dpkg-deb", "-Zgzip", "-b", work / "unpacked", folder / "served.deb", check=True)
    data = (folder / "served.deb").read_bytes()
    (folder / "Packages").write_text(run("dpkg-deb", "-f", folder / "served.deb").stdout + "Filename: ./served.deb\n"
                                     f"Size: {len(data)}\nSHA256: {hashlib.sha256(data).hexdigest()}\n\n")

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *_):
            pass
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=folder))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"deb [trusted=yes] http://127.0.0.1:{server.server_address[1]}/ ./"


def running(pattern):
    return subprocess.run(["pgrep", "-f", pattern], stdout=subprocess.DEVNULL).returncode == 0


def wait(done, seconds=60):
    deadline = time.monotonic() + seconds
    while not done() and time.monotonic() < deadline:
        time.sleep(0.1)


def record(what, ok, detail=""):
    """A subtest of the running test: `what` holds, or it fails with `detail`."""
    with Recorded.running.subTest(what):
        Recorded.running.assertTrue(ok, detail)


def concludes(what, command, status, verdict, unsaid="\0", **options):
    """Runs check-release: it ends in `status`, its last line saying `verdict`, and never says `unsaid`."""
    result = run(*command, **options)
    record(what, result.returncode == status and verdict in (result.stdout.splitlines() or [""])[-1]
           and unsaid not in result.stdout, f"status {result.returncode}\n{result.stdout}{result.stderr}")


def as_them(*command, sudo=False):
    """The command where /etc names THEIR_UID: run by them in their home, or
    by root under sudo on their behalf, with neither's CHATPIPE_ROOTS."""
    etc = base / "their-etc"
    if not etc.exists():
        etc.mkdir()
        for name, line in (("passwd", f"theirs:x:{THEIR_UID}:{THEIR_UID}::{their_home}:/bin/sh"),
                           ("group", f"theirs:x:{THEIR_UID}:"), ("subuid", f"theirs:{THEIR_SUBORDINATES}:65536"),
                           ("subgid", f"theirs:{THEIR_SUBORDINATES}:65536")):
            host = Path("/etc", name)
            (etc / name).write_text((host.read_text() if host.exists() else "") + line + "\n")
    who = [f"SUDO_UID={THEIR_UID}", "HOME=/root"] if sudo else [f"HOME={their_home}"]
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", 'for name in passwd group subuid subgid; do '
            'mount --bind "$0/$name" "/etc/$name" || exit 125; done; exec "$@"', etc,
            *([] if sudo else ["setpriv", f"--reuid={THEIR_UID}", f"--regid={THEIR_UID}", "--init-groups"]),
            "env", "-u", "CHATPIPE_ROOTS", *who, *command]


def expect(what, wanted, command, **options):
    """Runs a command that should succeed (wanted True) or fail; records the outcome."""
    result = run(*command, **options)
    record(what, (result.returncode == 0) == wanted, f"status {result.returncode}\n{result.stdout}{result.stderr}")
    return result


def release(archive, pfx=None, password=None, timestamp_url=None):
    environment = {name: value for name, value in os.environ.items() if not name.startswith("CHATPIPE_SIGN_")}
    environment.update((name, str(value)) for name, value in (("CHATPIPE_SIGN_PFX", pfx), (
        "CHATPIPE_SIGN_PASSWORD_FILE", password), ("CHATPIPE_SIGN_TIMESTAMP_URL", timestamp_url)) if value)
    result = run(clone / "scripts" / "release", env=environment)
    if result.returncode == 0:
        shutil.copy(read_manifest(clone)["archive"], archive)
    return result


def members(archive):
    with zipfile.ZipFile(archive) as source:
        return [(info, source.read(info)) for info in source.infolist()]


def write(target, entries, prefix=b"", comment=b""):
    """A zip of (ZipInfo or name, bytes) entries, in order."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.comment = comment
        for info, data in entries:
            archive.writestr(info, data)
    target.write_bytes(prefix + buffer.getvalue())


def edited(source, target, name, change):
    write(target, [(info, change(data) if info.filename == name else data) for info, data in members(source)])


def certificate_table_grown(program, extra=1200):
    """Bytes hidden after a signature, inside its certificate table, with the
    table's sizes grown to cover them: the signature still verifies."""
    program = bytearray(program)
    entry = directory_entry(program, CERTIFICATE_TABLE)
    table, size = certificate_table(program)
    struct.pack_into("<II", program, entry, table, size + extra)
    struct.pack_into("<I", program, table, size + extra)  # dwLength
    return bytes(program) + b"\x41" * extra


def flipped(at):
    def change(program):
        program = bytearray(program)
        table, size = certificate_table(program)
        program[table + size // 2 if at == "signature" else 0x410] ^= 1  # 0x410: in .text
        return bytes(program)
    return change


def with_commit(commit):
    return lambda info: b"".join(line if not line.startswith(b"commit: ") else b"commit: " + commit + b"\r\n"
                                 for line in info.splitlines(keepends=True))


def naming_commit(text, path="scripts/release"):
    """Makes the unsigned archive, its BUILDINFO.txt naming a new commit on main
    whose `path` holds `text` (see commit_on_main)."""
    return lambda target: edited(unsigned, target, "BUILDINFO.txt", with_commit(commit_on_main(text, path)))


def lying_size(source, target):
    """An archive whose README.txt says it holds 10 bytes but inflates to 2 MiB:
    the size in both its headers (local at 22, central at 24, name at 30, 46)."""
    write(target, [(info, body if info.filename != "README.txt" else b"x" * (2 << 20)) for info, body in members(source)])
    data = bytearray(target.read_bytes())
    for name in re.finditer(rb"README\.txt", data):
        for signature, to_name, to_size in ((b"PK\3\4", 30, 22), (b"PK\1\2", 46, 24)):
            if data[name.start() - to_name:name.start() - to_name + 4] == signature:
                struct.pack_into("<I", data, name.start() - to_name + to_size, 10)
    target.write_bytes(data)


def spoilt(kind):
    """An archive whose README.txt is compressed by `kind`, its data then
    spoilt just past the local header's name (and LZMA's properties)."""
    def make(target):
        info = zipfile.ZipInfo("README.txt", (2020, 1, 1, 0, 0, 0))
        info.compress_type = kind
        write(target, [(info if old.filename == "README.txt" else old, data) for old, data in members(unsigned)])
        data = bytearray(target.read_bytes())
        at = data.index(b"README.txt") + len("README.txt") + 9
        data[at:at + 4] = b"\xff" * 4
        target.write_bytes(data)
    return make


def not_utf8(target):
    """A member whose name says it is UTF-8 (the flag) and holds a 0xff byte."""
    write(target, members(unsigned) + [("\xffx.txt", b"x")])
    target.write_bytes(target.read_bytes().replace("\xffx.txt".encode(), b"\xff\xbfx.txt"))


def snapshot():
    """What lies outside the work folder, but for the clone's git objects and
    the rebuild that check-release keeps."""
    return {(str(path), path.lstat().st_size, path.lstat().st_mtime_ns) for path in base.rglob("*")
            if work not in path.parents and not {".git", "check-release"} & set(path.relative_to(base).parts)}


def refused(what, archive, clock=None, verdict="check-release: REFUSED: ", signers=SIGNERS, unsaid="NOTE: only",
            options=()):
    """check-release fails, saying `verdict` and not `unsaid`, prints no
    control character raw, and changes nothing outside the work folder."""
    before = snapshot()
    result = run(*(["faketime", "-f", clock] if clock else []), *CHECK[:-1], signers, *options, archive,
                 env=dict(os.environ, TMPDIR=str(base)))
    printed = result.stdout + result.stderr
    said = next((line for line in printed.splitlines() if verdict in line), None)
    record(f"refuses {what}" + (f": {said.split(verdict, 1)[1]}" if said and verdict.endswith(": ") else ""),
           result.returncode == 1 and said is not None and unsaid not in printed, f"status {result.returncode}\n{printed}")
    if any(not (" " <= c <= "~") and c != "\n" for c in printed):
        record(f"{what}: a control or non-ASCII character printed raw", False)
    if snapshot() != before or (base / "escaped.exe").exists():
        record(f"{what}: something outside the work folder changed", False)


def certificate(name, subject, serial=None, start=None, days=1, crl=None, unit=None, usage=None, issuer=None,
                ca=False, path_length=None, purpose=x509.oid.ExtendedKeyUsageOID.CODE_SIGNING, public_key=None,
                payload=b"", key_size=2048, critical=False):
    """A certificate and its key, as NAME.pem and NAME.key: for `purpose`
    (None: no extended key usage), self-signed or signed by `issuer` (a name
    made before); a CA if `ca`; `usage`: the key usages it names, if any;
    `public_key`: another's, for a forgery that no key of its own signed;
    `payload`: bytes it carries in an extension of no meaning (`critical` or not)."""
    key = rsa.generate_private_key(public_exponent=65537, key_size=key_size)
    start = start or datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(minutes=5)
    names = x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, subject)] +
                      ([x509.NameAttribute(x509.oid.NameOID.ORGANIZATIONAL_UNIT_NAME, unit)] if unit else []))
    above, signing_key = MADE[issuer] if issuer else (None, key)
    builder = (x509.CertificateBuilder().subject_name(names).issuer_name(above.subject if above else names)
               .public_key(public_key or key.public_key()).serial_number(serial or x509.random_serial_number())
               .not_valid_before(start).not_valid_after(start + datetime.timedelta(days=days)))
    if purpose:  # a time-stamping certificate's must be critical
        builder = builder.add_extension(x509.ExtendedKeyUsage([purpose]), critical=purpose == TIME_STAMPING)
    if ca:
        builder = builder.add_extension(x509.BasicConstraints(ca=True, path_length=path_length), critical=True)
    if payload:
        builder = builder.add_extension(x509.UnrecognizedExtension(x509.ObjectIdentifier("1.3.6.1.4.1.55555.1"),
                                                                   payload), critical=critical)
    if usage:
        builder = builder.add_extension(x509.KeyUsage(**{field: field in usage for field in KEY_USAGES},
                                                      encipher_only=False, decipher_only=False), critical=True)
    if crl:
        builder = builder.add_extension(x509.CRLDistributionPoints([x509.DistributionPoint(
            [x509.UniformResourceIdentifier(crl)], None, None, None)]), critical=False)
    made = builder.sign(signing_key, hashes.SHA256())
    MADE[name] = made, key
    (work / f"{name}.pem").write_bytes(made.public_bytes(serialization.Encoding.PEM))
    (work / f"{name}.key").write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat
                                                         .PKCS8, serialization.NoEncryption()))
    return made


def program_files(archive):
    return {info.filename: data for info, data in members(archive)}


def osslsigncode(*arguments, program):
    """What osslsigncode makes of `program` with these arguments."""
    (work / "in.exe").write_bytes(program)
    (work / "out.exe").unlink(missing_ok=True)  # it will not overwrite
    run("osslsigncode", *arguments, "-in", work / "in.exe", "-out", work / "out.exe")
    return (work / "out.exe").read_bytes()


def remade(how, only=PROGRAMS):
    """An archive: the unsigned release, with `how(name)` for each program in
    `only`, zipped as a release is."""
    def make(target):
        files = dict(program_files(work / "unsigned.zip"), **{name: how(name) for name in only})
        for name, data in files.items():
            (work / name).write_bytes(data)
        write_zip(target, epoch, [work / name for name in files])
    return make


def signed_by(name, *options, source="unsigned.zip", only=PROGRAMS):
    """`source`'s programs signed again by osslsigncode with certificate NAME and `options`."""
    keys = ["-certs", work / f"{name}.pem", "-key", work / f"{name}.key", "-h", "sha256"] if name else []
    return remade(lambda p: osslsigncode(*(options or ["sign"]), *keys, program=program_files(work / source)[p]),
                  only)


def resigned(change, source="signed.zip"):
    """`source`'s signatures with their ASN.1 changed by `change` (on the
    SignedData and its SignerInfo), attached to the unsigned programs."""
    def how(program):
        content_info = cms.ContentInfo.load(signature_of(program_files(work / source)[program]))
        change(content_info["content"], content_info["content"]["signer_infos"][0])
        return attached(program_files(work / "unsigned.zip")[program], content_info.dump(force=True))
    return remade(how)


def in_bag(certificate, of="signature"):
    """A change that adds `certificate` to the signature's bag, or to its time-stamp token's."""
    def change(data, signer_info):
        if of != "signature":
            data = signer_info["unsigned_attrs"][0]["values"][0]["content"]
        data["certificates"].append(cms.CertificateChoices.load(certificate.public_bytes(serialization.Encoding.DER)))
    return change


def forgery(name, ca=False):
    """A certificate with NAME's subject and public key that its key never
    signed, carrying 4 KB of an attacker's bytes."""
    original = MADE[name][0]
    return certificate(f"forged-{name.replace('/', '-')}", original.subject.rfc4514_string()[3:],
                       public_key=original.public_key(), ca=ca, usage={"key_cert_sign"} if ca else None,
                       payload=b"an attacker's bytes " * 200)


def stamped_through(issuer, *above):
    """The signed archive, time-stamped again by an authority whose certificate
    `issuer` signed; the token carries `issuer` and `above` too."""
    def make(target):
        certificate("chain-tsa/stamper", "chatpipe test time-stamper", issuer=issuer, purpose=TIME_STAMPING, days=30)
        (work / "chain-tsa" / "authority.pem").write_text("".join((work / f"{name}.pem").read_text()
                                                                  for name in (issuer, *above)))
        signed_by(None, "add", "-ts", chain_url, source="signed.zip")(target)
    return make


def unsigned_attribute(value):
    def change(_, signer_info):
        signer_info["unsigned_attrs"] = [{"type": "1.2.3.4", "values": [core.OctetString(value)]}]
    return change


# A commit's release that zips BUILDINFO.txt, naming the commit, and one member NAME.
RELEASE_OF_ONE_MEMBER = """#!/bin/sh
mkdir -p build/release
exec python3 -c 'import sys, zipfile
with zipfile.ZipFile("build/release/chatpipe-1.0.0-win64.zip", "w") as release:
    release.writestr("BUILDINFO.txt", "commit: " + sys.argv[1] + "\\n")
    release.writestr(sys.argv[2], "escaped")' "$(git rev-parse HEAD)" '{name}'
"""


def commit_on_main(text, path="scripts/release", also=()):
    """A commit on main whose file `path` holds `text`, or that has no `path`
    where `text` is None; and each further (text, path) of `also`."""
    environment = dict(os.environ, GIT_INDEX_FILE=str(work / "index"), **IDENTITY)
    run("git", "-C", clone, "read-tree", "HEAD", env=environment)
    for text, path in ((text, path), *also):
        if text is None:
            run("git", "-C", clone, "update-index", "--force-remove", path, env=environment)
        else:
            blob = run("git", "-C", clone, "hash-object", "-w", "--stdin", input=text).stdout.strip()
            run("git", "-C", clone, "update-index", "--cacheinfo", f"100755,{blob},{path}", env=environment)
    tree = run("git", "-C", clone, "write-tree", env=environment).stdout.strip()
    made = run("git", "-C", clone, "commit-tree", "-p", "main", "-m", "hostile", tree, env=environment).stdout.strip()
    run("git", "-C", clone, "update-ref", "refs/heads/main", made)
    return made.encode()


class Recorded(unittest.TestCase):
    """A test whose record() calls are its subtests."""
    def setUp(self):
        Recorded.running = self


class Release(Recorded):
    """In the order of their names: each uses what the ones before made."""

    @classmethod
    def setUpClass(cls):
        """The clone and its unsigned release; the signer, listed; the loopback
        time-stamp authorities: the genuine one, an attacker's whose clock says
        2020, and one whose certificate a test chooses."""
        global epoch, genuine_certificate, fingerprint, url, attacker_url, chain_url
        warnings.filterwarnings("ignore", "Duplicate name")  # the duplicates are the point
        work.mkdir()
        subprocess.run(["git", "clone", "-q", str(TOP), str(clone)], check=True)
        subprocess.run(["git", "-C", str(clone), "update-ref", "refs/heads/main", "HEAD"], check=True)
        subprocess.run(["git", "-C", str(clone), "checkout", "-q", "--detach"], check=True)
        epoch = run("git", "-C", clone, "log", "-1", "--format=%ct").stdout.strip()
        built = release(unsigned)
        if built.returncode:
            raise AssertionError(f"the unsigned release failed: {built.stderr}")
        shutil.copytree(clone / OUT, work / "unsigned-release")

        genuine_certificate = certificate("certificate", "chatpipe test signer")
        certificate("expired", "chatpipe expired signer", start=datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc))
        (work / "password").write_text(f"throwaway {os.urandom(8).hex()}\n")
        (work / "wrong-password").write_text("wrong\n")
        for name, pfx in (("certificate", "signer"), ("expired", "expired")):
            run("openssl", "pkcs12", "-export", "-inkey", work / f"{name}.key", "-in", work / f"{name}.pem",
                "-passout", f"file:{work / 'password'}", "-out", work / f"{pfx}.pfx")
        # The attacker's clock runs on through its children: with each openssl
        # starting again at 00:00:00, a certificate whose key took a second
        # to make would start after the time-stamps it signs.
        for clock, folder in (([], "tsa"), (["env", "FAKETIME_DONT_RESET=1", "faketime", "-f", "@2020-01-15 00:00:00"],
                                            "attacker-tsa"), ([], "chain-tsa")):
            (work / folder).mkdir()
            authorities.append(subprocess.Popen([*clock, "/usr/bin/python3", Path(__file__).with_name(
                "timestamp_authority.py"), work / folder], stdout=subprocess.PIPE, text=True, start_new_session=True))
        url, attacker_url, chain_url = (authority.stdout.readline().strip() for authority in authorities)
        for name in ("tsa/authority", "tsa/stamper"):
            MADE[name] = x509.load_pem_x509_certificate((work / f"{name}.pem").read_bytes()), None
        fingerprint = {name: hashlib.sha256(ssl.PEM_cert_to_DER_cert((work / f"{name}.pem").read_text())).hexdigest()
                       for name in ("certificate", "tsa/stamper")}
        # The authority's own signing certificate, not the root above it.
        SIGNERS.write_text(f"# the test's own\nsigner {fingerprint['certificate']}\ntime-stamp {fingerprint['tsa/stamper']}\n")

    def test_1_another_clone_gives_the_same_bytes(self):
        second = base / "elsewhere" / "at" / "another" / "depth" / "second"
        subprocess.run(["git", "clone", "-q", TOP, second], check=True)
        # Its root's last update two days old: the release brings it up to date first.
        updated = Path(debian_root(TOP, "--where", release=BUILD_ROOT, capture_output=True, text=True).stdout.strip()
                       + ".updated")
        os.utime(updated, (time.time() - 2 * 86400,) * 2)
        said = run(second / "scripts" / "release", check=True).stderr
        record("a release brings a root updated two days ago up to date first", "up to date" in said and
               time.time() - updated.stat().st_mtime < 3600, said)
        ours, theirs = work / "unsigned-release", second / OUT
        name = read_manifest(second)["archive"].name
        for what in (name, "SHA256SUMS", "BUILDINFO.txt", MANIFEST):
            record(f"the same {what}", (ours / what).read_bytes() == (theirs / what).read_bytes())
        archives = [zipfile.ZipFile(folder / name) for folder in (ours, theirs)]
        record("the archive holds exactly a release's members", archives[0].namelist() == list(MEMBERS),
               archives[0].namelist())
        for member in archives[0].namelist():
            record(f"the same {member} in the archive", archives[0].read(member) == archives[1].read(member))

    def test_2_signed_releases(self):
        pfx, password = work / "signer.pfx", work / "password"
        for what, archive, arguments in (("a signed release", "signed.zip", (pfx, password)),
                                         ("a signed, time-stamped release", "stamped.zip", (pfx, password, url))):
            outcome = release(work / archive, *arguments)
            record(what, outcome.returncode == 0, outcome.stderr)
        for certificate_file, secret in (("signer", "wrong-password"), ("expired", "password")):
            shutil.rmtree(clone / "build" / "release-work", ignore_errors=True)
            outcome = release(work / "never.zip", work / f"{certificate_file}.pfx", work / secret)
            record(f"{certificate_file}.pfx with {secret} stops the release before anything is built",
                   outcome.returncode != 0 and not (clone / "build" / "release-work").exists(), outcome.stderr)
            record("... and leaves no archive", not list(clone.glob(f"build/release/{archive_name('*')}")))
        signed = work / "signed"
        with zipfile.ZipFile(genuine) as archive:
            archive.extractall(signed)
        for program in PROGRAMS:
            expect(f"{program}: osslsigncode verify against the certificate", True,
                   ["osslsigncode", "verify", "-in", signed / program, "-CAfile", work / "certificate.pem"])
        expect("the signed chatpipe.exe runs: empty input, status 0", True, [TOP / "cmake" / "wine-run",
               signed / "chatpipe.exe"], stdin=subprocess.DEVNULL)

    def test_3_genuine_archives_are_accepted(self):
        # Accepted: the signed one is what the unsigned rebuild becomes with its
        # signatures attached, byte for byte.  The first two checks run at once,
        # with the caller's SOURCE_DATE_EPOCH set: neither may change the rebuild.
        first = [subprocess.Popen(CHECK + [work / "signed.zip"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True, env=dict(os.environ, SOURCE_DATE_EPOCH="1")) for _ in range(2)]
        for number, check in enumerate(first):
            said = check.communicate()[0]
            record(f"check-release accepts the signed archive ({number + 1} of 2 at once)", check.returncode == 0 and
                   said.splitlines()[-1].startswith("check-release: ACCEPTED: "), said)
        record("... and says who signed it, and that the signer is listed",
               f"SHA-256 fingerprint {fingerprint['certificate']}" in said and said.count("a listed signer: yes") == 2, said)
        expect("check-release accepts the unsigned archive", True, CHECK + [work / "unsigned.zip"])
        # A clone of a user's, checked by root (as in a container: whatever HOME
        # says), under sudo and by that user: the first rebuilds there, the
        # others use that, in the root the user makes in their own cache.
        theirs = their_home / "theirs"
        subprocess.run(["git", "clone", "-q", str(TOP), str(theirs)], check=True)
        subprocess.run(["git", "-C", str(theirs), "update-ref", "refs/heads/main", "HEAD"], check=True)
        archives = ("unsigned.zip", "signed.zip", "stamped.zip")
        for name in (*archives, "signers.txt"):
            shutil.copy(work / name, their_home)
        run("chown", "-R", f"{THEIR_UID}:{THEIR_UID}", their_home)
        their_check = [theirs / "scripts" / "check-release", "--signers", their_home / "signers.txt"]
        # Root's rebuild meets the root's next point release.
        point_release = Path(debian_root(TOP, "--where", capture_output=True, text=True, release=BUILD_ROOT)
                             .stdout.strip()) / "etc" / "debian_version"
        made_in = point_release.read_text()
        point_release.write_text(f"{BUILT_ON}.99\n")
        # Their zip code is not the commit's: it zips nothing that is compared.
        zip_code = theirs / "scripts" / "chatpipe_release" / "archive.py"
        zip_code.write_text(zip_code.read_text().replace("compresslevel=9", "compresslevel=1"))
        try:
            expect("... and so does root's check in a clone another user owns, after a point release", True,
                   [*their_check, work / "unsigned.zip"])
        finally:
            point_release.write_text(made_in)
        their_roots = their_home / ".cache" / "chatpipe"
        for how, sudo in (("under sudo, with their zip code changed", True), ("by that user", False)):
            for archive in archives:
                expect(f"... and so does the check {how}: {archive}", True,
                       as_them(*their_check, their_home / archive, sudo=sudo))
            record(f"... {how}, in a root of theirs in their cache", their_roots.is_dir() and
                   their_roots.stat().st_uid == THEIR_UID)
        record("... and nothing of root's is then in their clone or cache", not any(
            path.lstat().st_uid == 0 for path in their_home.rglob("*")))
        # A sandbox too small for the commit's copy: what it leaves, they may remove.
        concludes("... and their check with a sandbox's disk too small is REFUSED", as_them(
            *their_check, "--disk", "65536", their_home / "signed.zip"), 1, "check-release: REFUSED: ")
        left = list((theirs / "build" / "check-release").glob(".*"))
        record("... and leaves nothing in their clone's build/check-release", not left, str(left))
        run("chown", "-R", "0:0", theirs / "build" / "check-release")  # as an earlier version's check as root left it
        concludes("... and where root's kept rebuilds lie, their check says it did not check", as_them(
            *their_check, their_home / "stamped.zip"), 3, "NOT CHECKED: ")
        # With no root kept and no network, nothing is decided, and it says so.
        Release.unbuilt = unbuilt = with_commit(commit_on_main("#!/bin/sh\nexit 0\n"))  # never built
        edited(work / "unsigned.zip", work / "unbuilt.zip", "BUILDINFO.txt", unbuilt)
        concludes("with no network and no root, check-release says it did not check", ["unshare", "--net", *CHECK,
                  work / "unbuilt.zip"], 3, "check-release: NOT CHECKED: ",
                  env=dict(os.environ, CHATPIPE_ROOTS=str(work / "roots")))
        # Nor when its sandbox cannot be made: here the mount that sets it up fails.
        (work / "failing-mount").write_text("#!/bin/sh\nexit 32\n")
        (work / "failing-mount").chmod(0o755)
        concludes("... nor when its sandbox cannot be made", ["unshare", "--mount", "--propagation", "private", "sh",
                  "-c", 'mount --bind "$1" /usr/bin/mount && shift && exec "$@"', "sh", work / "failing-mount", *CHECK,
                  work / "unbuilt.zip"], 3, "NOT CHECKED: the sandbox for commit")
        run("git", "-C", clone, "tag", "v99.0.0")
        accepted = expect("check-release accepts the time-stamped archive", True, CHECK + [work / "stamped.zip"])
        record("... says which version and when, and that a newer release exists",
               re.search(r"chatpipe [0-9.]+, committed 20", accepted.stdout) and "newer releases" in accepted.stdout,
               accepted.stdout)
        run("git", "-C", clone, "tag", "-d", "v99.0.0")
        expect("... and still does past the certificate's end", True, ["faketime", "-f", AFTER_EXPIRY] + CHECK +
               [work / "stamped.zip"])
        refused("the archive signed without a time-stamp, past the certificate's end", work / "signed.zip",
                clock=AFTER_EXPIRY, verdict="was not valid now")
        (work / "no-signers").write_text("# nobody\n")
        refused("the signed archive, when its signer is not listed", work / "signed.zip", signers=work / "no-signers",
                verdict="the list of signers does not name")

    def test_4_hostile_archives_are_refused(self):
        head = run("git", "-C", clone, "rev-parse", "HEAD").stdout.strip().encode()
        dangling = run("git", "-C", clone, "commit-tree", "-p", "HEAD", "-m", "on no branch", "HEAD^{tree}",
                       env=dict(os.environ, **IDENTITY)).stdout.strip()
        record("a commit on no branch, for the row that offers it", len(dangling) == 40, dangling)
        parts = members(genuine)
        program = dict((info.filename, data) for info, data in parts)["chatpipe.exe"]
        symlink = zipfile.ZipInfo("chatpipe.exe")
        symlink.create_system, symlink.external_attr = 3, 0o120777 << 16
        serial = genuine_certificate.serial_number
        certificate("impostor", "chatpipe test signer", serial=serial, unit=f"Serial : {serial:x}")
        certificate("same-subject", "chatpipe test signer")
        certificate("escapes", "chatpipe test signer\x1b[2K\r", unit=" " * 150 + "a listed signer: yes \u0441\u0435rt")
        silent = socket.create_server(("127.0.0.1", 0))  # accepts, and never answers
        certificate("revoked-where", "a certificate with a revocation list",
                    crl=f"http://127.0.0.1:{silent.getsockname()[1]}/who.crl")
        attacker = certificate("attacker", "an attacker")
        crl = (x509.CertificateRevocationListBuilder().issuer_name(attacker.subject).last_update(attacker.not_valid_before)
               .next_update(attacker.not_valid_after).sign(rsa.generate_private_key(65537, 2048), hashes.SHA256()))
        rows = [
            # names
            ("a dot-file", lambda t: write(t, parts + [(".evil.exe", program)])),
            ("a hidden folder", lambda t: write(t, parts + [(".hidden/evil.exe", program)])),
            ("a second chatpipe.exe ahead of the genuine one", lambda t: write(t, [("chatpipe.exe", b"MZ fake")] + parts)),
            ("the genuine program as ../chatpipe.exe", lambda t: write(
                t, [(info if info.filename != "chatpipe.exe" else "../chatpipe.exe", data) for info, data in parts]
                + [("chatpipe.exe", b"MZ fake")])),
            ("an absolute name", lambda t: write(t, parts + [(str(base / "escaped.exe"), program)])),
            ("a symlink entry", lambda t: write(t, [(symlink, b"/etc/passwd")] + parts[1:])),
            ("a name flagged UTF-8 that is not", not_utf8),
            ("a member the release does not have", lambda t: write(t, parts + [("evil.exe", program)])),
            # data before, after and inside
            ("64 KiB before the zip", lambda t: write(t, parts, prefix=os.urandom(65536))),
            ("a zip comment", lambda t: write(t, parts, comment=b"hello")),
            ("an overlay after chatpipe.exe", lambda t: edited(genuine, t, "chatpipe.exe", lambda p: p + b"\0" * 512)),
            ("1,200 bytes in chatpipe.exe's certificate table",
             lambda t: edited(genuine, t, "chatpipe.exe", certificate_table_grown)),
            ("a byte changed in chatpipe.exe", lambda t: edited(genuine, t, "chatpipe.exe", flipped("program"))),
            ("a byte changed in chatpipe.exe's signature", lambda t: edited(genuine, t, "chatpipe.exe",
                                                                             flipped("signature"))),
            # size
            ("a member over the cap", lambda t: edited(unsigned, t, "README.txt", lambda r: r + b" " * (2 << 20))),
            ("a member that inflates past what it says", lambda t: lying_size(unsigned, t)),
            ("a bzip2 member whose data is spoilt", spoilt(zipfile.ZIP_BZIP2)),
            ("an LZMA member whose data is spoilt", spoilt(zipfile.ZIP_LZMA)),
            # commit forms
            *[(f"the commit given as {shown}", lambda t, c=c: edited(unsigned, t, "BUILDINFO.txt", with_commit(c)))
              for shown, c in (("HEAD", b"HEAD"), ("a branch", b"main"), ("a short hash", head[:12]),
                               ("an option", b"-f"), ("a search", b":/Version"), ("upper case", head.upper()),
                               ("a commit on no branch", dangling.encode()))],
            ("a commit whose release makes a zip with an absolute member name",
             naming_commit(RELEASE_OF_ONE_MEMBER.format(name=base / "escaped.exe"))),
            ("a commit whose release makes a zip with a member in a folder",
             naming_commit(RELEASE_OF_ONE_MEMBER.format(name="folder/evil.exe"))),
            ("a commit without CMakeLists.txt", naming_commit(None, "CMakeLists.txt")),
            ("a commit whose release fails, printing bytes that are not UTF-8",
             naming_commit("#!/bin/sh\nprintf '\\377\\376'\nexit 3\n")),
            ("a commit whose release script would write outside the root",
             naming_commit(f"#!/bin/sh\nmkdir -p {base}\ntouch {base}/escaped.exe\nexit 3\n")),
            # control characters
            ("backspaces and a fake verdict in the commit field", lambda t: edited(unsigned, t, "BUILDINFO.txt", with_commit(
                b"x\b" * 60 + b"\x1b[2K\rcheck-release: the archive matches commit " + head))),
            ("a line added to BUILDINFO.txt", lambda t: edited(unsigned, t, "BUILDINFO.txt", lambda b: b + b"evil: yes\r\n")),
            # the signature: who signed, what it carries, and the downgrade
            ("an impostor with the signer's serial, its certificate in the bag", signed_by("impostor", "sign", "-ac",
                                                                                            work / "certificate.pem")),
            ("a re-signature with the signer's subject", signed_by("same-subject")),
            ("a subject with escapes, padding and look-alike letters", signed_by("escapes")),
            ("a certificate whose revocation list never answers", signed_by("revoked-where")),
            ("a nested signature by an attacker", signed_by("attacker", "sign", "-nest", source="signed.zip")),
            ("chatpipe.exe alone signed", signed_by("certificate", only=PROGRAMS[:1])),
            ("a revocation list in the bag", resigned(lambda data, _: data.__setitem__("crls", [
                cms.RevocationInfoChoice.load(crl.public_bytes(serialization.Encoding.DER))]))),
            ("two signers", resigned(lambda data, signer: data["signer_infos"].append(signer.copy()))),
            ("an unknown unauthenticated attribute", resigned(unsigned_attribute(b"x" * 1024))),
            ("a 200 KB unauthenticated attribute", resigned(unsigned_attribute(b"x" * 200_000))),
            ("100,000 fake certificate headers", resigned(unsigned_attribute(b"\x30\x82\x00\x04\xa0\x03\x02\x01" * 100_000))),
        ]
        for number, (what, make) in enumerate(rows):
            hostile = work / f"hostile-{number}.zip"
            make(hostile)
            refused(what, hostile)
        # Certificates beyond the pinned ones count for nothing, either way.
        for number, (what, make) in enumerate((
                ("an attacker's certificate in the bag", resigned(in_bag(attacker))),
                ("a forged issuer in the bag: the signer's own name and key", resigned(in_bag(forgery("certificate")))),
                ("... and saying it is a CA", resigned(in_bag(forgery("certificate", ca=True)))),
                ("a forged root in the time-stamp's bag", resigned(in_bag(forgery("tsa/authority", ca=True), of="token"),
                                                                  source="stamped.zip")))):
            extra = work / f"extra-{number}.zip"
            make(extra)
            expect(f"accepts, as its pins decide, {what}", True, CHECK + [extra])
        record("... and no certificate's revocation list was fetched", not select.select([silent], [], [], 0)[0])
        silent.close()

    def test_5_time_stamps_count_by_their_pins_only(self):
        listed = work / "listed.txt"
        of_2020 = certificate("2020", "chatpipe test signer of 2020", days=30,
                              start=datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc))
        enciphers = certificate("enciphers", "chatpipe test signer that only enciphers", usage={"key_encipherment"})
        small = certificate("small", "chatpipe test signer with a small key", key_size=1024)
        unknown = certificate("unknown", "chatpipe test signer", payload=b"rules", critical=True)
        root = certificate("root", "chatpipe test root", ca=True, usage={"key_cert_sign"}, purpose=None, days=30)
        listed.write_text(SIGNERS.read_text() + "".join(f"signer {listed.fingerprint(hashes.SHA256()).hex()}\n"
                                                        for listed in (of_2020, enciphers, small, unknown))
                          + f"time-stamp {root.fingerprint(hashes.SHA256()).hex()}\n")
        # An attacker's token, to carry the listed authority's certificate.
        stamped_through("root")(work / "self-stamped.zip")
        unlisted = "a certificate that the list of signers does not name"
        for what, make, clock, signers, verdict, unsaid in (
                ("a self-made time-stamp on the signature, past its end", signed_by(None, "add", "-ts", attacker_url,
                 source="signed.zip"), AFTER_EXPIRY, SIGNERS, unlisted, "NOTE: only"),
                ("a listed certificate of 2020, with a self-made time-stamp of 2020", signed_by(
                    "2020", "sign", "-ts", attacker_url), None, listed, unlisted, "NOTE: only"),
                ("past the signer's end, a time-stamp by a certificate that a listed root issued",
                 stamped_through("root"), AFTER_EXPIRY, listed, unlisted, "NOTE: only"),
                ("a self-made time-stamp carrying the listed authority's certificate", resigned(
                    in_bag(MADE["tsa/stamper"][0], of="token"), source="self-stamped.zip"), AFTER_EXPIRY, SIGNERS,
                 unlisted, "NOTE: only"),
                ("a listed certificate whose key usage lacks digitalSignature", signed_by("enciphers"), None, listed,
                 "not a certificate for signing code", "NOTE: only"),
                ("a listed certificate with a critical extension of no known meaning", signed_by("unknown"), None,
                 listed, "not a certificate for signing code", "NOTE: only"),
                ("a listed certificate with a 1,024-bit key", signed_by("small"), None, listed,
                 "an RSA key of 1024 bits", "NOTE: only"),
                ("an unlisted signer's archive of a commit never built, before building it", lambda t: edited(
                    genuine, t, "BUILDINFO.txt", Release.unbuilt), None, work / "no-signers",
                 "the list of signers does not name", "rebuilding")):
            make(work / "stamped-again.zip")
            refused(what, work / "stamped-again.zip", clock=clock, signers=signers, verdict=verdict, unsaid=unsaid)

    def test_6_a_release_is_judged_by_its_own_commit(self):
        # A commit whose release has one member fewer: its archive is judged by
        # its own members (the first check keeps the rebuild, the second checks it).
        archive_module = "scripts/chatpipe_release/archive.py"
        fewer = commit_on_main((TOP / archive_module).read_text().replace(' "LICENSE.txt",', ""), archive_module)
        edited(unsigned, work / "fewer.zip", "BUILDINFO.txt", with_commit(fewer))
        run(*CHECK, work / "fewer.zip")
        expect("check-release accepts the release of a commit with other members", True,
               CHECK + list((clone / "build" / "check-release").glob(f"{fewer.decode()}-*/unsigned.zip")))
        not_utf8 = [b"git", b"-C", bytes(clone), b"tag", b"v9.\xff"]
        subprocess.run(not_utf8, check=True)
        expect("check-release accepts the genuine archive, the clone holding a tag whose name is not UTF-8", True,
               CHECK + [genuine])
        subprocess.run(not_utf8[:4] + [b"-d"] + not_utf8[4:], stdout=subprocess.DEVNULL, check=True)
        (work / "long-signers").write_text(SIGNERS.read_text() + "# padding\n" * 200_000)
        long_list = run(*CHECK[:-1], work / "long-signers", genuine)
        record("a list of signers of 2 MB is not read whole: a usage error", long_list.returncode == 2
               and "over 1,048,576 characters" in long_list.stderr, long_list.stdout + long_list.stderr)
        shutil.copy(genuine, work / archive_name("9.9.9"))
        refused("the genuine archive under another version's name", work / archive_name("9.9.9"),
                verdict="the file name says version 9.9.9")
        # Built with a version of the toolchain that the root has not: installed
        # for its rebuild alone where some repository serves it.
        root = debian_root(TOP, "--where", release=BUILD_ROOT, capture_output=True, text=True).stdout.strip()
        versions = ["dpkg-query", f"--admindir={root}/var/lib/dpkg", "-W", "-f=${Version}", BINUTILS]
        ours = run(*versions).stdout
        served = repository_of(BINUTILS, ours, f"{ours}~chatpipe1")
        for what, version, status, verdict, unsaid in (
                ("an archive built with a version of the toolchain that a repository serves", f"{ours}~chatpipe1", 0,
                 "check-release: ACCEPTED: ", "NOTE: only"),
                ("... one that no repository serves", f"{ours}~chatpipe2", 3,
                 f"NOT CHECKED: no repository serves the archive's {BINUTILS} {ours}~chatpipe2", "the same bytes"),
                ("... one that is not a Debian version", f"{ours};touch${{IFS}}/tmp/chatpipe-owned", 1,
                 "is not a Debian version", "rebuilding")):
            built_with(version)(work / "toolchain.zip")
            concludes(what, [*CHECK, "--repository", served, work / "toolchain.zip"], status, verdict, unsaid)
            record("... and the root keeps its own version", run(*versions).stdout == ours)
        # A commit whose releases Debian 12 builds: its archive is rebuilt in that release's root.
        twelve = commit_on_main((TOP / archive_module).read_text().replace(f'BUILT_ON = "{BUILT_ON}"', 'BUILT_ON = "12"'),
                                archive_module, also=[((TOP / TOOLCHAIN_PACKAGES).read_text().replace("3.13", "3.11"),
                                                       TOOLCHAIN_PACKAGES)])
        elsewhere = base / "twelve"
        subprocess.run(["git", "clone", "-q", "--branch", "main", clone, elsewhere], check=True)
        made = run(elsewhere / "scripts" / "release")
        said = run(*CHECK, read_manifest(elsewhere)["archive"] if made.returncode == 0 else work / "none.zip")
        record("a commit's archive built on Debian 12 is rebuilt in Debian 12's root", said.returncode == 0 and
               f"rebuilding commit {twelve.decode()} in a Debian 12 root" in said.stdout,
               made.stderr + said.stdout + said.stderr)

    def test_7_an_interrupted_check_leaves_nothing_running(self):
        # Interrupted while its commit's release runs in the root: it says so,
        # and leaves nothing running or mounted.
        naming_commit("#!/bin/sh\nexec sleep 3607\n")(work / "slow.zip")
        refused("a commit whose release runs past its bound", work / "slow.zip", verdict="past its bound of 5 s",
                options=["--rebuild-seconds", "5"])
        # Each of the sandbox's other bounds, lowered so that it costs little.
        for what, program, bound in (
                ("processes", "import os, time\nfor _ in range(60):\n    if os.fork() == 0:\n        time.sleep(5)\n"
                              "        os._exit(0)", ["--processes", "20"]),
                ("memory", "bytearray(512 << 20)", ["--memory", str(256 << 20)]),
                ("CPU time", "while True:\n    pass", ["--cpu-seconds", "1"]),
                ("disk", "open('big', 'wb').write(bytes(64 << 20))", ["--disk", str(32 << 20)])):
            naming_commit(f"#!/usr/bin/python3\n{program}\n")(work / "bound.zip")
            refused(f"a commit whose release passes its bound of {what}", work / "bound.zip",
                    verdict="within the sandbox's bounds", options=bound)
        for ending, status, last in ((signal.SIGINT, 130, "check-release: interrupted"), (signal.SIGKILL, -9, "")):
            check = subprocess.Popen(CHECK + [work / "slow.zip"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True)
            while check.poll() is None and "rebuilding" not in check.stdout.readline():
                pass
            wait(lambda: running("sleep 3607"))
            check.send_signal(ending)
            said = check.communicate(timeout=60)[0]
            record(f"{ending.name} during a rebuild ends it" + (", saying so" if last else ""), check.returncode == status
                   and (said.splitlines() or [""])[-1].startswith(last), said)
            wait(lambda: not running("sleep 3607"), 10)  # the kernel's kill of the root's processes is not instant
            record("... and leaves nothing running", not running("sleep 3607"))
        run(*CHECK, genuine)
        left = sorted(path.name for path in (clone / "build" / "check-release").glob(".*"))
        record("what a killed check left in the store goes at the next check", not left, left)


@unittest.skipIf(os.environ.get("CHATPIPE_IN_DEBIAN_ROOT"), "already in a Debian root")
class DebianRoot(Recorded):
    """scripts/debian-root takes only what the commit tracks into the root,
    shows the command no process of the host, leaves nothing mounted or
    running after it is killed with SIGKILL while its command runs, and
    removes the copy of a tree that is gone.  A command in its sandbox, where
    a commit's code runs, reaches nothing of the host's.  Uses the other
    Debian release's root; skipped inside a root."""

    def test_the_root_holds_the_commit_and_nothing_outlives_it(self):
        root = Path(debian_root(TOP, "--where", capture_output=True, text=True).stdout.strip())
        roots = root.parent
        # Below a folder the root has of its own, and that nothing else fills there.
        work = Path(tempfile.mkdtemp(prefix="debian-root-", dir="/var/tmp"))
        holder = None
        try:
            clone = work / "clone"
            subprocess.run(["git", "clone", "-q", TOP, clone], check=True)
            (clone / "signer.pfx").write_text("a secret\n")
            with open(clone / "README.md", "a") as readme:
                readme.write("changed\n")
            record("an untracked file stays out, and a tracked one comes as committed", debian_root(
                clone, "sh", "-c", '[ ! -e signer.pfx ] && ! grep -q "^changed$" README.md').returncode == 0)

            # A host process that holds a secret open, as a release being signed does.
            (work / "held-secret").write_text("a password\n")
            with open(work / "held-secret") as secret:
                holder = subprocess.Popen(["sleep", "3601"], pass_fds=[secret.fileno()])
            record("the command sees no process of the host, nor its open files", debian_root(
                clone, "sh", "-c", "! ls -l /proc/[0-9]*/fd/ 2>/dev/null | grep -q held-secret").returncode == 0)

            # Where a commit's code runs: each probe holds only when the thing is out of reach.
            listener = socket.create_server(("127.0.0.1", 0))
            probes = (
                ("the host's network", "! python3 -c 'import socket, sys; socket.create_connection"
                                       f"((\"127.0.0.1\", {listener.getsockname()[1]}), 5)' 2>/dev/null"),
                ("a host file", f"[ ! -e {work}/held-secret ]"),
                ("the host's processes", "! ls -l /proc/[0-9]*/fd/ 2>/dev/null | grep -q held-secret"),
                ("writing to /sys", "! touch /sys/chatpipe 2>/dev/null"),
                ("writing to the root", "! touch /usr/chatpipe 2>/dev/null"),
                ("the host's disks", "! ls /dev | grep -q -E '^(sd|vd|nvme|xvd)'"),
                ("a way out of the root", "! python3 -c 'import os; os.chroot(\"/usr\")' 2>/dev/null"),
                ("any capability", "grep -q -E '^CapEff:[[:space:]]*0+$' /proc/self/status"),
                ("a descriptor beyond the standard ones", "! ls /proc/self/fd | grep -q -v -x -E '[0-3]'"),
                ("/proc/sys, opened for writing", "! python3 -c 'open(\"/proc/sys/kernel/core_pattern\", \"r+\")' "
                                                  "2>/dev/null"),
                ("root's ids outside", "cp /bin/true setuid && chmod u+s setuid"),
            )
            sandbox = work / "sandbox"
            sandbox.mkdir()
            said = debian_root(clone, "--commit", "HEAD", "--sandbox", sandbox, "sh", "-c", "; ".join(
                f"if {probe}; then echo 'out of reach: {number}'; fi" for number, (_, probe) in enumerate(probes)),
                capture_output=True, text=True)
            for number, (what, _) in enumerate(probes):
                record(f"from the sandbox, out of reach: {what}", f"out of reach: {number}" in said.stdout.splitlines(),
                      said.stdout + said.stderr)
            made = (sandbox / "setuid").stat()
            record("... and a setuid program made there reaches here as neither setuid nor setgid",
                   not made.st_mode & 0o6000, f"{made.st_uid} {made.st_mode:o}")
            listener.close()

            copy = Path(debian_root(clone, "--copy", capture_output=True, text=True).stdout.strip())
            entered = subprocess.Popen([clone / "scripts" / "debian-root", OTHER, "sh", "-c",
                                        "echo started >started; exec sleep 3602"])
            wait(lambda: (copy / "started").exists())
            record("the command runs in the root", (copy / "started").exists())
            entered.send_signal(signal.SIGKILL)
            entered.wait()
            wait(lambda: not running("sleep 3602"), 10)
            mounted = [line for line in Path("/proc/mounts").read_text().splitlines()
                       if line.split()[1].startswith(f"{roots}/")]
            record(f"after SIGKILL, nothing under {roots} is mounted", not mounted, "\n".join(mounted))
            record("... and its command has ended", not running("sleep 3602"))
            # Killed while it makes a root: what mmdebstrap (a stand-in that
            # mounts in the root and waits) mounts there is never seen here.
            (work / "bin").mkdir()
            (work / "bin" / "mmdebstrap").write_text('#!/bin/bash\ntarget=${@: -2:1}\nmkdir -p "$target/proc" && mount -t '
                                                    'tmpfs none "$target/proc" && touch "$target/up" && exec sleep 3604\n')
            (work / "bin" / "mmdebstrap").chmod(0o755)
            making = subprocess.Popen([clone / "scripts" / "debian-root", OTHER, "--make"], env=dict(
                os.environ, PATH=f"{work / 'bin'}:{os.environ['PATH']}", CHATPIPE_ROOTS=str(work / "roots")),
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # what outlives it must not hold CTest's output
            wait(lambda: list((work / "roots").glob("*.partial/up")))
            making.kill()
            making.wait()
            wait(lambda: not running("sleep 3604"), 10)
            record("killed while making a root, it leaves nothing mounted", f"{work}/roots/" not in
                   Path("/proc/mounts").read_text() and list((work / "roots").glob("*.partial/up")))
            record("... and the root's maker has ended", not running("sleep 3604"))
            shutil.rmtree(work)  # as a test's whole temporary folder goes
            debian_root(TOP, "true", check=True)
            record("the copy of a tree that is gone is removed at the next use", not copy.exists())
            record("... with its emptied parents, but not the root's own /var/tmp",
                  not (root / work.relative_to("/")).exists() and (root / "var" / "tmp").is_dir())
        finally:
            if holder is not None:
                holder.kill()
                holder.wait()
            subprocess.run(["pkill", "-f", "sleep 3604"])  # and what it mounted, should it outlive the kill
            for mount in (line.split()[1] for line in Path("/proc/mounts").read_text().splitlines()):
                if mount.startswith(f"{work}/"):
                    subprocess.run(["umount", "-l", mount])
            shutil.rmtree(work, ignore_errors=True)
