"""The login hooks, as real shells read them at login.

Runs each shell in a private mount namespace where /etc/profile.d and
/etc/csh/login.d hold only the hooks, /etc/zsh/zlogin ends with the line
bulfetch(1) tells a site to add, and /usr/local/bin (on root's PATH after
/etc/profile) holds a recording stand-in for the external bulfetch command.

Usage: test_profile_hook.py SOURCE-DIR [unittest arguments]
"""
import os
import pathlib
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = None
SHOWN = "the bulletin text"
CALL = "-new -quick"
# The lines a site adds to /etc/zsh/zlogin and puts in /etc/csh.login;
# bulfetch(1) gives them.
from login_e2e import CSH_LINE, ZSH_LINE  # noqa: E402


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
        self.login_d = os.path.join(self.dir, "login.d")
        self.zlogin = os.path.join(self.dir, "zlogin")
        self.bin = os.path.join(self.dir, "bin")
        self.home = os.path.join(self.dir, "home")
        self.calls = os.path.join(self.dir, "calls")
        for d in (self.profile_d, self.login_d, self.bin, self.home):
            os.mkdir(d)
        shutil.copy(os.path.join(SOURCE, "packaging/bulfetch.sh"),
                    os.path.join(self.profile_d, "bulfetch.sh"))
        shutil.copy(os.path.join(SOURCE, "packaging/bulfetch.csh"),
                    os.path.join(self.login_d, "bulfetch"))
        with open("/etc/zsh/zlogin") as f, open(self.zlogin, "w") as g:
            g.write(f.read() + ZSH_LINE + "\n")
        self.recorder('echo "%s"' % SHOWN)

    def recorder(self, then):
        """The stand-in bulfetch: records its arguments, then runs `then`."""
        path = os.path.join(self.bin, "bulfetch")
        with open(path, "w") as f:
            f.write('#!/bin/sh\necho "$*" >> "%s"\n%s\n' % (self.calls, then))
        os.chmod(path, 0o755)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def wrap(self, shell):
        script = ('mount --bind "$1" /etc/profile.d && mount --bind "$2" /usr/local/bin && '
                  'mount --bind "$3" /etc/csh/login.d && mount --bind "$4" /etc/zsh/zlogin && '
                  'shift 4 && exec "$@"')
        return ["unshare", "-m", "sh", "-c", script, "sh", self.profile_d, self.bin,
                self.login_d, self.zlogin, *shell]

    def env(self, **extra):
        return dict({"HOME": self.home, "PATH": "/usr/local/bin:/usr/bin:/bin", "TERM": "dumb",
                     "PS1": "$ ", "ENV": ""}, **extra)

    def recorded(self):
        if not os.path.exists(self.calls):
            return []
        with open(self.calls) as f:
            return f.read().splitlines()

    def run_plain(self, shell, env=None):
        return subprocess.run(self.wrap(shell), env=self.env(**(env or {})),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=20,
                              cwd=self.home)

    def run_on_terminal(self, shell, typed=b"exit\n", interrupt_at=None, env=None):
        """Runs a shell with a terminal as its controlling terminal, types
        into it and returns everything it printed. With interrupt_at, ^C is
        typed once that text has been printed, and the rest afterwards."""
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(self.home)
            os.execvpe(self.wrap(shell)[0], self.wrap(shell), self.env(**(env or {})))
        output = b""
        deadline = time.monotonic() + 20
        if interrupt_at is None:
            os.write(fd, typed)
        while time.monotonic() < deadline:
            if interrupt_at is not None and interrupt_at in output:
                os.write(fd, b"\x03")
                time.sleep(0.5)
                os.write(fd, typed)
                interrupt_at = None
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
            # shell, ~/.hushlogin, environment, calls expected
            (["bash", "-l", "-i", "-c", "true"], False, {}, 1),
            (["sh", "-l", "-i", "-c", "true"], False, {}, 1),
            (["zsh", "-l", "-i", "-c", "true"], False, {}, 1),
            (["bash", "-l", "-c", "true"], False, {}, 0),
            (["sh", "-l", "-c", "true"], False, {}, 0),
            (["zsh", "-l", "-c", "true"], False, {}, 0),
            (["bash", "-i", "-c", "true"], False, {}, 0),      # not a login shell
            (["bash", "-l", "-i", "-c", "true"], True, {}, 0),
            (["sh", "-l", "-i", "-c", "true"], True, {}, 0),
            (["zsh", "-l", "-i", "-c", "true"], True, {}, 0),
            # a new window of screen (tmux: see below)
            (["sh", "-l", "-i", "-c", "true"], False, {"STY": "123.pts-0.host"}, 0),
            # a profile read twice by one shell still asks once
            (["bash", "-l", "-i", "-c", ". /etc/profile"], False, {}, 1),
            # the login environment read through a pipe, as a desktop does
            (["sh", "-c", "for s in bash sh zsh; do $s -l -i -c true | cat; done"], False, {}, 0),
        ]
        hush = os.path.join(self.home, ".hushlogin")
        for shell, hushed, env, expected in cases:
            with self.subTest(shell=shell, hushlogin=hushed, env=env):
                if hushed:
                    open(hush, "w").close()
                elif os.path.exists(hush):
                    os.unlink(hush)
                if os.path.exists(self.calls):
                    os.unlink(self.calls)
                output = self.run_on_terminal(shell, env=env)
                self.assertEqual(self.recorded(), [CALL] * expected)
                self.assertEqual(output.count(SHOWN.encode()), expected)

    def test_the_calling_shell_is_left_as_it_was(self):
        """Traps (^C's among them), options, variables, positional
        parameters and $? around a run of the hook that asks; csh starts a
        sourced file at $status 0 and lists no traps."""
        dump = '{ trap; echo "$-"; set -o; echo "$#:$*"; set; } 2>&1'
        sh = ('unset bulfetch_login_done; set -u; set -- one "two words"; %s; ' + dump +
              ' > before; (exit 3); %s; echo "$?" > after; ' + dump + ' >> after')
        hook = ". /etc/profile.d/bulfetch.sh"
        csh = (b"unset bulfetch_login_done; set > before; source /etc/csh/login.d/bulfetch; "
               b"echo $status > after; set >> after\n")
        zsh_hook = "emulate sh -c '%s'" % hook
        for shell, typed, status in [
                (["bash", "-l", "-i", "-c", sh % ("trap 'echo' INT; trap '' QUIT", hook)], b"", 3),
                (["sh", "-l", "-i", "-c", sh % ("trap '' INT", hook)], b"", 3),  # a site's guard
                (["zsh", "-l", "-i", "-c", sh % ("TRAPINT() { echo x; }", zsh_hook)], b"", 3),
                (["tcsh", "-l"], csh, 0)]:
            with self.subTest(shell=shell[0]):
                self.run_on_terminal(shell, typed=typed + b"exit\n")
                ours = ("RANDOM=", "bulfetch_login_done")
                before, after = ([x for x in pathlib.Path(self.home, name).read_text().splitlines()
                                  if not x.startswith(ours)] for name in ("before", "after"))
                self.assertEqual(after, [str(status)] + before)
        self.assertEqual(self.recorded(), [CALL] * 8)

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
        for shell in (["bash", "-l"], ["sh", "-l"], ["zsh", "-l"], ["tcsh", "-l"]):
            with self.subTest(shell=shell):
                if os.path.exists(self.calls):
                    os.unlink(self.calls)
                output = self.run_on_terminal(shell)
                self.assertEqual(self.recorded(), [CALL])
                self.assertIn(SHOWN.encode(), output)

    def test_interrupted_wait_leaves_the_rest_of_the_login(self):
        """^C may kill the program before it is ready for it; the shell
        still reads the start-up files after the hook, system-wide and the
        user's, "set -e" in the profile notwithstanding."""
        self.recorder('echo waiting; exec sleep 20')
        with open(os.path.join(self.profile_d, "00-errexit.sh"), "w") as f:
            f.write("set -e\n")
        with open(os.path.join(self.profile_d, "zz-later.sh"), "w") as f:
            f.write("echo later-system\n")
        with open(os.path.join(self.login_d, "zz-later"), "w") as f:
            f.write("echo later-system\n")
        with open(self.zlogin) as f:
            zlogin = f.read().replace(ZSH_LINE, "set -e\n" + ZSH_LINE)
        with open(self.zlogin, "w") as f:
            f.write(zlogin + "echo later-system\n")
        for name in (".profile", ".zlogin", ".login"):
            with open(os.path.join(self.home, name), "w") as f:
                f.write("echo later-user\n")
        for shell in (["bash", "-l"], ["sh", "-l"], ["zsh", "-l"], ["tcsh", "-l"]):
            with self.subTest(shell=shell):
                output = self.run_on_terminal(shell, interrupt_at=b"waiting")
                self.assertIn(b"later-system", output)
                self.assertIn(b"later-user", output)

    def test_tmux_window_is_not_a_login(self):
        """tmux starts the shell of each window as a login shell, but the
        login was the terminal's, before tmux: no window asks."""
        ready = os.path.join(self.home, "ready")
        tmux = ["tmux", "-S", os.path.join(self.dir, "tmux.sock"), "-f", "/dev/null"]
        # The windows' shells outlive kill-server for a moment, writing their
        # history into the home: they are waited for, so that nothing writes
        # there once the test is over.
        script = ('%s new-session -d -x 80 -y 24 && %s new-window && '
                  '%s send-keys "touch %s" Enter && '
                  'while [ ! -e %s ]; do sleep 0.05; done; '
                  'pids=$(%s list-panes -a -F "#{pane_pid}"); %s kill-server; '
                  'for p in $pids; do while kill -0 $p 2>/dev/null; do sleep 0.05; done; done'
                  % (*[" ".join(tmux)] * 3, ready, ready, *[" ".join(tmux)] * 2))
        r = subprocess.run(self.wrap(["sh", "-c", script]),
                           env=self.env(SHELL="/bin/bash", TMUX=""),
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.recorded(), [])

    def test_without_bulfetch_installed_nothing_is_said(self):
        os.unlink(os.path.join(self.bin, "bulfetch"))
        r = self.run_plain(["sh", "-l", "-i", "-c", "echo done"])
        self.assertEqual((r.returncode, r.stdout), (0, b"done\n"))
        self.assertNotIn(b"bulfetch", r.stderr)
        self.assertNotIn(b"bulfetch", self.run_on_terminal(["tcsh", "-l"]))

    def test_site_lines_are_the_documented_ones(self):
        with open(os.path.join(SOURCE, "man/bulfetch.1")) as f:
            page = f.read().replace("\\-", "-").replace("\\(aq", "'").replace("\\`", "`")
        for line in (ZSH_LINE, CSH_LINE):
            self.assertIn("\n" + line + "\n", page)


if __name__ == "__main__":
    SOURCE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
