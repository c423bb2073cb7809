#!/usr/bin/python3
"""End-to-end runs of the installed bulletin client at its real fixed paths.

Each case runs in namespaces of its own: an overlay site with a stand-in
name server, a stand-in bulletin server, a system-log catcher at /dev/log and
the notice stand-in at /usr/calyx/bin/vwrite.

  bulfetch_e2e.py --bulfetch PATH --recorder PATH [--bulcheck PATH] [--group G] [case ...]
"""

import argparse
import fcntl
import functools
import os
import re
import socket
import stat
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox as S  # noqa: E402

T = unittest.TestCase()
T.maxDiff = None
ARGS = None

FALLBACK = "/usr/tmp/.messages"
INSTALLED = "/usr/local/bin/bulfetch"
DOMAIN = ".site.test"
SLOC_NAME = "bulletin.sloc.ns.site.test"
SERVICE_NAME = "bulletin.service.ns.site.test"
SERVER_HOST = "bulletin.site.test"
SERVER_ADDR = "127.0.0.2"
STARTED = "BUL client started..."
USAGE_TAIL = ": Usage: {0} [-vane|-v] [-new|-n]\n"

GOOD = b"BUL:0 1700000000\nThe site is up.\nSecond\tline.\n"
NEWER = b"BUL:0\t1700000500\nA newer bulletin.\n"
OLD_FILE = b"BUL:0:1600000000\nAn old cached bulletin.\n"


def header(record):
    return record[:record.index(b"\n") + 1]


def body(record):
    return record[record.index(b"\n") + 1:]


class Site:
    """A working site: the name service lists one server, /etc/services (or
    the name service) gives its port, and user alice has a home."""

    def __init__(self, sb, reply=GOOD, port_source="services", server=True,
                 sloc=None, hosts=None, extra_txt=None):
        self.sb = sb
        sb.nomicon_conf("# site name service\nlhs .ns\nrhs " + DOMAIN + "\n")
        sb.install(ARGS.bulfetch, INSTALLED)
        self.alice = sb.add_user("alice", 1500)
        self.bob = sb.add_user("bob", 1501)
        if server:
            self.server = sb.start_bulletin_server(reply, address=SERVER_ADDR)
            self.port = self.server.port
        else:
            # A port where nothing listens: bind to learn a free one, let go.
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind((SERVER_ADDR, 0))
            self.port = s.getsockname()[1]
            s.close()
            self.server = None
        txt = {SLOC_NAME: sloc if sloc is not None else [SERVER_HOST]}
        if port_source == "services":
            sb.services({"bulletin": f"{self.port}/udp"})
        elif port_source == "nomicon":
            txt[SERVICE_NAME] = [f"bulletin tcp {self.port + 1}",
                                 f"bulletin udp {self.port} bull"]
        txt.update(extra_txt or {})
        self.ns = sb.start_nameserver(
            txt=txt, hosts=hosts if hosts is not None else {SERVER_HOST: SERVER_ADDR})

    def seen_path(self, user=None):
        return (user or self.alice).home + "/.message_times"

    def run(self, *args, user="alice", argv0="bulfetch", **kw):
        if user == "alice":
            user = self.alice
        env = kw.pop("env", None)
        if env is None:
            env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "CALYX_E2E_MARK": "passed-down"}
        return self.sb.run([INSTALLED] + list(args), user=user, argv0=argv0, env=env, **kw)

    def requests(self):
        return list(self.server.requests) if self.server else []


def expect(res, status=0, stdout=b"", stderr=b"", log=(), ident="bulfetch"):
    """Exit status, both outputs and the log lines in order; every log line
    from this process, at LOG_USER/LOG_INFO, with the invocation name."""
    T.assertEqual(
        (res.status, res.stdout, res.stderr, res.log_texts()),
        (status, stdout, stderr, [STARTED] + list(log)))
    for line in res.log:
        T.assertEqual((line.facility, line.priority, line.ident, line.pid),
                      (1, 6, ident, res.pid), line)


def expect_recent(t, what):
    T.assertLess(abs(t - time.time()), 60, f"{what} is not the time of the run: {t}")


# ---------------------------------------------------------------------------
# Server side

def case_good_answer(sb):
    site = Site(sb)
    before = time.time()
    res = site.run()
    expect(res, stdout=body(GOOD))
    T.assertEqual(site.requests(), [b"BUL:0"])
    T.assertIn(S.Query(SLOC_NAME, S.TYPE_TXT, S.CLASS_HS, True), site.ns.queries)
    # Created by this run under umask 022: mode 0666 all the same.
    f = S.file_state(FALLBACK)
    T.assertEqual((f["data"], f["mode"], f["uid"]), (GOOD, 0o666, site.alice.uid))
    T.assertGreaterEqual(f["mtime"], before - 1)
    expect_recent(f["mtime"], "fallback mtime")
    seen = S.file_state(site.seen_path())
    T.assertEqual((seen["data"], seen["mode"]), (header(GOOD), 0o644))

    # Again, invoked by a full path: shown again (no -new), the seen-stamp
    # file left alone, the log identity the path as invoked.
    os.utime(site.seen_path(), (1000, 1000))
    res = site.run(argv0=INSTALLED)
    expect(res, stdout=body(GOOD), ident=INSTALLED)
    T.assertEqual(S.file_state(site.seen_path())["mtime"], 1000)
    T.assertEqual(len(site.requests()), 2)


def case_port_from_name_service(sb):
    site = Site(sb, port_source="nomicon")
    res = site.run()
    expect(res, stdout=body(GOOD))
    T.assertEqual(site.requests(), [b"BUL:0"])
    T.assertIn(SERVICE_NAME, [q.name for q in site.ns.queries if q.qclass == S.CLASS_HS])


def cname_only_answer(name):
    """An answer to the sloc query holding a CNAME record and no TXT."""
    q = S.encode_name(name)
    target = S.encode_name("elsewhere.site.test")
    return S.Raw(S.struct.pack("!HHHHHH", 0, 0x8580, 1, 1, 0, 0) + q
                 + S.struct.pack("!HH", S.TYPE_TXT, S.CLASS_HS)
                 + b"\xc0\x0c" + S.struct.pack("!HHIH", 5, S.CLASS_HS, 60, len(target))
                 + target)


ENOENT = "No such file or directory"

# Each way the server side fails: site arguments, text of the failure.
SERVER_FAILURES = [
    ("no_port", dict(port_source="none"), "Unknown code bul 3"),
    ("unknown_host", dict(hosts={}), "No such host is known"),
    ("no_sloc", dict(sloc=S.NXDOMAIN), "Nomicon name not found by Nomicon server"),
    # The resolver gives up on a refusing server as on a silent one.
    ("sloc_refused", dict(sloc=S.REFUSED), "Nomicon network problem"),
    ("sloc_without_txt", dict(sloc=cname_only_answer(SLOC_NAME)),
     "Unexpected return from Nomicon error"),
    ("no_listener", dict(server=False), "Connection refused"),
]


def case_server_failure(sb, kwargs, text):
    """With the fallback file missing: three lines, ENOENT; with it present,
    the cached copy is shown and not rewritten."""
    site = Site(sb, **kwargs)
    res = site.run()
    expect(res, log=[f"BUL get server failed, {text}", f"BUL put failed, {ENOENT}",
                     f"BUL losing: {ENOENT}"])
    T.assertIsNone(S.file_state(FALLBACK))
    T.assertEqual(site.requests(), [])

    sb.write_file(FALLBACK, OLD_FILE, mode=0o666, mtime=5000)
    res = site.run("-n")
    expect(res, stdout=body(OLD_FILE), log=[f"BUL get server failed, {text}"])
    f = S.file_state(FALLBACK)
    T.assertEqual((f["data"], f["mtime"]), (OLD_FILE, 5000))


def case_empty_and_oversize_replies(sb):
    # An empty datagram is an answer of length 0: the fallback file refuses
    # it and stays as it was, and the empty record is not shown.
    site = Site(sb, reply=b"")
    alice = site.alice
    sb.write_file(FALLBACK, OLD_FILE, mode=0o666, mtime=5000, uid=alice.uid, gid=alice.gid)
    res = site.run()
    expect(res, log=["BUL put failed, Unknown code bul 1", "BUL not showing."])
    f = S.file_state(FALLBACK)
    T.assertEqual((f["data"], f["mtime"]), (OLD_FILE, 5000))

    # More than 2047 bytes: the first 2047 are kept, shown and cached.
    big = b"BUL:0 1700000001\n" + bytes(b"abcdefghij"[i % 10] for i in range(3000)) + b"\n"
    site.server.reply = big
    res = site.run()
    expect(res, stdout=body(big[:2047]))
    T.assertEqual(S.file_state(FALLBACK)["data"], big[:2047])

    # Not a bulletin at all: cached like any answer (stamp 0 back-dates the
    # existing file), then refused at the check.
    site.server.reply = b"hello, world\n"
    res = site.run()
    expect(res, log=["BUL not showing."])
    f = S.file_state(FALLBACK)
    T.assertEqual((f["data"], f["atime"], f["mtime"]), (b"hello, world\n", 0, 0))


def case_silent_server(sb):
    """Three servers listed, the first silent: one request, one 5-second
    wait, then the fallback file; the others are never asked."""
    others = {"bul2.site.test": "127.0.0.3", "bul3.site.test": "127.0.0.4"}
    site = Site(sb, reply=None, sloc=[SERVER_HOST] + list(others),
                hosts=dict(others, **{SERVER_HOST: SERVER_ADDR}))
    spares = [sb.start_bulletin_server(GOOD, address=a, port=site.port)
              for a in others.values()]
    sb.write_file(FALLBACK, OLD_FILE, mode=0o666)
    res = site.run(timeout=30)
    expect(res, stdout=body(OLD_FILE), log=["BUL get server failed, Unknown code bul 17"])
    T.assertEqual(site.requests(), [b"BUL:0"], "one request, no retransmission")
    T.assertEqual([s.requests for s in spares], [[], []])
    T.assertGreaterEqual(res.elapsed, 4.9)
    T.assertLess(res.elapsed, 8.5)


# ---------------------------------------------------------------------------
# Stamps and file times

def case_stamps_and_times(sb):
    """What a write of the fallback file leaves, by the reply's stamp and by
    who owns the file found there."""
    site = Site(sb)
    alice, bob = site.alice, site.bob
    eperm = ["BUL put failed, Operation not permitted"]
    table = [
        # reply, owner of the file found (None: no file), content after
        # (None: no file), times set to 0, log lines after the start
        (b"BUL:0 0\nzero\n", None, None, False, []),
        (b"BUL:0 0\nzero\n", alice, b"BUL:0 0\nzero\n", True, []),
        (b"BUL:0 -3\nnegative\n", None, b"BUL:0 -3\nnegative\n", True, []),
        (b"BUL:0 -3\nnegative\n", alice, b"BUL:0 -3\nnegative\n", True, []),
        (b"BUL:0 17\npositive\n", None, b"BUL:0 17\npositive\n", False, []),
        (b"BUL:0 17\npositive\n", bob, b"BUL:0 17\npositive\n", False, []),
        # Only the owner may back-date a file: another user's run rewrites
        # it and reports the refused time setting.
        (b"BUL:0 -3\nnegative\n", bob, b"BUL:0 -3\nnegative\n", False, eperm),
        # Beyond the 32-bit range: clamped to the largest stamp, a positive
        # one, not wrapped to -1.
        (b"BUL:0 4294967295\nbig\n", alice, b"BUL:0 4294967295\nbig\n", False, []),
        (b"BUL:0 -99999999999\nsmall\n", alice, b"BUL:0 -99999999999\nsmall\n", True, []),
    ]
    for reply, owner, after, zero_times, log in table:
        for path in (FALLBACK, site.seen_path()):
            if os.path.lexists(path):
                os.unlink(path)
        if owner is not None:
            sb.write_file(FALLBACK, OLD_FILE, mode=0o666, mtime=5000,
                          uid=owner.uid, gid=owner.gid)
        site.server.reply = reply
        res = site.run()
        expect(res, stdout=body(reply), log=log)
        f = S.file_state(FALLBACK)
        if after is None:
            T.assertIsNone(f, reply)
            continue
        T.assertEqual((f["data"], f["mode"]), (after, 0o666), reply)
        if zero_times:
            T.assertEqual((f["atime"], f["mtime"]), (0, 0), reply)
        else:
            expect_recent(f["mtime"], f"mtime after {reply!r}")

    # The clamped stamp also orders bulletins: a record of 4294967295 covers
    # stamp 5, so -new stays quiet.
    sb.write_file(site.seen_path(), b"BUL:0 4294967295\n", uid=alice.uid, mode=0o644)
    site.server.reply = b"BUL:0 5\nfive\n"
    res = site.run("-n")
    expect(res, log=["BUL not showing."])


# ---------------------------------------------------------------------------
# The fallback file as found

def case_fallback_symlink(sb):
    site = Site(sb)
    target = sb.write_file(os.path.join(sb.scratch, "victim"), b"precious\n", mode=0o640)
    os.symlink(target, FALLBACK)
    # Writing: the link is not followed, the bulletin is still shown.
    res = site.run()
    expect(res, stdout=body(GOOD), log=["BUL put failed, Too many levels of symbolic links"])
    t = S.file_state(target)
    T.assertEqual((t["data"], t["mode"]), (b"precious\n", 0o640))
    T.assertTrue(S.file_state(FALLBACK)["is_link"])
    # Reading: nor followed there.
    site.server.close()
    sb.write_file(target, OLD_FILE, mode=0o644)
    res = site.run()
    loop = "Too many levels of symbolic links"
    expect(res, log=["BUL get server failed, Connection refused", f"BUL put failed, {loop}",
                     f"BUL losing: {loop}"])


def case_fallback_fifo(sb):
    site = Site(sb)
    os.mkfifo(FALLBACK, 0o666)
    # Writing to a FIFO without a reader must not wait for one.
    res = site.run(timeout=10)
    T.assertEqual((res.status, res.stdout), (0, body(GOOD)))
    T.assertEqual(res.log_texts()[0], STARTED)
    T.assertTrue(all(t.startswith("BUL put failed, ") for t in res.log_texts()[1:]), res.log)
    # Reading it must not wait for a writer either.
    site.server.close()
    res = site.run(timeout=10)
    texts = res.log_texts()
    T.assertEqual(res.status, 0)
    T.assertEqual(res.stdout, b"")
    T.assertEqual(texts[:2], [STARTED, "BUL get server failed, Connection refused"])
    T.assertEqual(len(texts), 4, texts)
    T.assertTrue(texts[2].startswith("BUL put failed, "), texts)
    T.assertEqual(texts[3], "BUL losing: " + texts[2][len("BUL put failed, "):])
    T.assertTrue(stat.S_ISFIFO(os.lstat(FALLBACK).st_mode))


def case_fallback_ownership(sb):
    site = Site(sb)
    # Another user's file, mode 0666: anyone's run refreshes it in place.
    sb.write_file(FALLBACK, OLD_FILE, mode=0o666, uid=site.bob.uid, gid=site.bob.gid)
    res = _run_traced(site)
    expect(res, stdout=body(GOOD))
    f = S.file_state(FALLBACK)
    T.assertEqual((f["data"], f["mode"], f["uid"]), (GOOD, 0o666, site.bob.uid))
    # Another user's file with a narrower mode: EACCES, the bulletin is still
    # shown, the file untouched.
    sb.write_file(FALLBACK, OLD_FILE, mode=0o644, uid=site.bob.uid, gid=site.bob.gid,
                  mtime=5000)
    res = site.run()
    expect(res, stdout=body(GOOD), log=["BUL put failed, Permission denied"])
    f = S.file_state(FALLBACK)
    T.assertEqual((f["data"], f["mode"], f["mtime"]), (OLD_FILE, 0o644, 5000))
    # Unreadable to alice, and the server side fails.
    sb.write_file(FALLBACK, OLD_FILE, mode=0o600, uid=site.bob.uid, gid=site.bob.gid)
    site.server.close()
    res = site.run()
    denied = "Permission denied"
    expect(res, log=["BUL get server failed, Connection refused",
                     f"BUL put failed, {denied}", f"BUL losing: {denied}"])


def _run_traced(site):
    """Runs the client once; where strace is at hand, also checks that the
    existing file is opened for writing without O_CREAT (with
    fs.protected_regular such an open of another user's file in sticky
    /usr/tmp is refused). Returns the result with its pid and identity
    those of the client."""
    if not _have_strace():
        return site.run()
    trace = os.path.join(site.sb.scratch, "open.trace")
    res = site.sb.run(["/usr/bin/strace", "-f", "-qq", "-e", "trace=open,openat", "-o", trace,
                       INSTALLED], user=site.alice,
                      env={"PATH": "/usr/local/bin:/usr/bin:/bin"}, leak_check=False)
    with open(trace) as f:
        opens = [line for line in f if FALLBACK in line and "O_WRONLY" in line]
    T.assertTrue(opens, "no write-open of the fallback file in the trace")
    T.assertTrue(all("O_CREAT" not in line for line in opens), opens)
    T.assertTrue(res.log, "no log lines")
    T.assertTrue(all(line.ident == INSTALLED for line in res.log), res.log)
    for line in res.log:
        line.ident = "bulfetch"
    res.pid = res.log[0].pid
    return res


def _have_strace():
    return os.access("/usr/bin/strace", os.X_OK)


def case_fallback_too_large(sb):
    site = Site(sb, server=False)
    sb.write_file(FALLBACK, b"BUL:0 3\n" + b"x" * (1 << 20), mode=0o666)
    res = site.run()
    big = "File too large"
    expect(res, log=["BUL get server failed, Connection refused", f"BUL put failed, {big}",
                     f"BUL losing: {big}"])


def case_fallback_write_fails(sb):
    """A failed or short write of the fallback file is reported, whatever
    the stamp: a stamp of 0 back-dates the file but must not hide the
    failure, and a write cut short by a file-size limit is not a success."""
    site = Site(sb)
    alice = site.alice
    reply0 = b"BUL:0 0\n" + b"z" * 1800 + b"\n"
    reply44 = b"BUL:0 44\n" + b"z" * 1800 + b"\n"
    # A full file system: an empty fallback file, the rest taken.
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k,mode=1777", "small", "/usr/tmp"],
                   check=True)
    fd = os.open("/usr/tmp/filler", os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        while os.write(fd, b"f" * 512) > 0:
            pass
    except OSError:
        pass
    os.close(fd)
    for reply in (reply0, reply44):
        sb.write_file(FALLBACK, b"", mode=0o666, uid=alice.uid, gid=alice.gid)
        site.server.reply = reply
        res = site.run()
        expect(res, stdout=body(reply), log=["BUL put failed, No space left on device"])
    subprocess.run(["umount", "/usr/tmp"], check=True)
    # A file-size limit of 1000 bytes: the first write stops short.
    for reply in (reply0, reply44):
        sb.write_file(FALLBACK, OLD_FILE, mode=0o666, uid=alice.uid, gid=alice.gid)
        site.server.reply = reply
        res = site.run(fsize_limit=1000)
        expect(res, stdout=body(reply), log=["BUL put failed, File too large"])
        # Emptied: the head of the record would be shown by a later run.
        T.assertEqual(S.file_state(FALLBACK)["data"], b"")


# ---------------------------------------------------------------------------
# Command line and options

def case_usage_errors(sb):
    site = Site(sb)
    table = [
        # arguments, offending text
        (["-x"], "-x"),
        (["-n", "-x"], "-x"),
        (["-x", "-n"], "-x"),
        (["-new", "-vane", "-login"], "too many arguments"),
        (["-n", "-n", "-n"], "too many arguments"),
        (["--new"], "--new"),
        (["-N"], "-N"),
        (["-ne"], "-ne"),
        (["-newer"], "-newer"),
        ([""], ""),
        (["-login", "-log"], "-log"),
        (["-quick", "-new", "-login"], "too many arguments"),
        (["-q", "-quickly"], "-quickly"),
    ]
    for argv0 in ("bulfetch", "/usr/local/bin/bulfetch"):
        for args, offending in table:
            res = site.run(*args, argv0=argv0)
            usage = f"{argv0} <{offending}>" + USAGE_TAIL.format(argv0)
            expect(res, status=1, stderr=usage.encode(), ident=argv0)
    T.assertEqual(site.requests(), [])
    T.assertIsNone(S.file_state(site.seen_path()))


def case_new_and_login(sb):
    site = Site(sb)
    seen = site.seen_path()
    rec = header(GOOD)
    # Standard output closed: the body goes nowhere, and never into the log
    # through a socket that took descriptor 1.
    expect(sb.run(["/bin/sh", "-c", f"exec {INSTALLED} -l >&-"], user=site.alice),
           ident=INSTALLED)
    # -l alone: shown, nothing recorded.
    expect(site.run("-l"), stdout=body(GOOD))
    T.assertIsNone(S.file_state(seen))
    # -n twice acts as once: new, so shown and recorded.
    expect(site.run("-n", "-n"), stdout=body(GOOD))
    T.assertEqual(S.file_state(seen)["data"], rec)
    os.utime(seen, (1000, 1000))
    # Seen now: -new and -n -l stay quiet; the file is not rewritten.
    for args in (["-new"], ["-n", "-l"], ["-login", "-new"]):
        expect(site.run(*args), log=["BUL not showing."])
    # -login alone still shows it.
    expect(site.run("-login"), stdout=body(GOOD))
    T.assertEqual((S.file_state(seen)["data"], S.file_state(seen)["mtime"]), (rec, 1000))
    # A newer one with -n -l: shown, not recorded, so shown again next time.
    site.server.reply = NEWER
    for _ in range(2):
        expect(site.run("-n", "-l"), stdout=body(NEWER))
    T.assertEqual(S.file_state(seen)["data"], rec)
    # With -n alone it is recorded, then quiet.
    expect(site.run("-n"), stdout=body(NEWER))
    T.assertEqual(S.file_state(seen)["data"], header(NEWER))
    expect(site.run("-n"), log=["BUL not showing."])
    # An older bulletin counts as seen.
    site.server.reply = GOOD
    expect(site.run("-n"), log=["BUL not showing."])
    T.assertEqual(S.file_state(seen)["data"], header(NEWER))


def case_vane(sb):
    site = Site(sb)
    sb.install_notice(ARGS.recorder, status=7)
    res = site.run("-v")
    expect(res, status=7)
    T.assertEqual(len(res.notices), 1)
    n = res.notices[0]
    T.assertEqual(n.argv, [b"vwrite", b"-d", b"-q", b"-n", b"alice", b"-m", body(GOOD)])
    T.assertEqual(n.env.get("CALYX_E2E_MARK"), "passed-down")
    T.assertEqual(S.file_state(site.seen_path())["data"], header(GOOD))
    # Combinations: already seen with -n: nothing sent; -l with -vane: sent.
    for args, sent in ((["-vane", "-n"], False), (["-n", "-v"], False),
                       (["-vane", "-login"], True), (["-l", "-v"], True)):
        res = site.run(*args)
        if sent:
            expect(res, status=7)
            T.assertEqual([x.argv[4:] for x in res.notices], [[b"alice", b"-m", body(GOOD)]])
        else:
            expect(res, log=["BUL not showing."])
            T.assertEqual(res.notices, [])
    # An empty body: nothing sent, nothing logged.
    site.server.reply = b"BUL:0 1800000000\n"
    res = site.run("-v")
    expect(res)
    T.assertEqual(res.notices, [])
    # No user name at all (no password entry, no login name): status 2.
    site.server.reply = NEWER
    nobody = S.User("nobody-here", 4321, 4321, "/")
    res = site.run("-v", user=nobody)
    expect(res, status=2, stderr=b"bulfetch: couldn't find username to send vane notice\n")
    T.assertEqual(res.notices, [])


def case_vane_missing_program(sb):
    site = Site(sb)
    res = site.run("-vane")
    expect(res, log=["BUL client execl of vwrite failed [No such file or directory]"])
    T.assertEqual(res.stdout, b"")


# ---------------------------------------------------------------------------
# Display

def case_terminal_display(sb):
    text = b"Plain\ttext\n\x1b[2Jclear\x07bell\rreturn\x08back\x00after-nul\n"
    reply = b"BUL:0 1700000002\n" + text
    site = Site(sb, reply=reply)
    shown = text[:text.index(b"\0")]
    # To a pipe: byte for byte, up to the NUL.
    expect(site.run("-l"), stdout=shown)
    # To a terminal: LF and TAB as they are, every other control character
    # escaped, the printable text kept in order.
    res = site.run("-l", tty=True, stdin=None)
    T.assertEqual(res.status, 0)
    out = res.stdout
    bad = [c for c in out if (c < 0x20 and c not in (0x09, 0x0A)) or c == 0x7F]
    T.assertEqual(bad, [], out)
    T.assertTrue(out.startswith(b"Plain\ttext\n"), out)
    T.assertTrue(out.endswith(b"back"), out)
    pos = 0
    for word in (b"[2J", b"clear", b"bell", b"return", b"back"):
        found = out.find(word, pos)
        T.assertGreater(found, pos, (word, out))
        pos = found
    T.assertGreater(len(out), len(shown) - 4, "control characters dropped, not escaped")


# ---------------------------------------------------------------------------
# -quick: what a login runs, bounded whatever the network does

QUICK_BOUND = 1.0   # seconds from the start of a run to its end
PENDING = re.compile(r"BUL get server not done in 600 ms, pid (\d+) goes on; "
                     r"using the fallback file")


def pending(pid):
    return f"BUL get server not done in 600 ms, pid {pid} goes on; using the fallback file"


def detached_pid(res, pattern=PENDING):
    """The process id a line of the run names for its background fetch."""
    for text in res.log_texts():
        m = pattern.fullmatch(text)
        if m:
            return int(m.group(1))
    raise AssertionError(f"no line naming the background fetch in {res.log_texts()}")


def eventually(check, timeout=10):
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def case_quick_options(sb):
    """-quick and -q are option words like the others; with a healthy site a
    quick run shows the live bulletin and refreshes the fallback file."""
    site = Site(sb)
    sb.install_notice(ARGS.recorder)
    seen = site.seen_path()
    # Another user's run sitting on the copy's lock holds up the copy's
    # refresh, never the live bulletin.
    sb.write_file(FALLBACK, OLD_FILE, mode=0o666)
    with open(FALLBACK, "rb") as reader:
        fcntl.flock(reader, fcntl.LOCK_SH)
        res = site.run("-quick", "-login")
    expect(res, stdout=body(GOOD))
    T.assertLess(res.elapsed, 0.4, "the live bulletin waited for the lock")
    table = [
        # arguments, stdout, log lines after the start, seen-stamp record after
        (["-quick", "-new"], body(GOOD), [], header(GOOD)),
        (["-q", "-n"], b"", ["BUL not showing."], header(GOOD)),
        (["-login", "-q"], body(GOOD), [], header(GOOD)),
        (["-quick"], body(GOOD), [], header(GOOD)),
        (["-q", "-q"], body(GOOD), [], header(GOOD)),
    ]
    for args, out, log, record in table:
        res = site.run(*args)
        expect(res, stdout=out, log=log)
        T.assertLess(res.elapsed, QUICK_BOUND, args)
        T.assertEqual(S.file_state(seen)["data"], record, args)
    T.assertTrue(eventually(lambda: (S.file_state(FALLBACK) or {}).get("data") == GOOD),
                 S.file_state(FALLBACK))
    site.server.reply = NEWER
    res = site.run("-q", "-v")
    expect(res)
    T.assertEqual([n.argv[4:] for n in res.notices], [[b"alice", b"-m", body(NEWER)]])
    # Nothing of the fetch, and the signal mask the run started with.
    T.assertEqual([(n.env["CALYX_NOTICE_FDS"], n.env["CALYX_NOTICE_SIGBLK"])
                   for n in res.notices], [("0 1 2", "0" * 16)])
    # A server side that fails at once: its failure is handed over within
    # the bound and logged once, by the background fetch; the copy shown.
    site.server.close()
    sb.write_file(FALLBACK, OLD_FILE, mode=0o666)
    os.unlink(seen)
    res = site.run("-quick", "-new")
    T.assertEqual((res.status, res.stdout), (0, body(OLD_FILE)))
    T.assertEqual([(line.pid == res.pid, line.text) for line in res.log],
                  [(True, STARTED), (False, "BUL get server failed, Connection refused")])
    # A copy stamped far ahead of the clock, as anyone may plant it, is
    # shown at a login but never recorded as seen.
    forged = b"BUL:0 2147483647\nPlanted.\n"
    sb.write_file(FALLBACK, forged, mode=0o666)
    res = site.run("-quick", "-new")
    T.assertEqual((res.status, res.stdout), (0, body(forged)))
    T.assertEqual(S.file_state(seen)["data"], header(OLD_FILE))


# Each way the server side stays silent: site arguments, the text the
# background fetch logs when it gives up.
QUICK_SILENCES = [
    ("name_server", dict(sloc=S.SILENT), "Nomicon network problem"),
    ("host_lookup", dict(hosts={SERVER_HOST: S.SILENT}),
     "Temporary nameserver error, retry possible"),
    ("bulletin_server", dict(reply=None), "Unknown code bul 17"),
]


def case_quick_silent(sb, kwargs, text):
    """Within the bound whatever stays silent: the machine-wide copy when
    there is one and it is new, and the fetch goes on in the background
    until its own time-outs."""
    site = Site(sb, **kwargs)
    # The output also on descriptor 3, as a remote command or a pane may
    # hand it down: its reader sees the end once the run ends, and the
    # fetch leads a session of its own.
    res = sb.run(["/bin/sh", "-c", f"exec {INSTALLED} -quick -new 3>&1"], user=site.alice)
    T.assertLess(res.elapsed, QUICK_BOUND)
    pid = detached_pid(res)
    T.assertEqual(os.getsid(pid), pid, "the fetch is in the session of the run")
    expect(res, log=[pending(pid), f"BUL put failed, {ENOENT}", f"BUL losing: {ENOENT}"],
           ident=INSTALLED)
    T.assertEqual(sb.wait_detached(pid), 0)
    T.assertEqual([(line.pid, line.text) for line in sb.syslog.lines()
                   if line.pid == pid], [(pid, f"BUL get server failed, {text}")])

    sb.write_file(FALLBACK, OLD_FILE, mode=0o666)
    waits = [res.elapsed]
    for out, log in ((body(OLD_FILE), []), (b"", ["BUL not showing."])):
        res = site.run("-quick", "-new")
        waits.append(res.elapsed)
        expect(res, stdout=out, log=[pending(detached_pid(res))] + log)
        T.assertEqual(S.file_state(site.seen_path())["data"], header(OLD_FILE))
    # The documented 0.6 s, whatever starting and ending the run adds.
    T.assertGreaterEqual(min(waits), 0.6)
    T.assertLess(max(waits), QUICK_BOUND, waits)
    T.assertLess(min(waits), 0.8, waits)


def case_quick_late_answer(sb):
    """A server that answers after the run has ended still refreshes the
    fallback file, and the next login shows what it sent."""
    def late(request):
        time.sleep(1.5)
        return GOOD
    site = Site(sb, reply=late)
    sb.write_file(FALLBACK, OLD_FILE, mode=0o666)
    res = site.run("-quick", "-new")
    T.assertLess(res.elapsed, QUICK_BOUND)
    pid = detached_pid(res)
    expect(res, stdout=body(OLD_FILE), log=[pending(pid)])
    T.assertEqual(S.file_state(FALLBACK)["data"], OLD_FILE)
    T.assertEqual(sb.wait_detached(pid), 0)
    T.assertEqual(S.file_state(FALLBACK)["data"], GOOD)
    T.assertEqual([line for line in sb.syslog.lines() if line.pid == pid], [])
    res = site.run("-quick", "-new")
    T.assertLess(res.elapsed, QUICK_BOUND)
    expect(res, stdout=body(GOOD), log=[pending(detached_pid(res))])


def case_quick_interrupt(sb):
    """^C during the wait ends the wait only: status 0, nothing shown or
    recorded, and the script that ran the client goes on."""
    site = Site(sb, sloc=S.SILENT)
    sb.write_file(FALLBACK, OLD_FILE, mode=0o666)
    script = f'{INSTALLED} -quick -new; echo "status $?"; echo rest of the set-up'
    asked = lambda: any(q.name == SLOC_NAME for q in list(site.ns.queries))  # noqa: E731
    res = sb.run(["/bin/bash", "-c", script], user=site.alice, interrupt_when=asked)
    T.assertEqual((res.status, res.stdout, res.stderr),
                  (0, b"status 0\nrest of the set-up\n", b""))
    T.assertLess(res.elapsed, QUICK_BOUND)
    texts = res.log_texts()
    T.assertEqual(len(texts), 2, texts)
    T.assertEqual(texts[0], STARTED)
    T.assertRegex(texts[1], r"^BUL get server wait interrupted, pid \d+ goes on; nothing shown$")
    T.assertIsNone(S.file_state(site.seen_path()))


# ---------------------------------------------------------------------------
# bulcheck: the same site seen by the check, which reports and writes nothing

# Site arguments, exit status, lines (patterns) its report must hold.
CHECKS = [
    ("working", {}, 0, [
        r"  127\.0\.0\.1 \(/etc/resolv\.conf\): NOERROR, 1 record, in ",
        r"  SHOWN: the bulletin from the server, stamp 1700000000, is newer than your "
        r"recorded 1600000000\.", r"Result: the whole path works\."]),
    ("refused", dict(sloc=S.REFUSED), 3, [
        r"  127\.0\.0\.1 \(/etc/resolv\.conf\): REFUSED, 0 records, in [\d.]+ [um]?s\n",
        r"  FIX: name the site's name servers, .*\n.*with lines \"nameserver ADDRESS\"",
        r"  NOT SHOWN: the bulletin from the machine-wide copy, stamp 1600000000, is already"]),
    ("silent_name_server", dict(sloc=S.SILENT), 3, [
        r"  127\.0\.0\.1 \(/etc/resolv\.conf\): no answer within 2\.0 s",
        r"the silent step is the name-service lookup"]),
    ("silent_server", dict(reply=None), 5, [r"no reply within 2\.0 s; the silent\n.*bulletin server"]),
    # A login takes the reply as it comes, and shows nothing.
    ("reply_not_a_bulletin", dict(reply=b"HELLO\n"), 5, [r"NOT SHOWN: what comes from the server"]),
    # No copy yet, in a folder the user's runs cannot create it in.
    ("copy_folder_closed", dict(folder_mode=0o755), 6, [r"none, and your runs cannot make it"]),
]


def case_check(sb, kwargs, status, patterns):
    """The report of each step; the copy, the seen stamp and the log are left
    as they were; a silent step costs one bounded wait."""
    kwargs = dict(kwargs)
    folder_mode = kwargs.pop("folder_mode", None)
    site = Site(sb, **kwargs)
    check = sb.install(ARGS.bulcheck, "/usr/local/bin/bulcheck")
    sb.write_file(FALLBACK, OLD_FILE, mode=0o666, mtime=5000)
    if folder_mode:
        os.unlink(FALLBACK)
        os.chmod(os.path.dirname(FALLBACK), folder_mode)
    sb.write_file(site.seen_path(), header(OLD_FILE), uid=site.alice.uid, mtime=1000)
    kept = ("data", "mode", "mtime", "uid")
    state = lambda p: S.file_state(p) and {k: S.file_state(p)[k] for k in kept}  # noqa: E731
    before = [state(p) for p in (FALLBACK, site.seen_path())]
    res = sb.run([check], user=site.alice)
    out = res.stdout.decode()
    T.assertEqual((res.status, res.stderr, res.log), (status, b"", []), out)
    for pattern in patterns:
        T.assertRegex(out, pattern)
    T.assertLess(res.elapsed, 4.5)
    T.assertEqual([state(p) for p in (FALLBACK, site.seen_path())], before)


CASES = [
    ("server_failure_" + label, functools.partial(case_server_failure, kwargs=kw, text=text),
     "failures") for label, kw, text in SERVER_FAILURES
] + [
    ("good_answer", case_good_answer, "server"),
    ("port_from_name_service", case_port_from_name_service, "server"),
    ("empty_and_oversize_replies", case_empty_and_oversize_replies, "server"),
    ("silent_server", case_silent_server, "timeout"),
    ("stamps_and_times", case_stamps_and_times, "fallback"),
    ("fallback_symlink", case_fallback_symlink, "fallback"),
    ("fallback_fifo", case_fallback_fifo, "fallback"),
    ("fallback_ownership", case_fallback_ownership, "fallback"),
    ("fallback_too_large", case_fallback_too_large, "fallback"),
    ("fallback_write_fails", case_fallback_write_fails, "fallback"),
    ("usage_errors", case_usage_errors, "options"),
    ("new_and_login", case_new_and_login, "options"),
    ("vane", case_vane, "options"),
    ("vane_missing_program", case_vane_missing_program, "options"),
    ("terminal_display", case_terminal_display, "options"),
    ("quick_options", case_quick_options, "quick"),
    ("quick_late_answer", case_quick_late_answer, "quick"),
    ("quick_interrupt", case_quick_interrupt, "quick"),
] + [
    ("quick_silent_" + label, functools.partial(case_quick_silent, kwargs=kw, text=text),
     "quick") for label, kw, text in QUICK_SILENCES
] + [
    ("check_" + label, functools.partial(case_check, kwargs=kw, status=st, patterns=pats),
     "check") for label, kw, st, pats in CHECKS
]


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--bulfetch", required=True)
    p.add_argument("--recorder", required=True)
    p.add_argument("--bulcheck")
    p.add_argument("--group")
    p.add_argument("--jobs", type=int, default=3)
    p.add_argument("cases", nargs="*")
    ARGS = p.parse_args()
    ARGS.bulfetch = os.path.abspath(ARGS.bulfetch)
    ARGS.recorder = os.path.abspath(ARGS.recorder)
    ARGS.bulcheck = ARGS.bulcheck and os.path.abspath(ARGS.bulcheck)
    cases = [(n, f) for n, f, g in CASES if ARGS.group in (None, g)]
    sys.exit(S.run_cases(cases, ARGS.cases, jobs=ARGS.jobs))


if __name__ == "__main__":
    main()
