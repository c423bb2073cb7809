#!/usr/bin/python3
"""The bulletin client under faults and load, end to end, in private
namespaces: full and read-only file systems, an unwritable fallback
directory, a name server that refuses, vanishes or stays silent, a bulletin
server that sends garbage or too much, fifty users at once sharing one
fallback file, and a thousand runs in a row against the reference server.

  faults_e2e.py --bulfetch PATH --bulserve PATH [--group G] [case ...]

Every case holds the same promise: the run ends, with status 0, and either
shows a whole bulletin or logs why it did not; nothing it writes leaves the
fallback file or the seen-stamp file worse than the failure itself forces.
"""

import argparse
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import sandbox as S  # noqa: E402

T = unittest.TestCase()
T.maxDiff = None
ARGS = None

FALLBACK = "/usr/tmp/.messages"
INSTALLED = "/usr/local/bin/bulfetch"
DOMAIN = ".faults.test"
SLOC = "bulletin.sloc.ns.faults.test"
SERVICE = "bulletin.service.ns.faults.test"
HOST = "bulletin.faults.test"
ADDR = "127.0.0.3"
STARTED = "BUL client started..."
ENV = {"PATH": "/usr/local/bin:/usr/bin:/bin"}

GOOD = b"BUL:0 1700000000\nSite bulletin: all systems up.\n"
OLD = b"BUL:0 1600000000\nAn older cached bulletin.\n"


def figure(text):
    """A measured figure: printed by the main process after the cases run
    (a passing case's own output is not shown)."""
    with open(ARGS.figures, "a") as f:
        f.write(text + "\n")


def body(record):
    return record[record.index(b"\n") + 1:]


def header(record):
    return record[:record.index(b"\n") + 1]


def free_udp_port(address=ADDR):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((address, 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Site:
    """One server listed by the name service, its port in /etc/services,
    user alice with a home of her own."""

    def __init__(self, sb, reply=GOOD, txt=None, port_source="services", bulletin_server=True):
        self.sb = sb
        sb.nomicon_conf("lhs .ns\nrhs " + DOMAIN + "\n")
        sb.install(ARGS.bulfetch, INSTALLED)
        self.alice = sb.add_user("alice", 2100)
        if bulletin_server:
            self.server = sb.start_bulletin_server(reply, address=ADDR)
            self.port = self.server.port
        else:
            self.server, self.port = None, free_udp_port()
        records = {SLOC: [HOST]}
        if port_source == "services":
            sb.services({"bulletin": f"{self.port}/udp"})
        else:
            records[SERVICE] = [f"bulletin udp {self.port}"]
        records.update(txt or {})
        self.ns = sb.start_nameserver(txt=records, hosts={HOST: ADDR})

    def run(self, *args, user=None, timeout=30, **kw):
        return self.sb.run([INSTALLED] + list(args), user=user or self.alice,
                           argv0="bulfetch", env=dict(ENV), timeout=timeout, **kw)


def expect(res, stdout=b"", log=()):
    """Status 0, nothing on standard error, the output and the log lines
    after the start line, in order."""
    T.assertEqual((res.status, res.stderr, res.stdout, res.log_texts()),
                  (0, b"", stdout, [STARTED] + list(log)))


def mount(*argv):
    subprocess.run(["mount"] + list(argv), check=True)


def fill(directory):
    """Fills the file system of directory until it refuses another byte."""
    fd = os.open(os.path.join(directory, "filler"), os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    try:
        for size in (65536, 4096, 1):
            try:
                while True:
                    os.write(fd, b"\0" * size)
            except OSError:
                pass
    finally:
        os.close(fd)


# ---------------------------------------------------------------------------
# File systems

def case_full_disk(sb):
    """/usr/tmp on a small tmpfs that is full. The user sees the bulletin in
    every run; the failed write is logged with the system's text."""
    site = Site(sb)
    mount("-t", "tmpfs", "-o", "size=64k,mode=1777", "fulltmp", "/usr/tmp")
    fill("/usr/tmp")

    # No cached copy: the create works (inodes are left), the write does not.
    res = site.run()
    expect(res, stdout=body(GOOD), log=["BUL put failed, No space left on device"])
    T.assertEqual(S.file_state(site.alice.home + "/.message_times")["data"], header(GOOD))
    left = S.file_state(FALLBACK)
    T.assertEqual(left["data"], b"", "created, then the write found no room")

    # The server goes away: the empty copy is refused, not shown as a bulletin.
    site.server.reply = None
    site.server.close()
    res = site.run(timeout=30)
    T.assertEqual((res.status, res.stdout), (0, b""))
    T.assertEqual(res.log_texts()[-1], "BUL not showing.")

    # A cached copy that already holds blocks is rewritten in place: a
    # bulletin of the same size fits the freed space.
    os.unlink(FALLBACK)
    os.unlink("/usr/tmp/filler")
    sb.write_file(FALLBACK, OLD, mode=0o666)
    fill("/usr/tmp")
    site.server = sb.start_bulletin_server(GOOD, address=ADDR, port=site.port)
    res = site.run()
    expect(res, stdout=body(GOOD))
    T.assertEqual(S.file_state(FALLBACK)["data"], GOOD)


def case_read_only_file_systems(sb):
    """A read-only home: shown every time, nothing recorded, nothing logged.
    A read-only /usr/tmp: shown, the failed write logged once."""
    site = Site(sb)
    mount("--bind", site.alice.home, site.alice.home)
    mount("-o", "remount,bind,ro", site.alice.home)
    for _ in range(2):
        res = site.run("-n")
        expect(res, stdout=body(GOOD))
    T.assertIsNone(S.file_state(site.alice.home + "/.message_times"))
    T.assertEqual(S.file_state(FALLBACK)["data"], GOOD)

    sb.write_file(FALLBACK, OLD, mode=0o666, mtime=5000)
    mount("--bind", "/usr/tmp", "/usr/tmp")
    mount("-o", "remount,bind,ro", "/usr/tmp")
    res = site.run("-l")
    expect(res, stdout=body(GOOD), log=["BUL put failed, Read-only file system"])
    f = S.file_state(FALLBACK)
    T.assertEqual((f["data"], f["mtime"]), (OLD, 5000))

    # Both the server and the writes gone: the cached copy still serves.
    site.server.close()
    site.server = None
    sb.services({})
    res = site.run()
    expect(res, stdout=body(OLD), log=["BUL get server failed, Unknown code bul 3"])


def case_unwritable_fallback_directory(sb):
    """/usr/tmp owned by root, mode 0755: no copy can be created by a user,
    an existing copy of mode 0666 can still be rewritten."""
    site = Site(sb)
    os.chmod("/usr/tmp", 0o755)
    res = site.run()
    expect(res, stdout=body(GOOD), log=["BUL put failed, Permission denied"])
    T.assertIsNone(S.file_state(FALLBACK))

    sb.write_file(FALLBACK, OLD, mode=0o666)
    res = site.run()
    expect(res, stdout=body(GOOD))
    f = S.file_state(FALLBACK)
    T.assertEqual((f["data"], f["mode"]), (GOOD, 0o666))

    # Neither a server nor a readable copy: one "losing" line, no output.
    os.chmod(FALLBACK, 0o600)
    site.server.close()
    sb.services({})
    res = site.run()
    expect(res, log=["BUL get server failed, Unknown code bul 3",
                     "BUL put failed, Permission denied", "BUL losing: Permission denied"])


# ---------------------------------------------------------------------------
# Name server

def case_name_server_refuses(sb):
    """A server that answers REFUSED, one that answers SERVFAIL, and no name
    server at all (port unreachable): each fails fast to the cached copy."""
    site = Site(sb)
    sb.write_file(FALLBACK, OLD, mode=0o666)
    # The resolver asks again on each of its three tries, without waiting
    # out the retransmission interval, and reports the refusal as a
    # network problem.
    for rcode in (S.REFUSED, S.SERVFAIL):
        site.ns.txt[SLOC] = rcode
        asked = len(site.ns.queries)
        res = site.run()
        expect(res, stdout=body(OLD), log=["BUL get server failed, Nomicon network problem"])
        T.assertEqual(len(site.ns.queries) - asked, 3, rcode)
        T.assertLess(res.elapsed, 2.0, "a refusal is not waited out")
    site.ns.close()
    res = site.run()
    expect(res, stdout=body(OLD), log=["BUL get server failed, Nomicon network problem"])
    T.assertLess(res.elapsed, 2.0, "an unreachable port is not waited out")


def case_service_port_then_failures(sb):
    """The port comes from the name service and a later step fails: the
    host is unknown, then nothing listens at the port. Each run falls back
    to the cached copy at once and leaves nothing behind it (in the
    instrumented build, a leak report fails the run)."""
    site = Site(sb, port_source="nomicon", bulletin_server=False)
    sb.write_file(FALLBACK, OLD, mode=0o666)
    site.ns.hosts.clear()
    res = site.run()
    expect(res, stdout=body(OLD), log=["BUL get server failed, No such host is known"])
    site.ns.hosts[HOST] = ADDR
    res = site.run()
    expect(res, stdout=body(OLD), log=["BUL get server failed, Connection refused"])
    T.assertEqual(S.file_state(FALLBACK)["data"], OLD)


def case_silent_name_server(sb):
    """Slow. A name server that never answers: the sloc lookup takes the
    resolver's whole budget with the built-in tuning (3 tries, 4 seconds
    each, one server) and the run then shows the cached copy."""
    site = Site(sb)
    sb.write_file(FALLBACK, OLD, mode=0o666)
    site.ns.txt[SLOC] = S.SILENT
    res = site.run(timeout=60)
    expect(res, stdout=body(OLD), log=["BUL get server failed, Nomicon network problem"])
    figure(f"silent name server: run took {res.elapsed:.2f} s, "
          f"{len(site.ns.queries)} queries")
    T.assertEqual(len(site.ns.queries), 3, "three tries")
    T.assertGreater(res.elapsed, 11.5)
    T.assertLess(res.elapsed, 14.0)


class LateNameServer(S.StubNameServer):
    """Drops the first `drop` copies of every question and answers the next;
    questions of type A are never answered."""

    def __init__(self, drop, **kw):
        self.drop, self.seen = drop, {}
        super().__init__(**kw)

    def answer(self, msg):
        q = S.parse_question(msg)
        if q is None:
            return None
        key = (q[2].lower(), q[3], q[4])
        self.seen[key] = self.seen.get(key, 0) + 1
        if q[3] == S.TYPE_A or self.seen[key] <= self.drop:
            with self._lock:
                self.queries.append(S.Query(q[2], q[3], q[4], bool(q[1] & 0x0100)))
            return None
        return super().answer(msg)


def case_slow_lookup_chain(sb):
    """Slow. The longest wait through the name service short of the reply
    wait: the sloc and service lookups each answered at the last try, then
    a host lookup that is never answered, with the resolver's own defaults
    (5 seconds, 2 tries). 8 + 8 + 10 seconds, then the cached copy."""
    site = Site(sb, port_source="nomicon")
    site.ns.close()
    records = {SLOC: [HOST], SERVICE: [f"bulletin udp {site.port}"]}
    site.ns = LateNameServer(2, txt=records, hosts={HOST: ADDR})
    sb._servers.append(site.ns)
    sb.write_file("/etc/resolv.conf", "nameserver 127.0.0.1\n")
    sb.write_file(FALLBACK, OLD, mode=0o666)
    res = site.run(timeout=90)
    T.assertEqual((res.status, res.stdout), (0, body(OLD)))
    T.assertEqual(len(res.log_texts()), 2, res.log_texts())
    figure(f"late name server and silent host lookup: run took {res.elapsed:.2f} s")
    kinds = [(q.qtype, q.qclass) for q in site.ns.queries]
    T.assertEqual(kinds.count((S.TYPE_TXT, S.CLASS_HS)), 6, kinds)
    T.assertGreater(res.elapsed, 25.0)
    T.assertLess(res.elapsed, 29.0)
    T.assertEqual(site.server.requests, [], "no request without an address")


# ---------------------------------------------------------------------------
# Bulletin server

def garbage_replies():
    noise = bytes((i * 167 + 13) % 256 for i in range(2047))
    return [
        ("binary noise", noise),
        ("magic without a line end", b"BUL:0 1700000009 " + b"x" * 300),
        ("NUL before the line end", b"BUL:0 1700000009\0\nhidden\n"),
        ("line end at offset 5", b"BUL:0\n12 body\n"),
        ("huge stamp", b"BUL:0 99999999999999999999999\nstamp out of range\n"),
        ("wrong magic", b"BUL:1 1700000009\nnot ours\n"),
        ("64 KiB datagram", b"BUL:0 1700000010\n" + b"y" * 65000),
    ]


def case_garbage_from_server(sb):
    """Whatever one datagram holds, the run ends with status 0 and either a
    body taken from the first LF on or "BUL not showing."; at most 2047
    bytes are kept."""
    site = Site(sb)
    for label, reply in garbage_replies():
        site.server.reply = reply
        res = site.run()
        kept = reply[:2047]
        text = kept.split(b"\0", 1)[0]
        T.assertEqual((res.status, res.stderr), (0, b""), label)
        if text.startswith(b"BUL:0") and b"\n" in text:
            T.assertEqual(res.stdout, text[text.index(b"\n") + 1:], label)
            T.assertEqual(res.log_texts(), [STARTED], label)
        else:
            T.assertEqual((res.stdout, res.log_texts()), (b"", [STARTED, "BUL not showing."]),
                          label)
        f = S.file_state(FALLBACK)
        if f is not None:
            T.assertLessEqual(len(f["data"]), 2047, label)


class FloodServer(S.StubBulletinServer):
    """Answers each request with `reply`, then 199 more datagrams."""

    def _loop(self):
        while True:
            try:
                msg, peer = self.sock.recvfrom(65536)
                self.requests.append(msg)
                self.sock.sendto(self.reply, peer)
                for i in range(199):
                    self.sock.sendto(b"BUL:0 1700000002\nflood %d\n" % i, peer)
            except OSError:
                return


def case_flood_from_server(sb):
    """A server that answers one request with 200 datagrams: the run takes
    the first and is done at once; the next run (a new socket) is not
    confused by the rest."""
    site = Site(sb)
    site.server.close()
    site.server = FloodServer(b"BUL:0 1700000001\nfirst\n", address=ADDR, port=site.port)
    sb._servers.append(site.server)
    for _ in range(3):
        res = site.run()
        expect(res, stdout=b"first\n")
        T.assertLess(res.elapsed, 2.0)
    T.assertEqual(len(site.server.requests), 3)


# ---------------------------------------------------------------------------
# Load

def sandbox_env(sb, extra=None):
    """The environment sb.run gives a program, for programs started here
    several at a time."""
    san = os.path.join(sb.sanitizer_dir, "report")
    env = dict(ENV, ASAN_OPTIONS=f"halt_on_error=1:abort_on_error=0:log_path={san}",
               UBSAN_OPTIONS=f"halt_on_error=1:abort_on_error=0:print_stacktrace=1:log_path={san}",
               LSAN_OPTIONS=f"log_path={san}")
    env.update(extra or {})
    return env


def case_fifty_users_at_once(sb):
    """Fifty runs started together, each by a user of its own, sharing one
    fallback file. Thirty get an answer (two bulletins alternate, so writers
    race); twenty are pointed at a domain without servers and read the
    shared copy while it is being rewritten. Every run shows a whole
    bulletin or logs a refusal; the file ends as one whole bulletin."""
    first = b"BUL:0 1700000100\nFirst of two bulletins.\n" + b"a" * 300 + b"\n"
    second = b"BUL:0 1700000200\nSecond of two bulletins.\n" + b"b" * 900 + b"\n"
    count = [0]

    def reply(request):
        count[0] += 1
        return first if count[0] % 2 else second
    site = Site(sb, reply=reply)
    sb.write_file(FALLBACK, OLD, mode=0o666)
    users = [sb.add_user(f"user{i:02d}", 3000 + i) for i in range(50)]
    valid = {body(first), body(second), body(OLD)}
    procs = []
    for i, user in enumerate(users):
        extra = {"NOM_DOMAIN": ".nowhere.test"} if i % 5 in (1, 3) else None
        procs.append(subprocess.Popen(
            [INSTALLED], executable=INSTALLED, env=sandbox_env(sb, extra),
            user=user.uid, group=user.gid, extra_groups=[], umask=0o022, cwd=sb.scratch,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE))
    results = []
    for p in procs:
        out, err = p.communicate(timeout=60)
        results.append((p.pid, p.returncode, out, err))
    T.assertEqual(sb.sanitizer_reports(), [])
    lines = sb.syslog.lines()
    shown = refused = 0
    for (pid, status, out, err), user in zip(results, users):
        texts = [line.text for line in lines if line.pid == pid]
        T.assertEqual((status, err), (0, b""), (user.name, texts))
        T.assertEqual(texts[0], STARTED)
        if out:
            T.assertTrue(out in valid, f"{user.name} was shown a bulletin no server sent "
                         f"({len(out)} bytes, ends {out[-20:]!r}); {texts}")
            shown += 1
            seen = S.file_state(user.home + "/.message_times")["data"]
            T.assertTrue(seen.startswith(b"BUL:0") and seen.endswith(b"\n"), seen)
        else:
            T.assertTrue(texts[-1] == "BUL not showing." or texts[-1].startswith("BUL losing: "),
                         (user.name, texts))
            refused += 1
    final = S.file_state(FALLBACK)
    # Two writers of different lengths that truncate and then write through
    # descriptors of their own can leave the shorter record followed by the
    # tail of the longer one: a whole-looking bulletin with a foreign body,
    # served to every later run that falls back to the file.
    T.assertTrue(final["data"] in (first, second),
               f"torn fallback file: {len(final['data'])} bytes, "
               f"begins {final['data'][:17]!r}, ends {final['data'][-20:]!r}")
    T.assertEqual(final["mode"], 0o666)
    T.assertEqual(count[0], 30)
    figure(f"fifty users at once: {shown} shown, {refused} refused, "
          f"fallback file ends as the {'first' if final['data'] == first else 'second'} bulletin")


def start_bulserve(sb, path, stamp=None):
    port = free_udp_port()
    # Started as an ordinary user, who may not reach the build tree (a clone
    # in a directory only root may enter): run from the sandbox's /usr.
    server = sb.install(ARGS.bulserve, "/usr/local/sbin/bulserve")
    argv = [server, "-a", ADDR, "-p", str(port)]
    if stamp is not None:
        argv += ["-s", str(stamp)]
    env = sandbox_env(sb)
    # The server is stopped by a signal inside the namespace, where the leak
    # checker of a sanitizer build has been seen to stall at exit for good;
    # its leaks are checked by its own tests, and every report it makes
    # otherwise still fails the run.
    env["ASAN_OPTIONS"] += ":detect_leaks=0"
    proc = subprocess.Popen(argv + [path], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            user=65534, group=65534, extra_groups=[])
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.1)
    deadline = time.monotonic() + 10
    try:
        while time.monotonic() < deadline:
            T.assertIsNone(proc.poll(), "bulserve exited at start")
            s.sendto(b"BUL:0", (ADDR, port))
            try:
                s.recv(4096)
                return proc, port
            except socket.timeout:
                continue
    finally:
        s.close()
    raise AssertionError("bulserve did not answer")


def case_thousand_runs_against_bulserve(sb):
    """A thousand runs in a row against the reference server: every run
    receives the bulletin from the server and shows it; halfway through the
    bulletin changes and the next run shows the new one."""
    sb.nomicon_conf("lhs .ns\nrhs " + DOMAIN + "\n")
    sb.install(ARGS.bulfetch, INSTALLED)
    alice = sb.add_user("alice", 2100)
    # Published bulletins: the stamps travel in the file.
    text = sb.write_file(os.path.join(sb.root, "bulletin.txt"),
                         b"BUL:0 1700000000\nThousand-run bulletin.\n", mode=0o644)
    proc, port = start_bulserve(sb, text)
    try:
        sb.services({"bulletin": f"{port}/udp"})
        sb.start_nameserver(txt={SLOC: [HOST]}, hosts={HOST: ADDR})
        env = sandbox_env(sb)
        expected = b"Thousand-run bulletin.\n"
        start = time.monotonic()
        failures = []
        for i in range(1000):
            if i == 500:
                sb.write_file(text, b"BUL:0 1700000500\nChanged halfway.\n", mode=0o644)
                expected = b"Changed halfway.\n"
            p = subprocess.run([INSTALLED], executable=INSTALLED, env=env, user=alice.uid,
                               group=alice.gid, extra_groups=[], cwd=sb.scratch,
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
            if (p.returncode, p.stdout, p.stderr) != (0, expected, b""):
                failures.append((i, p.returncode, p.stdout, p.stderr))
        elapsed = time.monotonic() - start
        T.assertEqual(failures[:5], [])
        T.assertEqual(sb.sanitizer_reports(), [])
        texts = [line.text for line in sb.syslog.lines() if line.ident == INSTALLED]
        T.assertEqual(texts.count(STARTED), 1000)
        T.assertEqual([t for t in texts if t != STARTED], [],
                      "every run got its answer from the server")
        T.assertEqual(S.file_state(FALLBACK)["data"], b"BUL:0 1700000500\nChanged halfway.\n")
        T.assertEqual(S.file_state(alice.home + "/.message_times")["data"], b"BUL:0 1700000500\n")
        figure(f"1000 runs against bulserve: {elapsed:.2f} s, {elapsed:.2f} ms per run")
    finally:
        proc.terminate()
        proc.wait(5)


def case_harness_catches_sanitizer_reports(sb):
    """In an instrumented build: the programs under test carry the
    sanitizers' checks, and a report from a program the harness runs fails
    the run even when the program exits 0."""
    for program in (ARGS.bulfetch, ARGS.bulserve):
        data = sb.read_file(program)
        T.assertIn(b"__asan_report_load", data, program)
        T.assertIn(b"__ubsan_handle_", data, program)
    res = sb.run([ARGS.probe])
    T.assertEqual((res.status, res.stdout), (0, b"1\n"))
    with T.assertRaises(S.SanitizerReport) as caught:
        sb.run([ARGS.probe, "past-the-end"])
    T.assertIn("heap-buffer-overflow", str(caught.exception))


CASES = [
    ("harness_catches_sanitizer_reports", case_harness_catches_sanitizer_reports, "sanitizers"),
    ("full_disk", case_full_disk, "files"),
    ("read_only_file_systems", case_read_only_file_systems, "files"),
    ("unwritable_fallback_directory", case_unwritable_fallback_directory, "files"),
    ("name_server_refuses", case_name_server_refuses, "network"),
    ("service_port_then_failures", case_service_port_then_failures, "network"),
    ("garbage_from_server", case_garbage_from_server, "network"),
    ("flood_from_server", case_flood_from_server, "network"),
    ("silent_name_server", case_silent_name_server, "slow"),
    ("slow_lookup_chain", case_slow_lookup_chain, "slow"),
    ("fifty_users_at_once", case_fifty_users_at_once, "load"),
    ("thousand_runs_against_bulserve", case_thousand_runs_against_bulserve, "load"),
]


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--bulfetch", required=True)
    p.add_argument("--bulserve", required=True)
    p.add_argument("--probe", help="sanitizer_probe, for the sanitizers group")
    p.add_argument("--group")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("cases", nargs="*")
    ARGS = p.parse_args()
    ARGS.bulfetch = os.path.abspath(ARGS.bulfetch)
    ARGS.bulserve = os.path.abspath(ARGS.bulserve)
    cases = [(n, f) for n, f, g in CASES if ARGS.group in (None, g)]
    with tempfile.NamedTemporaryFile("r", prefix="faults-figures-") as figures:
        ARGS.figures = figures.name
        status = S.run_cases(cases, ARGS.cases, jobs=ARGS.jobs, timeout=240)
        sys.stdout.write(figures.read())
    sys.exit(status)


if __name__ == "__main__":
    main()
