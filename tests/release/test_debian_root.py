"""scripts/debian-root takes only what the commit tracks into the root, shows
the command no process of the host, leaves nothing mounted or running after
it is killed with SIGKILL while its command runs, and removes the copy of a
tree that is gone.  A command in its sandbox, where a commit's code runs,
reaches nothing of the host's.  Uses the other Debian release's root; skipped
inside a root."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
OTHER = subprocess.run([TOP / "scripts" / "debian-root", "--other"], capture_output=True, text=True).stdout.strip()


def debian_root(clone, *arguments, **options):
    return subprocess.run([clone / "scripts" / "debian-root", OTHER, *arguments], **options)


def running(pattern):
    return subprocess.run(["pgrep", "-f", pattern], stdout=subprocess.DEVNULL).returncode == 0


def wait(done, seconds=60):
    deadline = time.monotonic() + seconds
    while not done() and time.monotonic() < deadline:
        time.sleep(0.1)


@unittest.skipIf(os.environ.get("CHATPIPE_IN_DEBIAN_ROOT"), "already in a Debian root")
class DebianRoot(unittest.TestCase):
    def test_the_root_holds_the_commit_and_nothing_outlives_it(self):
        def check(what, ok, detail=""):
            with self.subTest(what):
                self.assertTrue(ok, detail)
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
            check("an untracked file stays out, and a tracked one comes as committed", debian_root(
                clone, "sh", "-c", '[ ! -e signer.pfx ] && ! grep -q "^changed$" README.md').returncode == 0)

            # A host process that holds a secret open, as a release being signed does.
            (work / "held-secret").write_text("a password\n")
            with open(work / "held-secret") as secret:
                holder = subprocess.Popen(["sleep", "3601"], pass_fds=[secret.fileno()])
            check("the command sees no process of the host, nor its open files", debian_root(
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
            )
            sandbox = work / "sandbox"
            sandbox.mkdir()
            said = debian_root(clone, "--commit", "HEAD", "--sandbox", sandbox, "sh", "-c", "; ".join(
                f"if {probe}; then echo 'out of reach: {number}'; fi" for number, (_, probe) in enumerate(probes)),
                capture_output=True, text=True)
            for number, (what, _) in enumerate(probes):
                check(f"from the sandbox, out of reach: {what}", f"out of reach: {number}" in said.stdout.splitlines(),
                      said.stdout + said.stderr)
            listener.close()

            copy = Path(debian_root(clone, "--copy", capture_output=True, text=True).stdout.strip())
            entered = subprocess.Popen([clone / "scripts" / "debian-root", OTHER, "sh", "-c",
                                        "echo started >started; exec sleep 3602"])
            wait(lambda: (copy / "started").exists())
            check("the command runs in the root", (copy / "started").exists())
            entered.send_signal(signal.SIGKILL)
            entered.wait()
            wait(lambda: not running("sleep 3602"), 10)
            mounted = [line for line in Path("/proc/mounts").read_text().splitlines()
                       if line.split()[1].startswith(f"{roots}/")]
            check(f"after SIGKILL, nothing under {roots} is mounted", not mounted, "\n".join(mounted))
            check("... and its command has ended", not running("sleep 3602"))
            shutil.rmtree(work)  # as a test's whole temporary folder goes
            debian_root(TOP, "true", check=True)
            check("the copy of a tree that is gone is removed at the next use", not copy.exists())
            check("... with its emptied parents, but not the root's own /var/tmp",
                  not (root / work.relative_to("/")).exists() and (root / "var" / "tmp").is_dir())
        finally:
            if holder is not None:
                holder.kill()
            shutil.rmtree(work, ignore_errors=True)
