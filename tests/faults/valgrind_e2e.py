#!/usr/bin/python3
"""The end-to-end scenarios of both programs once more, each run under
valgrind memcheck, in private namespaces at the real fixed paths.

  valgrind_e2e.py --bulfetch PATH --dirpick PATH --recorder PATH

A run fails on any memcheck error or on a definite leak (memcheck's own
--error-exitcode with --errors-for-leak-kinds=definite); what is still
reachable at exit is printed per scenario. By design the client keeps the
bulletin, the server list and the name-service strings until exit.
"""

import argparse
import os
import re
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import sandbox as S  # noqa: E402

T = unittest.TestCase()
ARGS = None
VALGRIND_STATUS = 99

FALLBACK = "/usr/tmp/.messages"
INSTALLED = "/usr/local/bin/bulfetch"
DIRPICK = "/usr/local/bin/dirpick"
SLOC = "bulletin.sloc.ns.vg.test"
SERVICE = "bulletin.service.ns.vg.test"
HOST = "bulletin.vg.test"
ADDR = "127.0.0.4"
GOOD = b"BUL:0 1700000000\nBulletin under memcheck.\nSecond line.\n"
OLD = b"BUL:0 1600000000\nCached copy.\n"


def memcheck(sb, argv, label, user=None, env=None, expect_status=None, replaced=False, **kw):
    """Runs argv under memcheck; returns the Result. Fails on an error or a
    definite leak; records the leak summary as a figure."""
    log = os.path.join(sb.scratch, f"vg-{label}.%p")
    vg = ["/usr/bin/valgrind", "--tool=memcheck",
          f"--error-exitcode={VALGRIND_STATUS}", "--leak-check=full",
          "--show-leak-kinds=all", "--errors-for-leak-kinds=definite",
          "--track-origins=yes", "--vgdb=no", "--child-silent-after-fork=yes",
          f"--log-file={log}"]
    res = sb.run(vg + argv, user=user, env=env, timeout=120, **kw)
    logs = sorted(n for n in os.listdir(sb.scratch) if n.startswith(f"vg-{label}."))
    T.assertEqual(len(logs), 1, logs)
    text = sb.read_file(os.path.join(sb.scratch, logs[0])).decode(errors="replace")
    errors = re.findall(r"ERROR SUMMARY: (\d+) errors", text)
    T.assertNotEqual(res.status, VALGRIND_STATUS, f"{label}: memcheck reported:\n{text}")
    if replaced:
        # The process became the notice program (not traced): memcheck
        # stops at the exec and writes no summary; no error may precede it.
        T.assertEqual(len(res.notices), 1, label)
        T.assertEqual(errors, [], f"{label}:\n{text}")
        T.assertNotRegex(text, r"Invalid|uninitialised|Syscall param|Mismatched|overlap",
                         f"{label}:\n{text}")
        figure(f"{label:34s} replaced by the notice program; no error before the exec")
        return res
    T.assertEqual(errors[-1:], ["0"], f"{label}:\n{text}")
    if expect_status is not None:
        T.assertEqual(res.status, expect_status, (label, res.stderr))
    leaks = {kind: re.findall(rf"{kind}: ([\d,]+) bytes in ([\d,]+) blocks", text)
             for kind in ("definitely lost", "indirectly lost", "possibly lost", "still reachable")}
    summary = ", ".join(f"{k} {v[-1][0]} B/{v[-1][1]}" for k, v in leaks.items() if v)
    if "All heap blocks were freed" in text:
        summary = "all heap blocks freed"
    figure(f"{label:34s} {summary}")
    return res


def figure(text):
    with open(ARGS.figures, "a") as f:
        f.write(text + "\n")


def site(sb, port_source="services", reply=GOOD):
    sb.nomicon_conf("lhs .ns\nrhs .vg.test\n")
    sb.install(ARGS.bulfetch, INSTALLED)
    user = sb.add_user("carol", 2200)
    server = sb.start_bulletin_server(reply, address=ADDR)
    txt = {SLOC: [HOST]}
    if port_source == "services":
        sb.services({"bulletin": f"{server.port}/udp"})
    else:
        txt[SERVICE] = [f"bulletin tcp {server.port + 1}", f"bulletin udp {server.port} bull"]
    ns = sb.start_nameserver(txt=txt, hosts={HOST: ADDR})
    return user, server, ns


ENV = {"PATH": "/usr/bin:/bin"}


def case_bulfetch_server_paths(sb):
    user, server, ns = site(sb, port_source="nomicon")
    body = GOOD[GOOD.index(b"\n") + 1:]
    res = memcheck(sb, [INSTALLED], "good answer", user=user, env=ENV, expect_status=0)
    T.assertEqual(res.stdout, body)
    res = memcheck(sb, [INSTALLED, "-n"], "already seen with -n", user=user, env=ENV,
                   expect_status=0)
    T.assertEqual((res.stdout, res.log_texts()[-1]), (b"", "BUL not showing."))
    res = memcheck(sb, [INSTALLED, "-l", "-n"], "-l -n", user=user, env=ENV, expect_status=0)
    server.reply = b"BUL:0 1700000001\n" + b"z" * 4000
    res = memcheck(sb, [INSTALLED], "oversize reply", user=user, env=ENV, expect_status=0)
    T.assertEqual(len(res.stdout), 2047 - 17)
    server.reply = b""
    memcheck(sb, [INSTALLED], "empty reply", user=user, env=ENV, expect_status=0)
    server.reply = bytes(range(256)) * 3
    memcheck(sb, [INSTALLED], "garbage reply", user=user, env=ENV, expect_status=0)
    ns.hosts.clear()
    ns.txt[SERVICE] = [f"bulletin udp {server.port}"]
    memcheck(sb, [INSTALLED], "port from name service, no host", user=user, env=ENV,
             expect_status=0)
    ns.hosts[HOST] = ADDR
    ns.txt[SLOC] = ["bulletin.vg.test", "second.vg.test", "third.vg.test"]
    server.reply = GOOD
    res = memcheck(sb, [INSTALLED, "-login"], "three servers listed", user=user, env=ENV,
                   expect_status=0)
    T.assertEqual(res.stdout, body)


def case_bulfetch_failure_paths(sb):
    user, server, ns = site(sb)
    server.close()
    sb.services({})
    res = memcheck(sb, [INSTALLED], "no port, no fallback file", user=user, env=ENV,
                   expect_status=0)
    T.assertEqual(res.log_texts()[-1], "BUL losing: No such file or directory")
    sb.write_file(FALLBACK, OLD, mode=0o666)
    res = memcheck(sb, [INSTALLED], "fallback file read", user=user, env=ENV, expect_status=0)
    T.assertEqual(res.stdout, b"Cached copy.\n")
    ns.txt[SLOC] = S.NXDOMAIN
    memcheck(sb, [INSTALLED], "name not found", user=user, env=ENV, expect_status=0)
    ns.txt[SLOC] = S.REFUSED
    memcheck(sb, [INSTALLED], "name server refuses", user=user, env=ENV, expect_status=0)
    sb.nomicon_conf("lhs ns\n")
    memcheck(sb, [INSTALLED], "bad configuration", user=user, env=ENV, expect_status=0)
    memcheck(sb, [INSTALLED, "-n", "-l", "-v"], "too many arguments", user=user, env=ENV,
             expect_status=1)
    memcheck(sb, [INSTALLED, "-x"], "unknown option", user=user, env=ENV, expect_status=1)


def case_bulfetch_notice(sb):
    user, server, ns = site(sb)
    memcheck(sb, [INSTALLED, "-vane"], "notice program missing", user=user, env=ENV,
             expect_status=0)
    sb.install_notice(ARGS.recorder, status=0)
    res = memcheck(sb, [INSTALLED, "-v", "-l"], "notice program started", user=user, env=ENV,
                   expect_status=0, replaced=True)
    T.assertEqual(len(res.notices), 1)


def case_dirpick(sb):
    sb.install(ARGS.dirpick, DIRPICK)
    pkg = os.path.join(sb.root, "pkg")
    for d in ("arch/i386_linux1/bin", "lib", "man", "share/include"):
        os.makedirs(os.path.join(pkg, d))
    runs = [
        ("dirpick path type", [pkg, "bin"], 0),
        ("dirpick -l", ["-t", "lib", "-p", pkg, "-l"], None),
        ("dirpick -c", ["-t", "include", "-p", pkg, pkg + "/none", "-c"], None),
        ("dirpick -f -r -s -m", ["-t", "man", "-p", pkg, "-f", "%p/share/%t%", "-r", ":",
                                 "-s", "amd64_deb12", "-m", "x86"], None),
        ("dirpick nothing found", [pkg + "/absent", "etc"], 1),
        ("dirpick usage", ["-q"], 1),
    ]
    for label, args, status in runs:
        memcheck(sb, [DIRPICK] + args, label, env=dict(ENV, CALYX_SYS="i386_linux1"),
                 expect_status=status)


CASES = [
    ("bulfetch_server_paths", case_bulfetch_server_paths),
    ("bulfetch_failure_paths", case_bulfetch_failure_paths),
    ("bulfetch_notice", case_bulfetch_notice),
    ("dirpick", case_dirpick),
]


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--bulfetch", required=True)
    p.add_argument("--dirpick", required=True)
    p.add_argument("--recorder", required=True)
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("cases", nargs="*")
    ARGS = p.parse_args()
    for name in ("bulfetch", "dirpick", "recorder"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    with tempfile.NamedTemporaryFile("r", prefix="valgrind-figures-") as figures:
        ARGS.figures = figures.name
        status = S.run_cases(CASES, ARGS.cases, jobs=ARGS.jobs, timeout=280)
        sys.stdout.write(figures.read())
    sys.exit(status)


if __name__ == "__main__":
    main()
