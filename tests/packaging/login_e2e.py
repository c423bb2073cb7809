#!/usr/bin/python3
"""Real logins on a machine with the project's packages installed.

Runs in private mount, network and process namespaces (tests/e2e/sandbox.py):
the .debs installed with dpkg on a machine without /usr/tmp, the system's
sshd on 127.0.0.1 with its stock configuration and PAM stack, a stand-in name
server and a stand-in bulletin server. Users log in over ssh as a person
does, through pexpect, one user per login shell.

  login_e2e.py DEB... [--case NAME ...]

Every login prints marks around the hook: "set-up: before" from a start-up
file read before it, "set-up: system" from one read after it, and
"set-up: user" from the user's own, each with the time; a login is set up
once all three are printed.
"""
import io
import os
import re
import subprocess
import sys
import time
import traceback
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import sandbox as S  # noqa: E402

T = unittest.TestCase()
T.maxDiff = None

DOMAIN = ".site.test"
SLOC_NAME = "bulletin.sloc.ns.site.test"
SERVER_HOST = "bulletin.site.test"
SERVER_ADDR = "127.0.0.2"
GOOD = b"BUL:0 1700000000\nThe file servers stop on Saturday.\n"
SHOWN = b"The file servers stop on Saturday."
FALLBACK = "/usr/tmp/.messages"
# The line bulfetch(1) tells a site to add to /etc/zsh/zlogin.
ZSH_LINE = ("if [ -r /etc/profile.d/bulfetch.sh ]; then "
            "emulate sh -c '. /etc/profile.d/bulfetch.sh'; fi")
# The line bulfetch(1) tells a site with Debian's csh package to put in
# /etc/csh.login; that csh refuses the one there once login.d holds two files.
CSH_LINE = 'if (-e /etc/csh/login.d && "`/bin/ls /etc/csh/login.d | head -n 1`" != "") then'

SHELLS = [("bash", "/bin/bash"), ("dash", "/bin/dash"), ("zsh", "/bin/zsh"),
          ("tcsh", "/bin/tcsh"), ("csh", "/bin/csh")]
MARK_RE = re.compile(rb"set-up: (before|system|user) (\d+\.\d+)")


class Site:
    """The packages installed, the site's name service and bulletin server,
    sshd, and the marks around the hook."""

    def __init__(self, sb, debs):
        self.sb = sb
        self._uid = 3000
        # Stock Debian 12 has no /usr/tmp; the package must make it.
        os.rmdir("/usr/tmp")
        sb.install_debs(debs)
        sb.nomicon_conf("lhs .ns\nrhs " + DOMAIN + "\n")
        self.server = sb.start_bulletin_server(GOOD, address=SERVER_ADDR)
        sb.services({"bulletin": f"{self.server.port}/udp"})
        self.ns = sb.start_nameserver(txt={SLOC_NAME: [SERVER_HOST]},
                                      hosts={SERVER_HOST: SERVER_ADDR})
        # The resolver's stock tuning, under which a silent name server
        # costs a lookup 12 seconds.
        sb.write_file("/etc/resolv.conf", "nameserver 127.0.0.1\n")
        sh_mark = 'echo "set-up: %s $(date +%%s.%%N)"\n'
        csh_mark = 'echo "set-up: %s `date +%%s.%%N`"\n'
        sb.write_file("/etc/profile.d/00-before.sh", sh_mark % "before")
        sb.write_file("/etc/profile.d/zz-after.sh", sh_mark % "system")
        with open("/etc/csh.login") as f:
            sb.write_file("/etc/csh.login", re.sub(r"(?m)^if \(-e /etc/csh/login\.d .*$",
                                                   lambda m: CSH_LINE, f.read()))
        sb.write_file("/etc/csh/login.d/00-before", csh_mark % "before")
        sb.write_file("/etc/csh/login.d/zz-after", csh_mark % "system")
        with open("/etc/zsh/zlogin", "a") as f:
            f.write(sh_mark % "before" + ZSH_LINE + "\n" + sh_mark % "system")
        self.ssh = sb.start_sshd()

    def user(self, shell, hushlogin=False):
        self._uid += 1
        name = "%s%d" % (os.path.basename(shell), self._uid)
        u = self.sb.add_user(name, self._uid, shell=shell)
        self.sb.authorize(u)
        mark = 'echo "set-up: user `date +%s.%N`"\n'
        for rc in (".profile", ".zlogin", ".login"):
            self.sb.write_file(os.path.join(u.home, rc), mark, uid=u.uid, gid=u.gid)
        if hushlogin:
            self.sb.write_file(os.path.join(u.home, ".hushlogin"), "", uid=u.uid, gid=u.gid)
        return u

    def silence_name_server(self, silent=True):
        if silent:
            self.ns.txt = {SLOC_NAME.lower(): S.SILENT}
            self.ns.hosts = {}
        else:
            self.ns.txt = {SLOC_NAME.lower(): [SERVER_HOST]}
            self.ns.hosts = {SERVER_HOST: SERVER_ADDR}

    def run(self, user, *command, stdin=b""):
        return subprocess.run(self.ssh + [f"{user.name}@127.0.0.1", *command], input=stdin,
                              capture_output=True, timeout=60)


class Login:
    """One interactive login: what the terminal showed until the shell was
    set up, and the time of each mark (seconds since the epoch)."""

    def __init__(self, output, marks, started, ready):
        self.output, self.marks, self.started, self.ready = output, marks, started, ready

    def hook_time(self):
        return self.marks["system"] - self.marks["before"]

    def to_prompt(self):
        return self.ready - self.started


def login(site, user, interrupt_after=None, key="c"):
    """Logs user in over ssh on a terminal, optionally types ^C (or another
    control key) that many seconds after the "before" mark, waits for the
    shell to be set up and to answer a command, and logs out: a stopped job
    would keep the shell from leaving."""
    import pexpect
    seen = io.BytesIO()
    child = pexpect.spawn(site.ssh[0], site.ssh[1:] + ["-tt", f"{user.name}@127.0.0.1"],
                          env={"PATH": "/usr/bin:/bin", "TERM": "dumb"}, timeout=30)
    child.logfile_read = seen
    started = time.time()
    try:
        if interrupt_after is not None:
            child.expect(rb"set-up: before \d+\.\d+")
            time.sleep(interrupt_after)
            child.sendcontrol(key)
        child.expect(rb"set-up: user \d+\.\d+")
        ready = time.time()
        output = seen.getvalue()
        # The shell answers: the prompt has come and it reads commands.
        child.sendline("echo MARK''ED")
        child.expect("MARKED")
        child.sendline("exit")
        child.expect(pexpect.EOF)
    except pexpect.ExceptionPexpect:
        raise AssertionError("login of %s: %r" % (user.name, seen.getvalue()))
    finally:
        child.close(force=True)
    marks = {m.group(1).decode(): float(m.group(2)) for m in MARK_RE.finditer(output)}
    T.assertEqual(sorted(marks), ["before", "system", "user"], output)
    T.assertLess(marks["before"], marks["system"], output)
    return Login(output, marks, started, ready)


def shown(login_):
    """How many times the bulletin appeared, and whether it came between the
    marks around the hook."""
    count = login_.output.count(SHOWN)
    if count:
        at = login_.output.index(SHOWN)
        T.assertLess(login_.output.index(b"set-up: before"), at, login_.output)
        T.assertLess(at, login_.output.index(b"set-up: system"), login_.output)
    return count


# ---------------------------------------------------------------------------
# Cases, each on the same site in turn

def case_each_shell_shows_a_new_bulletin_once(site):
    for name, shell in SHELLS:
        user = site.user(shell)
        T.assertEqual(shown(login(site, user)), 1, name)
        T.assertEqual(shown(login(site, user)), 0, name + ", seen already")
    # The machine-wide copy was made from the first login, in the /usr/tmp
    # the package made.
    T.assertEqual(os.readlink("/usr/tmp"), "../var/tmp")
    T.assertEqual(site.sb.read_file(FALLBACK), GOOD)


def case_hushlogin(site):
    for name, shell in SHELLS:
        user = site.user(shell, hushlogin=True)
        T.assertEqual(shown(login(site, user)), 0, name)
        T.assertFalse(os.path.exists(os.path.join(user.home, ".message_times")), name)


def case_non_interactive_sessions_are_byte_clean(site):
    data = bytes(range(256)) * 64
    remote = site.sb.write_file("/srv/data.bin", data)
    local = os.path.join(site.sb.scratch, "copy.bin")
    scp = ["scp"] + site.ssh[1:]
    sftp = ["sftp"] + site.ssh[1:]
    for name, shell in SHELLS:
        user = site.user(shell)
        source = f"{user.name}@127.0.0.1:{remote}"
        transfers = [
            ("scp", scp + [source, local]),
            ("scp -O", scp + ["-O", source, local]),
            ("sftp", sftp + ["-b", "-", f"{user.name}@127.0.0.1"]),
            ("rsync", ["rsync", "-e", " ".join(site.ssh), source, local]),
        ]
        r = site.run(user, "cat", remote)
        T.assertEqual((r.returncode, r.stdout, r.stderr), (0, data, b""), name)
        # A login shell without a terminal ("ssh host < script") reads the
        # login files, hooks included, but is no one's login.
        r = subprocess.run(site.ssh + ["-T", f"{user.name}@127.0.0.1"],
                           input=f"cat {remote}\n".encode(), capture_output=True, timeout=60)
        # Debian's csh package warns of it itself, with or without ours.
        stderr = re.sub(rb"^Warning: no access to tty \(.*\)\.\nThus no job control in this "
                        rb"shell\.\n", b"", r.stderr) if name == "csh" else r.stderr
        T.assertEqual((r.returncode, r.stdout[-len(data):], stderr), (0, data, b""), name)
        T.assertNotIn(SHOWN, r.stdout, name)
        for what, argv in transfers:
            if os.path.exists(local):
                os.unlink(local)
            stdin = f"get {remote} {local}\n".encode() if what == "sftp" else b""
            r = subprocess.run(argv, input=stdin, capture_output=True, timeout=60)
            T.assertEqual(r.returncode, 0, (name, what, r.stderr))
            T.assertEqual(site.sb.read_file(local), data, (name, what))
        T.assertFalse(os.path.exists(os.path.join(user.home, ".message_times")), name)


def case_silent_name_server(site):
    """Every lookup unanswered: the hook is done within its bound and shows
    the machine-wide copy, new to this user."""
    site.sb.write_file(FALLBACK, GOOD, mode=0o666)
    site.silence_name_server()
    done = login(site, site.user("/bin/bash"))
    T.assertEqual(shown(done), 1)
    T.assertLess(done.hook_time(), 1.5, done.output)


def case_interrupt_ends_only_the_wait(site):
    """^C ends the wait and ^Z does nothing (the machine-wide copy shows at
    the end of the wait); neither costs the login a start-up file or leaves
    a job behind."""
    site.sb.write_file(FALLBACK, GOOD, mode=0o666)
    site.silence_name_server()
    for name, shell in SHELLS[:4]:
        for key, shows in (("c", 0), ("z", 1)):
            done = login(site, site.user(shell), interrupt_after=0.3, key=key)
            T.assertLess(done.hook_time(), 1.5, (name, key, done.output))
            T.assertEqual(shown(done), shows, (name, key, done.output))
            T.assertNotRegex(done.output, rb"(?i)stopped|suspended", (name, key))


CASES = [
    ("each_shell_shows_a_new_bulletin_once", case_each_shell_shows_a_new_bulletin_once),
    ("hushlogin", case_hushlogin),
    ("non_interactive_sessions_are_byte_clean", case_non_interactive_sessions_are_byte_clean),
    # These two leave the name server silent.
    ("silent_name_server", case_silent_name_server),
    ("interrupt_ends_only_the_wait", case_interrupt_ends_only_the_wait),
]


def main():
    args = sys.argv[1:]
    names = []
    while "--case" in args:
        i = args.index("--case")
        names.append(args[i + 1])
        del args[i:i + 2]
    debs = [os.path.abspath(a) for a in args]
    S.reexec_in_namespace(pid=True)
    failed = 0
    with S.Sandbox() as sb:
        site = Site(sb, debs)
        for name, fn in CASES:
            if names and name not in names:
                continue
            try:
                fn(site)
                print("ok    " + name, flush=True)
            except Exception:
                failed += 1
                print("FAIL  " + name, flush=True)
                print("    " + traceback.format_exc().replace("\n", "\n    "), flush=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
