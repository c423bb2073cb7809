"""A site in a box for end-to-end tests and demonstrations.

Everything here runs as root inside a private mount and network namespace:
the real fixed paths of the client (/etc/resolv.conf, /etc/services,
/etc/calyx/nomicon.conf, /usr/tmp/.messages, /usr/calyx/bin/vwrite, /dev/log)
are written on overlays that vanish with the namespace, and every server
listens on the namespace's own loopback, so nothing leaks to the host.

Two ways in:
  run_isolated(fn, *args)   fork; the child enters fresh namespaces, builds a
                            Sandbox, calls fn(sandbox, *args), tears down.
  reexec_in_namespace()     re-run the whole script under unshare(1), for a
                            script that wants one namespace for all its work
                            (pid=True: a process namespace too, so that
                            nothing it started outlives it).

Inside, a Sandbox gives: users (add_user), files (write_file, services,
nomicon_conf), installed programs (install), the notice stand-in
(install_notice), the system-log catcher (sb.syslog), a stand-in name server
(start_nameserver), a stand-in bulletin server (start_bulletin_server), a real
BIND 9 (start_bind), run(), which starts a program as a chosen user and
collects everything it left behind, and for whole logins: Debian packages
installed with dpkg (install_debs) and the system's sshd (start_sshd).
"""

import ctypes
import dataclasses
import errno
import os
import pty
import re
import resource
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import traceback

CLONE_NEWNS = 0x00020000
CLONE_NEWNET = 0x40000000
PR_SET_CHILD_SUBREAPER = 36
SKIP_CODE = 77          # ctest SKIP_RETURN_CODE of every test using this module
MARKER_ENV = "CALYX_SANDBOX_NS"

CLASS_IN = 1
CLASS_HS = 4
TYPE_A = 1
TYPE_TXT = 16


# ---------------------------------------------------------------------------
# Entering namespaces

def _libc():
    return ctypes.CDLL(None, use_errno=True)


def _unshare_here():
    """Moves the calling process into new mount and network namespaces."""
    if _libc().unshare(CLONE_NEWNS | CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, "unshare: " + os.strerror(err))
    # Without this the mounts below would propagate back to the host.
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)


def namespaces_available():
    """None when namespaces work here, else a reason."""
    if os.geteuid() != 0:
        return "not running as root"
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        return "unshare(1) or ip(8) is missing"
    pid = os.fork()
    if pid == 0:
        try:
            _unshare_here()
            subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/mnt"], check=True,
                           stderr=subprocess.DEVNULL)
            os._exit(0)
        except BaseException:
            os._exit(1)
    _, status = os.waitpid(pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        return "unshare(CLONE_NEWNS|CLONE_NEWNET) or mount is refused here"
    return None


def require_namespaces():
    """Exits with SKIP_CODE (or fails, when CALYX_REQUIRE_NAMESPACES=1)
    if namespaces can't be used."""
    reason = namespaces_available()
    if reason is None:
        return
    if os.environ.get("CALYX_REQUIRE_NAMESPACES", "0") not in ("", "0"):
        print(f"FAIL: private namespaces are required but unavailable: {reason}")
        sys.exit(1)
    print(f"SKIP: private namespaces unavailable ({reason}); "
          "set CALYX_REQUIRE_NAMESPACES=1 to make this a failure")
    sys.exit(SKIP_CODE)


def reexec_in_namespace(pid=False):
    """Re-runs this script under unshare(1) in fresh mount and network
    namespaces unless it already runs in them. pid=True adds a process
    namespace with its own /proc: when the script ends, every process it
    started (a daemon, the sessions of a login) ends with it."""
    if os.environ.get(MARKER_ENV) == "1":
        return
    require_namespaces()
    env = dict(os.environ, **{MARKER_ENV: "1"})
    extra = ["--pid", "--fork", "--kill-child", "--mount-proc"] if pid else []
    os.execvpe("unshare", ["unshare", "-mn", "--propagation", "private", *extra,
                           sys.executable] + sys.argv, env)


class _Child:
    def __init__(self, pid, out, deadline, timeout):
        self.pid, self.out, self.deadline, self.timeout = pid, out, deadline, timeout


def _spawn_isolated(fn, args, kwargs, timeout):
    out = tempfile.TemporaryFile()
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.setpgid(0, 0)
            os.dup2(out.fileno(), 1)
            os.dup2(out.fileno(), 2)
            sys.stdout = os.fdopen(1, "w", buffering=1, closefd=False)
            sys.stderr = os.fdopen(2, "w", buffering=1, closefd=False)
            _unshare_here()
            os.environ[MARKER_ENV] = "1"
            with Sandbox() as sb:
                fn(sb, *args, **kwargs)
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(code)
    return _Child(pid, out, time.monotonic() + timeout, timeout)


def _poll_isolated(child):
    """None while the child runs, else (ok, output text)."""
    done, status = os.waitpid(child.pid, os.WNOHANG)
    timed_out = False
    if not done:
        if time.monotonic() <= child.deadline:
            return None
        timed_out = True
        os.killpg(child.pid, signal.SIGKILL)
        _, status = os.waitpid(child.pid, 0)
    # Stragglers of the child's process group (servers it started).
    try:
        os.killpg(child.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    child.out.seek(0)
    text = child.out.read().decode(errors="replace")
    child.out.close()
    if timed_out:
        text += f"\nTIMEOUT after {child.timeout} s\n"
    return (not timed_out and os.waitstatus_to_exitcode(status) == 0), text


def run_isolated(fn, *args, timeout=120, **kwargs):
    """Runs fn(sandbox, *args, **kwargs) in a forked child that has its own
    namespaces and Sandbox. Returns (ok, output text). The child's output is
    captured; an exception in fn fails it with its traceback. Call it from
    the main thread of a process that runs no other threads."""
    child = _spawn_isolated(fn, args, kwargs, timeout)
    while True:
        r = _poll_isolated(child)
        if r is not None:
            return r
        time.sleep(0.02)


# ---------------------------------------------------------------------------
# Records handed back to tests

@dataclasses.dataclass
class User:
    name: str
    uid: int
    gid: int
    home: str


@dataclasses.dataclass
class LogLine:
    facility: int
    priority: int
    ident: str
    pid: int
    text: str


@dataclasses.dataclass
class Notice:
    argv: list          # bytes, argv[0] included, exactly as exec'd
    env: dict           # str -> str, the notice program's environment


@dataclasses.dataclass
class Result:
    status: int         # exit status, or -signal
    stdout: bytes
    stderr: bytes
    log: list           # LogLine, in order
    notices: list       # Notice, one per start of the notice stand-in
    elapsed: float
    pid: int

    def log_texts(self):
        return [line.text for line in self.log]


class SanitizerReport(AssertionError):
    pass


# ---------------------------------------------------------------------------
# System log

_SYSLOG_RE = re.compile(
    rb"^<(\d{1,3})>(?:[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d )?(.*?)\[(\d+)\]: (.*)$",
    re.DOTALL)


def parse_syslog(datagram):
    """Parses one datagram as the C library sends it to /dev/log:
    "<pri>Mmm dd hh:mm:ss ident[pid]: text". None when it isn't one."""
    m = _SYSLOG_RE.match(datagram)
    if not m:
        return None
    pri = int(m.group(1))
    text = m.group(4)
    if text.endswith(b"\n"):
        text = text[:-1]
    return LogLine(facility=pri >> 3, priority=pri & 7,
                   ident=m.group(2).decode(errors="surrogateescape"),
                   pid=int(m.group(3)), text=text.decode(errors="surrogateescape"))


class SyslogCatcher:
    """A datagram socket at /dev/log that keeps every message it receives."""

    def __init__(self, path="/dev/log"):
        self.path = path
        self.raw = []
        self._lock = threading.Lock()
        self._seen_marker = threading.Condition(self._lock)
        self._markers = set()
        self._serial = 0
        if os.path.lexists(path):
            os.unlink(path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        os.chmod(path, 0o666)
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def _loop(self):
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                return
            if not data:
                return
            with self._lock:
                if data.startswith(b"\0marker "):
                    self._markers.add(data)
                    self._seen_marker.notify_all()
                else:
                    self.raw.append(data)

    def sync(self):
        """Returns once every datagram sent before the call has been read:
        the socket queue is in order, so a marker sent now arrives last."""
        with self._lock:
            self._serial += 1
            marker = b"\0marker %d" % self._serial
        s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        try:
            s.sendto(marker, self.path)
        finally:
            s.close()
        with self._lock:
            if not self._seen_marker.wait_for(lambda: marker in self._markers, 5):
                raise AssertionError("system-log catcher did not drain its socket")

    def count(self):
        self.sync()
        with self._lock:
            return len(self.raw)

    def lines(self, start=0, pid=None):
        """Parsed messages from the start-th on, optionally of one process.
        A datagram that does not parse fails the caller."""
        self.sync()
        with self._lock:
            raw = list(self.raw[start:])
        out = []
        for data in raw:
            line = parse_syslog(data)
            if line is None:
                raise AssertionError(f"unparsable system-log datagram {data!r}")
            if pid is None or line.pid == pid:
                out.append(line)
        return out

    def close(self):
        _close_listener(self.sock, self._thread)


# ---------------------------------------------------------------------------
# DNS wire helpers shared by the stand-in name server and the tests

def encode_name(name):
    out = b""
    for label in name.rstrip(".").split("."):
        if label:
            b = label.encode()
            out += bytes([len(b)]) + b
    return out + b"\0"


def txt_rdata(text):
    """TXT data for one string: character-strings of at most 255 bytes."""
    if isinstance(text, str):
        text = text.encode()
    if not text:
        return b"\0"
    return b"".join(bytes([len(text[i:i + 255])]) + text[i:i + 255]
                    for i in range(0, len(text), 255))


def parse_question(msg):
    """(id, flags, name, qtype, qclass) of a query; None when malformed."""
    if len(msg) < 12:
        return None
    qid, flags, qd = struct.unpack("!HHH", msg[:6])
    if qd < 1:
        return None
    pos, labels = 12, []
    while True:
        if pos >= len(msg):
            return None
        n = msg[pos]
        if n == 0:
            pos += 1
            break
        if n & 0xC0 or pos + 1 + n > len(msg):
            return None
        labels.append(msg[pos + 1:pos + 1 + n].decode(errors="replace"))
        pos += 1 + n
    if pos + 4 > len(msg):
        return None
    qtype, qclass = struct.unpack("!HH", msg[pos:pos + 4])
    return qid, flags, ".".join(labels), qtype, qclass, msg[12:pos + 4]


def _close_listener(sock, thread):
    """Closes a socket that a thread is blocked on. close() alone would not
    wake the thread, and its pending receive would keep the port bound;
    shutdown() wakes it (on an unconnected socket it reports ENOTCONN, but
    still does so)."""
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    thread.join(2)
    sock.close()


class Raw:
    """An exact answer message; its first two bytes are replaced by the
    query's id so that the resolver accepts it."""

    def __init__(self, data):
        self.data = data


SILENT = "silent"
REFUSED = 5
NXDOMAIN = 3
SERVFAIL = 2


@dataclasses.dataclass
class Query:
    name: str
    qtype: int
    qclass: int
    recursion_desired: bool


class StubNameServer:
    """Answers UDP queries on 127.0.0.1:53 from two tables:
      txt:   name -> list of strings (TXT records of class 4) or Raw(bytes)
             or SILENT or an rcode (REFUSED, NXDOMAIN, SERVFAIL)
      hosts: name -> "127.0.0.x" (class IN, type A) or SILENT
    Any other question gets NXDOMAIN. Names compare without case and without
    a final dot. Every query received is kept in .queries."""

    def __init__(self, txt=None, hosts=None, address="127.0.0.1", port=53):
        self.txt = {k.lower().rstrip("."): v for k, v in (txt or {}).items()}
        self.hosts = {k.lower().rstrip("."): v for k, v in (hosts or {}).items()}
        self.queries = []
        self._lock = threading.Lock()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, port))
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def _loop(self):
        while True:
            try:
                msg, peer = self.sock.recvfrom(4096)
            except OSError:
                return
            if not msg and peer is None:
                return
            reply = self.answer(msg)
            if reply is not None:
                try:
                    self.sock.sendto(reply, peer)
                except OSError:
                    return

    def answer(self, msg):
        q = parse_question(msg)
        if q is None:
            return None
        qid, flags, name, qtype, qclass, question = q
        with self._lock:
            self.queries.append(Query(name, qtype, qclass, bool(flags & 0x0100)))
        key = name.lower().rstrip(".")
        records, rcode = [], NXDOMAIN
        if qclass == CLASS_HS and qtype == TYPE_TXT and key in self.txt:
            value = self.txt[key]
            if value == SILENT:
                return None
            if isinstance(value, Raw):
                return struct.pack("!H", qid) + value.data[2:]
            if isinstance(value, int):
                rcode = value
            else:
                rcode = 0
                records = [(CLASS_HS, TYPE_TXT, txt_rdata(s)) for s in value]
        elif qclass == CLASS_IN and qtype == TYPE_A and key in self.hosts:
            if self.hosts[key] == SILENT:
                return None
            rcode = 0
            records = [(CLASS_IN, TYPE_A, socket.inet_aton(self.hosts[key]))]
        rflags = 0x8000 | (flags & 0x7900) | 0x0400 | rcode   # QR, opcode+RD, AA
        out = struct.pack("!HHHHHH", qid, rflags, 1, len(records), 0, 0) + question
        for rclass, rtype, rdata in records:
            out += b"\xc0\x0c" + struct.pack("!HHIH", rtype, rclass, 60, len(rdata)) + rdata
        return out

    def close(self):
        _close_listener(self.sock, self._thread)


class StubBulletinServer:
    """A UDP bulletin server on 127.0.0.1 (ephemeral port unless given).
    reply: bytes to send for every request, or None to stay silent, or a
    function(request bytes) -> bytes or None. Requests are kept in
    .requests as bytes."""

    def __init__(self, reply, address="127.0.0.1", port=0):
        self.reply = reply
        self.requests = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        # Room for an oversize reply datagram.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 17)
        self.sock.bind((address, port))
        self.port = self.sock.getsockname()[1]
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def _loop(self):
        while True:
            try:
                msg, peer = self.sock.recvfrom(65536)
            except OSError:
                return
            if not msg and peer is None:
                return
            self.requests.append(msg)
            out = self.reply(msg) if callable(self.reply) else self.reply
            if out is not None:
                try:
                    self.sock.sendto(out, peer)
                except OSError:
                    return

    def close(self):
        _close_listener(self.sock, self._thread)


# ---------------------------------------------------------------------------
# BIND 9

def zone_text(origin, records, rclass="HS", ttl=60):
    """A zone file: SOA and NS at the origin, then records, each a tuple
    (owner relative to the origin or "@", type, data as zone-file text)."""
    base = origin.strip(".")
    fq = base + "." if base else "."
    host = f"ns.{base}." if base else "ns.root."
    lines = [f"$ORIGIN {fq}", f"$TTL {ttl}",
             f"@ {rclass} SOA {host} hostmaster.{host} 1 3600 600 86400 60",
             f"@ {rclass} NS {host}"]
    if rclass == "IN" and base:
        # BIND refuses an IN zone whose in-zone name server has no address.
        lines.append(f"ns {rclass} A 127.0.0.1")
    for owner, rtype, data in records:
        lines.append(f"{owner} {rclass} {rtype} {data}")
    return "\n".join(lines) + "\n"


def txt_zone_data(*strings):
    """Zone-file data of one TXT record holding the given strings."""
    out = []
    for s in strings:
        out.append('"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"')
    return " ".join(out)


class Bind:
    def __init__(self, proc, folder, log_path):
        self.proc = proc
        self.folder = folder
        self.log_path = log_path

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def unpacked_debs(folder, packages):
    """Debian packages fetched with `apt-get download` into folder (once)
    and unpacked under folder/root, never installed; returns that root.
    Runs outside the namespaces, where the archive can be reached."""
    root = os.path.join(folder, "root")
    stamp = os.path.join(folder, "unpacked")
    if os.path.exists(stamp):
        return root
    os.makedirs(folder, exist_ok=True)
    for attempt in ("download", "after apt-get update"):
        r = subprocess.run(["apt-get", "download", *packages], cwd=folder,
                           capture_output=True, text=True)
        if r.returncode == 0:
            break
        if attempt == "download":
            subprocess.run(["apt-get", "update", "-qq"], capture_output=True)
    else:
        raise RuntimeError(f"apt-get download {' '.join(packages)} failed in {folder}:\n"
                           + r.stderr)
    for deb in sorted(f for f in os.listdir(folder) if f.endswith(".deb")):
        subprocess.run(["dpkg-deb", "-x", os.path.join(folder, deb), root], check=True)
    open(stamp, "w").close()
    return root


# ---------------------------------------------------------------------------
# The sandbox

class Sandbox:
    """Overlays over /etc, /usr and a private /dev, loopback up, resolver
    pointed at 127.0.0.1, /usr/tmp ready, /dev/log caught. Must be built
    inside private namespaces (run_isolated or reexec_in_namespace)."""

    def __init__(self, keep=False):
        if os.environ.get(MARKER_ENV) != "1":
            raise RuntimeError("Sandbox needs private namespaces: use run_isolated "
                               "or reexec_in_namespace")
        self.keep = keep
        self.root = tempfile.mkdtemp(prefix="calyx-sandbox-")
        os.chmod(self.root, 0o755)
        self.scratch = self._mkdir("scratch", 0o1777)   # shared, like /tmp
        self.sanitizer_dir = self._mkdir("sanitizer", 0o1777)
        self._servers = []
        self._bind = []
        self._mounted = ["/dev", "/usr", "/etc"]
        self._sshd = None
        self.nameserver = None
        self._setup()
        # A program that leaves its session behind to go on in the
        # background is adopted here when its parent exits, so that a case
        # can wait for it (wait_detached) and none outlives the case.
        _libc().prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
        self.notice_dir = "/usr/calyx/notices"
        os.makedirs(self.notice_dir, exist_ok=True)
        os.chmod(self.notice_dir, 0o1777)
        self.syslog = SyslogCatcher()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _mkdir(self, rel, mode=0o755):
        path = os.path.join(self.root, rel)
        os.makedirs(path, exist_ok=True)
        os.chmod(path, mode)
        return path

    def _sh(self, *argv):
        subprocess.run(list(argv), check=True)

    def _overlay(self, target):
        name = target.strip("/").replace("/", "_")
        upper = self._mkdir(f"overlay/{name}/upper")
        work = self._mkdir(f"overlay/{name}/work")
        self._sh("mount", "-t", "overlay", "overlay", "-o",
                 f"lowerdir={target},upperdir={upper},workdir={work}", target)

    def _private_dev(self):
        # A tmpfs over /dev holding only what programs need, so that /dev/log
        # can be created and nothing of the host's devices is in reach.
        old = self._mkdir("olddev")
        self._sh("mount", "--rbind", "/dev", old)
        self._sh("mount", "-t", "tmpfs", "-o", "mode=755,nosuid", "devtmp", "/dev")
        for node in ("null", "zero", "full", "tty", "urandom", "random"):
            path = "/dev/" + node
            open(path, "w").close()
            self._sh("mount", "--bind", os.path.join(old, node), path)
        os.makedirs("/dev/pts")
        r = subprocess.run(["mount", "-t", "devpts", "-o",
                            "newinstance,ptmxmode=0666,mode=0620", "devpts", "/dev/pts"],
                           stderr=subprocess.DEVNULL)
        if r.returncode != 0:
            self._sh("mount", "--bind", os.path.join(old, "pts"), "/dev/pts")
        os.symlink("pts/ptmx", "/dev/ptmx")
        os.makedirs("/dev/shm")
        os.chmod("/dev/shm", 0o1777)
        self._sh("mount", "-t", "tmpfs", "-o", "mode=1777", "shm", "/dev/shm")
        for fd, name in ((0, "stdin"), (1, "stdout"), (2, "stderr")):
            os.symlink(f"/proc/self/fd/{fd}", "/dev/" + name)
        os.symlink("/proc/self/fd", "/dev/fd")
        self._sh("umount", "-l", old)

    def _setup(self):
        self._sh("ip", "link", "set", "lo", "up")
        self._overlay("/etc")
        self._overlay("/usr")
        self._private_dev()
        self.write_file("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:2 attempts:1\n")
        # Host names come from the stand-in name server or BIND, not the host.
        self.write_file("/etc/hosts", "127.0.0.1 localhost\n")
        self.write_file("/etc/nsswitch.conf",
                        "passwd: files\ngroup: files\nshadow: files\nhosts: files dns\n"
                        "services: files\nprotocols: files\n")
        if os.path.lexists("/etc/calyx"):
            shutil.rmtree("/etc/calyx")
        os.makedirs("/usr/tmp", exist_ok=True)
        os.chmod("/usr/tmp", 0o1777)
        if os.path.lexists("/usr/tmp/.messages"):
            os.unlink("/usr/tmp/.messages")
        with open("/etc/services") as f:
            self._services_base = "".join(
                line for line in f if not re.match(r"bulletin\s", line))
        self.services({})

    # -- files ---------------------------------------------------------------

    def write_file(self, path, data, mode=0o644, uid=0, gid=0, mtime=None):
        if isinstance(data, str):
            data = data.encode()
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if os.path.lexists(path) and not os.path.isdir(path):
            os.unlink(path)
        with open(path, "wb") as f:
            f.write(data)
        os.chown(path, uid, gid)
        os.chmod(path, mode)
        if mtime is not None:
            os.utime(path, (mtime, mtime))
        return path

    def read_file(self, path):
        with open(path, "rb") as f:
            return f.read()

    def services(self, entries):
        """Rewrites /etc/services: the host's entries minus any "bulletin",
        plus entries {name: "port/proto"}."""
        extra = "".join(f"{name}\t\t{spec}\n" for name, spec in entries.items())
        self.write_file("/etc/services", self._services_base + extra)

    def nomicon_conf(self, text):
        """Writes /etc/calyx/nomicon.conf; None removes it."""
        if text is None:
            if os.path.lexists("/etc/calyx/nomicon.conf"):
                os.unlink("/etc/calyx/nomicon.conf")
            return
        self.write_file("/etc/calyx/nomicon.conf", text)

    # -- users ---------------------------------------------------------------

    def add_user(self, name, uid, gid=None, home=None, make_home=True, shell="/bin/sh"):
        """A user in /etc/passwd, /etc/group and /etc/shadow with its own
        group, a home in the sandbox (or the given path) and a login
        shell."""
        gid = uid if gid is None else gid
        if home is None:
            home = os.path.join(self.root, "home", name)
        if make_home and not os.path.isdir(home):
            os.makedirs(home)
            os.chown(home, uid, gid)
            os.chmod(home, 0o755)
        with open("/etc/passwd", "a") as f:
            f.write(f"{name}:x:{uid}:{gid}:{name}:{home}:{shell}\n")
        with open("/etc/group", "a") as f:
            f.write(f"{name}:x:{gid}:\n")
        with open("/etc/shadow", "a") as f:
            f.write(f"{name}:!:19000:0:99999:7:::\n")
        return User(name, uid, gid, home)

    # -- programs ------------------------------------------------------------

    def install(self, src, dest):
        """Copies a built program to its installed path, mode 0755."""
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copyfile(src, dest)
        os.chmod(dest, 0o755)
        return dest

    def install_debs(self, debs):
        """Installs Debian packages with dpkg as on a real machine, their
        maintainer scripts included. /var gets an overlay first, so the
        package database and what the scripts make there go with the
        sandbox."""
        if "/var" not in self._mounted:
            self._overlay("/var")
            self._mounted.append("/var")
        r = subprocess.run(["dpkg", "-i", *debs], capture_output=True, timeout=120,
                           env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        if r.returncode != 0:
            raise AssertionError("dpkg -i failed:\n" + (r.stdout + r.stderr).decode())

    def start_sshd(self, address="127.0.0.1"):
        """Starts the system's sshd on address:22 with its stock
        configuration and PAM stack, and returns the argument vector of an
        ssh client (host name not included) that logs in with a key every
        user added afterwards accepts (see authorize). Host keys are made
        when missing; /run is a fresh tmpfs, for the daemon's folder and the
        login records."""
        self._sh("mount", "-t", "tmpfs", "-o", "mode=755", "run", "/run")
        self._mounted.append("/run")
        os.makedirs("/run/sshd", mode=0o755)
        self._sh("ssh-keygen", "-A")
        self.client_key = os.path.join(self.root, "client_key")
        self._sh("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.client_key)
        log = open(os.path.join(self.root, "sshd.log"), "wb")
        # The sandbox's homes lie under /tmp, which the strict checks of
        # the home's path would refuse.
        self._sshd = subprocess.Popen(
            ["/usr/sbin/sshd", "-D", "-e", "-o", f"ListenAddress={address}:22",
             "-o", "StrictModes=no"],
            stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        log.close()
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection((address, 22), timeout=1).close()
                break
            except OSError:
                if self._sshd.poll() is not None or time.monotonic() > deadline:
                    raise AssertionError("sshd did not start:\n" + self.read_file(
                        os.path.join(self.root, "sshd.log")).decode(errors="replace"))
                time.sleep(0.05)
        return ["ssh", "-F", "/dev/null", "-i", self.client_key,
                "-o", "UserKnownHostsFile=/dev/null", "-o", "StrictHostKeyChecking=no",
                "-o", "LogLevel=ERROR", "-o", "BatchMode=yes"]

    def authorize(self, user):
        """Lets the key of start_sshd's client log in as user."""
        with open(self.client_key + ".pub", "rb") as f:
            key = f.read()
        path = os.path.join(user.home, ".ssh", "authorized_keys")
        self.write_file(path, key, mode=0o600, uid=user.uid, gid=user.gid)
        os.chown(os.path.dirname(path), user.uid, user.gid)

    def install_notice(self, recorder, status=0, path="/usr/calyx/bin/vwrite"):
        """Installs the notice stand-in (the recorder program) at path. Each
        start of it is kept in /usr/calyx/notices (see notices()) and exits
        with `status`."""
        self.install(recorder, path)
        self.write_file("/usr/calyx/bin/vwrite.status", f"{status}\n")

    def notices(self):
        """Every start of the notice stand-in so far, in order."""
        out = []
        for name in sorted(os.listdir(self.notice_dir), key=int):
            data = self.read_file(os.path.join(self.notice_dir, name))
            count, _, rest = data.partition(b"\n")
            items = rest.split(b"\0")[:-1]
            argc = int(count)
            env = {}
            for item in items[argc:]:
                k, _, v = item.partition(b"=")
                env[k.decode(errors="replace")] = v.decode(errors="replace")
            out.append(Notice(argv=items[:argc], env=env))
        return out

    # -- servers -------------------------------------------------------------

    def start_nameserver(self, txt=None, hosts=None):
        self.nameserver = StubNameServer(txt, hosts)
        self._servers.append(self.nameserver)
        return self.nameserver

    def start_bulletin_server(self, reply, address="127.0.0.1", port=0):
        server = StubBulletinServer(reply, address=address, port=port)
        self._servers.append(server)
        return server

    def start_bind(self, hs_records, origin="nomicon.test", in_records=None,
                   in_origin="hosts.test", declare_root=False, timeout=10,
                   views=None, address="127.0.0.1"):
        """Starts BIND 9 on address:53 serving the HS zone `origin` (and,
        when in_records is given, the IN zone `in_origin` for host
        addresses), each in a view of its class. Records are tuples
        (owner, type, zone-file data). `views` (configuration text) replaces
        those views; hs_records are then not written. Returns once it
        answers a question for `origin` in class HS."""
        folder = self._mkdir(f"bind{len(self._bind)}")
        if address != "127.0.0.1":
            # named listens only on addresses that an interface holds.
            self._sh("ip", "addr", "add", address + "/32", "dev", "lo")
        with open(os.path.join(folder, "hs.zone"), "w") as f:
            f.write(zone_text(origin, hs_records, "HS"))
        # BIND serves class HS only inside a view of class HS; once one view
        # exists, every zone has to be in a view.
        views = [views] if views is not None else [f'view "hs" HS {{\n  match-clients {{ any; }};\n'
                 f'  zone "{origin}" HS {{ type primary; file "hs.zone"; }};\n'
                 + ('  zone "." HS { type primary; file "root.zone"; };\n' if declare_root else "")
                 + "};\n"]
        if declare_root:
            with open(os.path.join(folder, "root.zone"), "w") as f:
                f.write(zone_text(".", [], "HS"))
        if in_records is not None:
            with open(os.path.join(folder, "in.zone"), "w") as f:
                f.write(zone_text(in_origin, in_records, "IN"))
            views.append(f'view "in" IN {{\n  match-clients {{ any; }};\n'
                         f'  zone "{in_origin}" IN {{ type primary; file "in.zone"; }};\n}};\n')
        conf = (
            "options {\n"
            f'  directory "{folder}";\n'
            f'  pid-file "{folder}/named.pid";\n'
            f"  listen-on port 53 {{ {address}; }};\n"
            # A secondary asks its primary from its own address, which the
            # primary's allow-transfer names.
            f"  transfer-source {address};\n"
            "  listen-on-v6 { none; };\n"
            "  recursion no;\n"
            "  dnssec-validation no;\n"
            "  session-keyfile none;\n"
            "  notify no;\n"
            "};\n"
            "controls { };\n" + "".join(views))
        conf_path = os.path.join(folder, "named.conf")
        with open(conf_path, "w") as f:
            f.write(conf)
        log_path = os.path.join(folder, "named.log")
        log = open(log_path, "wb")
        proc = subprocess.Popen(["named", "-g", "-n", "1", "-4", "-c", conf_path],
                                stdout=log, stderr=subprocess.STDOUT, cwd=folder)
        log.close()
        bind = Bind(proc, folder, log_path)
        self._bind.append(bind)
        probe = struct.pack("!HHHHHH", 0x4242, 0, 1, 0, 0, 0) + encode_name(origin) + \
            struct.pack("!HH", 6, CLASS_HS)
        deadline = time.monotonic() + timeout
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            while time.monotonic() < deadline:
                if proc.poll() is not None:
                    raise AssertionError("named exited at start:\n" + bind.log())
                s.sendto(probe, (address, 53))
                r, _, _ = select.select([s], [], [], 0.1)
                if r:
                    data = s.recv(4096)
                    if len(data) >= 12 and data[:2] == probe[:2] and (data[3] & 0xF) == 0:
                        bind.ready_after = timeout - (deadline - time.monotonic())
                        break
            else:
                bind.stop()
                raise AssertionError("named did not answer within %s s:\n%s"
                                     % (timeout, bind.log()))
            # Every zone must have loaded, not only the one probed.
            while "running" not in bind.log() and time.monotonic() < deadline:
                time.sleep(0.02)
            if "not loaded due to errors" in bind.log() or "running" not in bind.log():
                bind.stop()
                raise AssertionError("named did not load every zone:\n" + bind.log())
            return bind
        finally:
            s.close()

    def start_systemd_resolved(self, root, dns="127.0.0.1", timeout=10):
        """Runs systemd-resolved from an unpacked package root (see
        unpacked_debs) without systemd or D-Bus, forwarding to `dns`, its
        stub on 127.0.0.53:53 as /etc/resolv.conf names it on a machine
        that uses it. Returns once the stub answers."""
        # It drops to this user and makes /run/systemd/resolve its own.
        with open("/etc/passwd", "a") as f:
            f.write("systemd-resolve:x:990:990::/:/usr/sbin/nologin\n")
        with open("/etc/group", "a") as f:
            f.write("systemd-resolve:x:990:\n")
        self._sh("mount", "-t", "tmpfs", "-o", "mode=755", "run", "/run")
        self._mounted.append("/run")
        os.makedirs("/run/systemd")
        self.write_file("/etc/systemd/resolved.conf",
                        f"[Resolve]\nDNS={dns}\nLLMNR=no\nMulticastDNS=no\nDNSSEC=no\n")
        self.write_file("/etc/resolv.conf", "nameserver 127.0.0.53\noptions timeout:2 attempts:1\n")
        log = open(os.path.join(self.root, "resolved.log"), "wb")
        env = {"LD_LIBRARY_PATH": root + "/usr/lib/x86_64-linux-gnu/systemd",
               "SYSTEMD_LOG_TARGET": "console", "PATH": "/usr/bin:/bin"}
        proc = subprocess.Popen([root + "/lib/systemd/systemd-resolved"], env=env,
                                stdout=log, stderr=subprocess.STDOUT)
        log.close()
        self._bind.append(Bind(proc, self.root, log.name))
        probe = struct.pack("!HHHHHH", 0x4343, 0x0100, 1, 0, 0, 0) + encode_name("localhost") + \
            struct.pack("!HH", TYPE_A, CLASS_IN)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline and proc.poll() is None:
                s.sendto(probe, ("127.0.0.53", 53))
                if select.select([s], [], [], 0.1)[0] and s.recv(512)[:2] == probe[:2]:
                    return proc
        raise AssertionError("systemd-resolved did not answer:\n" + self._bind[-1].log())

    # -- running programs ----------------------------------------------------

    def sanitizer_reports(self):
        out = []
        for name in sorted(os.listdir(self.sanitizer_dir)):
            path = os.path.join(self.sanitizer_dir, name)
            out.append(f"--- {name}\n" + self.read_file(path).decode(errors="replace"))
        return out

    def run(self, argv, user=None, umask=0o022, env=None, argv0=None, stdin=b"",
            timeout=30, tty=False, cwd=None, expect_timeout=False, fsize_limit=None,
            leak_check=True, interrupt_when=None):
        """Runs argv[0] with argv (argv0 replaces what the program sees as
        its argv[0]). user: a User (default root). env: the whole
        environment (a small default when None; sanitizer settings are
        always added). tty: stdout is a pseudo-terminal without output
        processing. fsize_limit: RLIMIT_FSIZE in bytes, with SIGXFSZ ignored
        so that writes past it fail with EFBIG. leak_check=False turns the
        leak checker off (it can't run under ptrace). interrupt_when: a
        function polled while the program runs; the first time it returns
        true, SIGINT goes to the program's whole process group, as a
        terminal's ^C would (the program leads a session of its own).
        Fails on any sanitizer report."""
        if env is None:
            env = {"PATH": "/usr/local/bin:/usr/bin:/bin"}
        env = dict(env)
        if user is not None:
            env.setdefault("HOME", user.home)
            env.setdefault("USER", user.name)
        san = os.path.join(self.sanitizer_dir, "report")
        leaks = 1 if leak_check else 0
        env["ASAN_OPTIONS"] = (f"halt_on_error=1:abort_on_error=0:detect_leaks={leaks}:"
                               f"log_path={san}")
        env["UBSAN_OPTIONS"] = (f"halt_on_error=1:abort_on_error=0:print_stacktrace=1:"
                                f"log_path={san}")
        env["LSAN_OPTIONS"] = f"log_path={san}"
        args = list(argv)
        if argv0 is not None:
            args[0] = argv0
        log_start = self.syslog.count()
        notices_before = len(os.listdir(self.notice_dir))
        master = slave = None
        if tty:
            master, slave = pty.openpty()
            attrs = termios.tcgetattr(slave)
            attrs[1] &= ~termios.OPOST      # bytes as written, no LF -> CRLF
            attrs[3] &= ~termios.ECHO
            termios.tcsetattr(slave, termios.TCSANOW, attrs)
        kwargs = {}
        if fsize_limit is not None:
            def limit():
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (fsize_limit, fsize_limit))
            kwargs["preexec_fn"] = limit
        if user is not None:
            kwargs.update(user=user.uid, group=user.gid, extra_groups=[])
        if interrupt_when is not None:
            kwargs["start_new_session"] = True
        start = time.monotonic()
        proc = subprocess.Popen(
            args, executable=argv[0], env=env, umask=umask, cwd=cwd or self.scratch,
            stdin=subprocess.PIPE, stdout=slave if tty else subprocess.PIPE,
            stderr=subprocess.PIPE, **kwargs)
        tty_out = bytearray()
        reader = None
        if tty:
            os.close(slave)

            def drain():
                while True:
                    try:
                        chunk = os.read(master, 4096)
                    except OSError:
                        return
                    if not chunk:
                        return
                    tty_out.extend(chunk)
            reader = threading.Thread(target=drain, daemon=True)
            reader.start()
        interrupter = None
        if interrupt_when is not None:
            def interrupt():
                while proc.returncode is None and not interrupt_when():
                    time.sleep(0.01)
                try:
                    os.killpg(proc.pid, signal.SIGINT)
                except ProcessLookupError:
                    pass
            interrupter = threading.Thread(target=interrupt, daemon=True)
            interrupter.start()
        timed_out = False
        try:
            out, err = proc.communicate(stdin, timeout=timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            proc.kill()
            out, err = proc.communicate()
        elapsed = time.monotonic() - start
        if interrupter is not None:
            interrupter.join(5)
        if tty:
            reader.join(5)
            os.close(master)
            out = bytes(tty_out)
        if timed_out and not expect_timeout:
            raise AssertionError(f"{args} did not finish within {timeout} s; "
                                 f"stderr={err!r}")
        reports = self.sanitizer_reports()
        if reports:
            raise SanitizerReport("sanitizer report from %r:\n%s" % (args, "\n".join(reports)))
        log = self.syslog.lines(log_start)
        notices = self.notices()[notices_before:]
        return Result(status=proc.returncode, stdout=out, stderr=err, log=log,
                      notices=notices, elapsed=elapsed, pid=proc.pid)

    def wait_detached(self, pid, timeout=30):
        """Waits for a process that a program run here left running in a
        session of its own, and returns its exit status; fails when it is
        still running after timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            if time.monotonic() > deadline:
                raise AssertionError(f"detached process {pid} still runs after {timeout} s")
            time.sleep(0.02)

    def _adopted(self):
        """Children of this process in other sessions: programs' detached
        helpers that it adopted."""
        out = []
        me, session = os.getpid(), os.getsid(0)
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                with open(f"/proc/{name}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == me and int(fields[3]) != session:
                out.append(int(name))
        return out

    def close(self):
        for pid in self._adopted():
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except OSError:
                pass
        for bind in self._bind:
            bind.stop()
        for server in self._servers:
            server.close()
        if self._sshd is not None:
            self._sshd.terminate()
            self._sshd.wait(10)
        self.syslog.close()
        if not self.keep:
            for target in self._mounted:
                subprocess.run(["umount", "-l", target], stderr=subprocess.DEVNULL)
            shutil.rmtree(self.root, ignore_errors=True)


def file_state(path):
    """(bytes, mode bits, atime, mtime, uid) of a file, or None when absent;
    a symbolic link is not followed."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    data = None
    if os.path.isfile(path) and not os.path.islink(path):
        with open(path, "rb") as f:
            data = f.read()
    return dict(data=data, mode=st.st_mode & 0o7777, atime=st.st_atime,
                mtime=st.st_mtime, uid=st.st_uid, is_link=os.path.islink(path))


def run_cases(cases, names=None, jobs=4, timeout=120):
    """Runs each case (a function of a Sandbox) in its own namespaces, up to
    jobs at a time; prints a line per case and returns the exit status for
    the whole run (0 all passed, 1 some failed)."""
    require_namespaces()
    selected = [(n, f) for n, f in cases if not names or n in names]
    if names:
        unknown = set(names) - {n for n, _ in cases}
        if unknown:
            print("unknown cases:", ", ".join(sorted(unknown)))
            return 1
    if not selected:
        # A group name that matches nothing (a typo in a registration, a
        # group renamed) would otherwise pass without running anything.
        print("FAIL: no cases selected")
        return 1
    failed = []
    pending = list(selected)
    running = {}
    results = {}
    # Children are forked from this one thread only: forking while other
    # threads hold locks would leave those locks held in the child.
    while pending or running:
        while pending and len(running) < jobs:
            name, fn = pending.pop(0)
            running[name] = _spawn_isolated(fn, (), {}, timeout)
        for name in list(running):
            r = _poll_isolated(running[name])
            if r is not None:
                del running[name]
                results[name] = dict(ok=r[0], text=r[1])
        time.sleep(0.02)
    for name, _ in selected:
        r = results[name]
        print(("ok    " if r["ok"] else "FAIL  ") + name)
        if not r["ok"]:
            failed.append(name)
            print("    " + r["text"].replace("\n", "\n    "))
    print(f"{len(selected) - len(failed)}/{len(selected)} cases passed")
    return 1 if failed else 0
