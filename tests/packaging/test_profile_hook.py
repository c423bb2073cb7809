"""The login hook in /etc/profile.d, as real shells read it at login.

Runs each shell in a private mount namespace where /etc/profile.d holds
only the hook and /usr/local/bin (on root's PATH after /etc/profile) holds
a recording stand-in for the external bulfetch command.

Usage: test_profile_hook.py PATH-TO-HOOK [unittest arguments]
"""
import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HOOK = None
SHOWN = "the bulletin text"


def namespaces_available():
    return shutil.which("unshare") is not None and subprocess.run(
        ["unshare", "-m", "true"], capture_output=True).returncode == 0


class Hook(unittest.TestCase):
    def setUp(self):
        if not namespaces_available():
            if os.environ.get("CALYX_REQUIRE_NAMESPACES", "0") not in ("", "0"):
                self.fail("private mount namespaces are needed but unavailable")
            self.skipTest("private mount namespaces unavailable")
        self.dir = tempfile.mkdtemp(prefix="bulfetch-hook-")
        self.profile_d = os.path.join(self.dir, "profile.d")
        self.bin = os.path.join(self.dir, "bin")
        self.home = os.path.join(self.dir, "home")
        self.calls = os.path.join(self.dir, "calls")
        for d in (self.profile_d, self.bin, self.home):
            os.mkdir(d)
        shutil.copy(HOOK, os.path.join(self.profile_d, "bulfetch.sh"))
        recorder = os.path.join(self.bin, "bulfetch")
        with open(recorder, "w") as f:
            f.write('#!/bin/sh\necho "$*" >> "%s"\necho "%s"\n' % (self.calls, SHOWN))
        os.chmod(recorder, 0o755)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def wrap(self, shell):
        script = ('mount --bind "$1" /etc/profile.d && mount --bind "$2" /usr/local/bin && '
                  'shift 2 && exec "$@"')
        return ["unshare", "-m", "sh", "-c", script, "sh", self.profile_d, self.bin, *shell]

    def env(self):
        return {"HOME": self.home, "PATH": "/usr/bin:/bin", "TERM": "dumb",
                "PS1": "$ ", "ENV": ""}

    def recorded(self):
        if not os.path.exists(self.calls):
            return []
        with open(self.calls) as f:
            return f.read().splitlines()

    def run_plain(self, shell):
        return subprocess.run(self.wrap(shell), env=self.env(), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=20, cwd=self.home)

    def run_on_terminal(self, shell, typed=b"exit\n"):
        """Runs a shell with a terminal as its controlling terminal, types
        into it and returns everything it printed."""
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(self.home)
            os.execvpe(self.wrap(shell)[0], self.wrap(shell), self.env())
        output = b""
        deadline = time.monotonic() + 20
        os.write(fd, typed)
        while time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 0.5)
            if not ready:
                continue
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # the terminal closes when the shell ends
                break
            if not chunk:
                break
            output += chunk
        _, status = os.waitpid(pid, 0)
        os.close(fd)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, output)
        return output

    def test_decision_by_kind_of_shell(self):
        cases = [
            # shell, ~/.hushlogin, calls expected
            (["bash", "-l", "-i", "-c", "true"], False, 1),
            (["sh", "-l", "-i", "-c", "true"], False, 1),
            (["bash", "-l", "-c", "true"], False, 0),
            (["sh", "-l", "-c", "true"], False, 0),
            (["bash", "-i", "-c", "true"], False, 0),      # not a login shell
            (["bash", "-l", "-i", "-c", "true"], True, 0),
            (["sh", "-l", "-i", "-c", "true"], True, 0),
            # a profile read twice by one shell still asks once
            (["bash", "-l", "-i", "-c", ". /etc/profile"], False, 1),
        ]
        hush = os.path.join(self.home, ".hushlogin")
        for shell, hushed, expected in cases:
            with self.subTest(shell=shell, hushlogin=hushed):
                if hushed:
                    open(hush, "w").close()
                elif os.path.exists(hush):
                    os.unlink(hush)
                if os.path.exists(self.calls):
                    os.unlink(self.calls)
                r = self.run_plain(shell)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(self.recorded(), ["-new"] * expected)
                self.assertEqual(r.stdout.count(SHOWN.encode()), expected)

    def test_script_run_by_login_shell_is_silent(self):
        script = os.path.join(self.home, "job.sh")
        with open(script, "w") as f:
            f.write("echo job done\n")
        for shell in (["bash", "-l", script], ["sh", "-l", script]):
            with self.subTest(shell=shell):
                r = self.run_plain(shell)
                self.assertEqual((r.returncode, r.stdout), (0, b"job done\n"), r.stderr)
        self.assertEqual(self.recorded(), [])

    def test_login_on_a_terminal(self):
        for shell in (["bash", "-l"], ["sh", "-l"]):
            with self.subTest(shell=shell):
                if os.path.exists(self.calls):
                    os.unlink(self.calls)
                output = self.run_on_terminal(shell)
                self.assertEqual(self.recorded(), ["-new"])
                self.assertIn(SHOWN.encode(), output)

    def test_without_bulfetch_installed_nothing_is_said(self):
        os.unlink(os.path.join(self.bin, "bulfetch"))
        r = self.run_plain(["sh", "-l", "-i", "-c", "echo done"])
        self.assertEqual((r.returncode, r.stdout), (0, b"done\n"))
        self.assertNotIn(b"bulfetch", r.stderr)


if __name__ == "__main__":
    HOOK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
