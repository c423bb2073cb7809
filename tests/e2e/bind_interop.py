#!/usr/bin/python3
"""The name-service client against BIND 9 serving a zone of class HS.

Lookups through the lookup tool must return what the zone holds, and agree
with dig asking the same server the same names.

  bind_interop.py --lookup PATH [--bulfetch PATH] [case ...]
"""

import argparse
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox as S  # noqa: E402

T = unittest.TestCase()
T.maxDiff = None
ARGS = None

ORIGIN = "site.test"
LONG = "".join(chr(ord("a") + i % 26) for i in range(300))   # needs two strings

# Owner (relative to the origin), type, zone-file data.
ZONE = [
    ("bulletin.sloc.ns", "TXT", S.txt_zone_data("bul1.site.test")),
    ("bulletin.service.ns", "TXT", S.txt_zone_data("bulletin udp 2109 bull bullet")),
    ("bulletin.service.ns", "TXT", S.txt_zone_data("bulletin tcp 2110")),
    ("mail.service.ns", "TXT", S.txt_zone_data("mail;UDP;;25")),
    ("joined.sloc.ns", "TXT", S.txt_zone_data("ab", "cde")),
    ("empty.sloc.ns", "TXT", '""'),
    ("leading.sloc.ns", "TXT", S.txt_zone_data("", "after")),
    ("long.sloc.ns", "TXT", S.txt_zone_data(LONG[:255], LONG[255:])),
    ("quoted.sloc.ns", "TXT", S.txt_zone_data('say "hi"; x\\y')),
    ("pair.sloc.ns", "TXT", S.txt_zone_data("first.site.test")),
    ("pair.sloc.ns", "TXT", S.txt_zone_data("second.site.test")),
    ("alias.sloc.ns", "CNAME", "bulletin.sloc.ns"),
    ("away.sloc.ns", "CNAME", "target.elsewhere.test."),
    ("nolhs.sloc", "TXT", S.txt_zone_data("without left-hand side")),
    # Short site names after "@" expand through rhs-extension records.
    ("annex.rhs-extension.ns", "TXT", S.txt_zone_data(".annex.site.test")),
    ("nodot.rhs-extension.ns", "TXT", S.txt_zone_data("annex.site.test")),
    ("printer.sloc.ns.annex", "TXT", S.txt_zone_data("lp.annex.site.test")),
]


def lookup(sb, *args, env=None):
    res = sb.run([ARGS.lookup] + list(args), env=env or {"PATH": "/usr/bin:/bin"})
    return res


def dig(name, rd=True, server="127.0.0.1"):
    """(rcode, [joined TXT texts of class HS in the answer]) as dig sees it."""
    out = subprocess.run(
        ["dig", "+rec" if rd else "+norec", "+time=2", "+tries=1", "-c", "HS", "-t", "TXT",
         name, "@" + server], capture_output=True, text=True, check=True).stdout
    m = re.search(r"status: ([A-Z]+)", out)
    rcode = m.group(1) if m else None
    texts = []
    section = None
    for line in out.splitlines():
        if line.startswith(";; ") and line.endswith("SECTION:"):
            section = line[3:-len(" SECTION:")]
            continue
        if section != "ANSWER" or not line or line.startswith(";"):
            continue
        fields = line.split(None, 4)
        if len(fields) == 5 and fields[2] == "HS" and fields[3] == "TXT":
            texts.append(_join_dig_strings(fields[4]))
    return rcode, texts


def _join_dig_strings(data):
    """Joins the character-strings of dig's presentation form, undoing its
    escapes (\\" \\\\ and \\DDD)."""
    out = bytearray()
    i = 0
    while i < len(data):
        if data[i] != '"':
            i += 1
            continue
        i += 1
        while i < len(data) and data[i] != '"':
            if data[i] == "\\":
                if data[i + 1:i + 4].isdigit():
                    out.append(int(data[i + 1:i + 4]))
                    i += 4
                    continue
                i += 1
            out += data[i].encode()
            i += 1
        i += 1
    return out.decode()


def expect_strings(sb, name, typ, expected, env=None, dig_name=None, ordered=True):
    res = lookup(sb, name, typ, env=env)
    got = res.stdout.decode().split("\n")[:-1]
    T.assertEqual((res.status, res.stderr), (0, b""), (name, typ))
    if ordered:
        T.assertEqual(got, expected, (name, typ))
    else:
        T.assertEqual(sorted(got), sorted(expected), (name, typ))
    if dig_name is not None:
        rcode, texts = dig(dig_name)
        T.assertEqual(rcode, "NOERROR", dig_name)
        T.assertEqual(sorted(texts), sorted(got), f"dig disagrees on {dig_name}")


def expect_status(sb, name, typ, status, env=None):
    res = lookup(sb, name, typ, env=env)
    T.assertEqual((res.status, res.stdout, res.stderr), (1, b"", f"status {status}\n".encode()),
                  (name, typ))


CONF = "# site\nlhs .ns\nrhs .site.test\n"

# name, type, expected strings (in answer order), fully qualified name
# that dig asks (None: dig sees no TXT answer or the name is not queried
# as such).
STRING_LOOKUPS = [
    ("bulletin", "sloc", ["bul1.site.test"], "bulletin.sloc.ns.site.test"),
    ("BULLETIN", "sloc", ["bul1.site.test"], "BULLETIN.sloc.ns.site.test"),
    ("joined", "sloc", ["abcde"], "joined.sloc.ns.site.test"),
    ("empty", "sloc", [""], "empty.sloc.ns.site.test"),
    ("leading", "sloc", ["after"], "leading.sloc.ns.site.test"),
    ("long", "sloc", [LONG], "long.sloc.ns.site.test"),
    ("quoted", "sloc", ['say "hi"; x\\y'], "quoted.sloc.ns.site.test"),
    # A short site name after "@" expands through its rhs-extension record;
    # a name with a dot is taken as the right-hand side itself.
    ("printer@annex", "sloc", ["lp.annex.site.test"], "printer.sloc.ns.annex.site.test"),
    ("printer@nodot", "sloc", ["lp.annex.site.test"], "printer.sloc.ns.annex.site.test"),
    ("printer@annex.site.test", "sloc", ["lp.annex.site.test"], None),
    ("annex", "rhs-extension", [".annex.site.test"], "annex.rhs-extension.ns.site.test"),
]


def case_lookups_with_conf_file(sb):
    bind = sb.start_bind(ZONE, origin=ORIGIN)
    print(f"named answered {bind.ready_after:.2f} s after its start")
    sb.nomicon_conf(CONF)
    for name, typ, expected, fq in STRING_LOOKUPS:
        expect_strings(sb, name, typ, expected, dig_name=fq)
    # Two records: both, in whatever order the server gave them.
    expect_strings(sb, "pair", "sloc", ["first.site.test", "second.site.test"],
                   dig_name="pair.sloc.ns.site.test", ordered=False)
    # BIND follows a CNAME inside its zone, and the target's TXT records
    # count though their owner is another name.
    expect_strings(sb, "alias", "sloc", ["bul1.site.test"], dig_name="alias.sloc.ns.site.test")
    # A CNAME out of the zone comes alone: success with no string.
    res = lookup(sb, "away", "sloc")
    T.assertEqual((res.status, res.stdout, res.stderr), (0, b"", b""))
    # Names the zone lacks: not found. An "@" whose site has no
    # rhs-extension record: not found either.
    expect_status(sb, "nothing", "sloc", 1)
    T.assertEqual(dig("nothing.sloc.ns.site.test"), ("NXDOMAIN", []))
    expect_status(sb, "printer@nowhere", "sloc", 1)
    expect_status(sb, "bulletin", "nosuchtype", 1)


def case_service_lookups(sb):
    sb.start_bind(ZONE, origin=ORIGIN)
    sb.nomicon_conf(CONF)
    table = [
        # name, proto, line printed (None: not found)
        ("bulletin", "udp", "bulletin udp 2109 bull bullet"),
        ("bulletin", "UDP", "bulletin udp 2109 bull bullet"),
        ("bulletin", "tcp", "bulletin tcp 2110"),
        ("bulletin", "sctp", None),
        ("mail", "udp", "mail UDP 25"),
        ("nothing", "udp", None),
    ]
    for name, proto, line in table:
        res = sb.run([ARGS.lookup, "-s", name, proto], env={"PATH": "/usr/bin:/bin"})
        if line is None:
            T.assertEqual((res.status, res.stdout), (1, b""), (name, proto))
        else:
            T.assertEqual((res.status, res.stdout.decode(), res.stderr),
                          (0, line + "\n", b""), (name, proto))
    rcode, texts = dig("bulletin.service.ns.site.test")
    T.assertEqual((rcode, sorted(texts)),
                  ("NOERROR", ["bulletin tcp 2110", "bulletin udp 2109 bull bullet"]))


def case_lookups_with_nom_domain(sb):
    sb.start_bind(ZONE, origin=ORIGIN)
    env = {"PATH": "/usr/bin:/bin", "NOM_DOMAIN": ".site.test"}
    # No configuration file: the left-hand side defaults to ".ns".
    sb.nomicon_conf(None)
    expect_strings(sb, "bulletin", "sloc", ["bul1.site.test"], env=env,
                   dig_name="bulletin.sloc.ns.site.test")
    # A value without its leading dot gets one inserted.
    expect_strings(sb, "bulletin", "sloc", ["bul1.site.test"],
                   env=dict(env, NOM_DOMAIN="site.test"))
    # The variable overrides the file's right-hand side.
    sb.nomicon_conf("lhs .ns\nrhs .elsewhere.test\n")
    expect_strings(sb, "printer@annex", "sloc", ["lp.annex.site.test"], env=env)
    # A file without "lhs": names get no left-hand side.
    sb.nomicon_conf("rhs .site.test\n")
    expect_strings(sb, "nolhs", "sloc", ["without left-hand side"],
                   dig_name="nolhs.sloc.site.test")
    # A bad value in the file: configuration problem, which NOM_DOMAIN does
    # not rescue.
    sb.nomicon_conf("lhs ns\n")
    expect_status(sb, "bulletin", "sloc", 2, env=env)


def case_outside_every_zone(sb):
    """A name outside every HS zone is REFUSED by BIND without a root zone;
    the resolver gives up on a refusing server, a network problem."""
    sb.start_bind(ZONE, origin=ORIGIN)
    sb.nomicon_conf("lhs .ns\nrhs .elsewhere.test\n")
    T.assertEqual(dig("bulletin.sloc.ns.elsewhere.test"), ("REFUSED", []))
    expect_status(sb, "bulletin", "sloc", 3)


def case_outside_with_root_zone(sb):
    """With a root zone declared the same name is answered NXDOMAIN: not
    found."""
    sb.start_bind(ZONE, origin=ORIGIN, declare_root=True)
    sb.nomicon_conf("lhs .ns\nrhs .elsewhere.test\n")
    T.assertEqual(dig("bulletin.sloc.ns.elsewhere.test")[0], "NXDOMAIN")
    expect_status(sb, "bulletin", "sloc", 1)
    sb.nomicon_conf(CONF)
    expect_strings(sb, "bulletin", "sloc", ["bul1.site.test"],
                   dig_name="bulletin.sloc.ns.site.test")


def case_bulfetch_through_bind(sb):
    """The client finds its server and port in BIND's HS zone and the
    server's address in an IN zone beside it, in a view of its own."""
    server = sb.start_bulletin_server(b"BUL:0 77\nfrom behind BIND\n", address="127.0.0.5")
    zone = ZONE + [("bulletin.sloc.ns.annex", "TXT", S.txt_zone_data("bul.hosts.test")),
                   ("bulletin.service.ns.annex", "TXT",
                    S.txt_zone_data(f"bulletin udp {server.port}"))]
    sb.start_bind(zone, origin=ORIGIN, in_records=[("bul", "A", "127.0.0.5")],
                  in_origin="hosts.test")
    sb.nomicon_conf("lhs .ns\nrhs .annex.site.test\n")
    sb.install(ARGS.bulfetch, "/usr/local/bin/bulfetch")
    user = sb.add_user("carol", 1600)
    res = sb.run(["/usr/local/bin/bulfetch"], user=user, argv0="bulfetch",
                 env={"PATH": "/usr/bin:/bin"})
    T.assertEqual((res.status, res.stdout, res.stderr, res.log_texts()),
                  (0, b"from behind BIND\n", b"", ["BUL client started..."]))
    T.assertEqual(server.requests, [b"BUL:0"])


README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
# The guide's example addresses of the primary and the secondary, and where
# they stand in the sandbox.
GUIDE_ADDRESSES = {"192.0.2.53": "127.0.0.1", "192.0.2.54": "127.0.0.2"}


def guide_block(marker):
    """The indented block after "<!-- guide:MARKER -->" in the README, with
    the guide's addresses moved to the sandbox's."""
    with open(README) as f:
        text = f.read()
    m = re.search(r"<!-- guide:%s -->\n\n((?:    .*\n|\n)+)" % re.escape(marker), text)
    T.assertIsNotNone(m, marker)
    block = "".join(line[4:] + "\n" for line in m.group(1).rstrip("\n").split("\n"))
    for guide, local in GUIDE_ADDRESSES.items():
        block = block.replace(guide, local)
    return block


def case_site_guide_behind_systemd_resolved(sb):
    """The README's BIND primary and secondary, zone and nomicon.conf, on a
    machine whose resolv.conf names systemd-resolved's stub: the stub
    refuses class HS, and the nameserver lines still reach the site."""
    conf = guide_block("named.conf")
    sb.write_file("/etc/bind/named.conf", conf)
    sb.write_file("/etc/bind/db.nomicon.site.example", guide_block("zone"))
    for check in (["named-checkconf", "/etc/bind/named.conf"],
                  ["named-checkzone", "-q", "-c", "HS", "nomicon.site.example",
                   "/etc/bind/db.nomicon.site.example"]):
        r = subprocess.run(check, capture_output=True, text=True)
        T.assertEqual(r.returncode, 0, r.stdout + r.stderr)
    options = 'include "/etc/bind/named.conf.options";\n'
    T.assertIn(options, conf)
    sb.start_bind([], origin="nomicon.site.example", views=conf.replace(options, ""))
    sb.start_bind([], origin="nomicon.site.example", views=guide_block("secondary"),
                  address="127.0.0.2")
    sb.start_systemd_resolved(ARGS.resolver_root)
    server = sb.start_bulletin_server(b"BUL:0 5\nthrough the guide\n", address="127.0.0.5",
                                      port=2222)
    sb.write_file("/etc/hosts", "127.0.0.1 localhost\n127.0.0.5 bulletin1.site.example\n")
    sb.install(ARGS.bulfetch, "/usr/local/bin/bulfetch")
    user = sb.add_user("dora", 1700)
    name = "bulletin.sloc.ns.nomicon.site.example"
    T.assertEqual(dig(name, server="127.0.0.53")[0], "REFUSED")
    T.assertEqual(dig(name, server="127.0.0.2"), ("NOERROR", ["bulletin1.site.example"]))
    guide = guide_block("nomicon.conf")
    without = "".join(l + "\n" for l in guide.splitlines() if not l.startswith("nameserver"))
    for conf_text, stdout, logged in [
            (without, b"", ["BUL client started...", "BUL get server failed, Nomicon network problem",
                            "BUL put failed, No such file or directory",
                            "BUL losing: No such file or directory"]),
            (guide, b"through the guide\n", ["BUL client started..."]),
            # The primary is down: the secondary answers.
            (guide.replace("127.0.0.1", "127.0.0.9"), b"through the guide\n",
             ["BUL client started..."])]:
        sb.nomicon_conf(conf_text)
        res = sb.run(["/usr/local/bin/bulfetch"], user=user, argv0="bulfetch",
                     env={"PATH": "/usr/bin:/bin"})
        T.assertEqual((res.status, res.stdout, res.log_texts()), (0, stdout, logged), conf_text)
    # The fallback without the setting: the site's server after the stub in
    # resolv.conf, which the resolver library moves on to after REFUSED.
    sb.write_file("/etc/resolv.conf", "nameserver 127.0.0.53\nnameserver 127.0.0.1\n")
    sb.nomicon_conf(without)
    res = sb.run(["/usr/local/bin/bulfetch"], user=user, argv0="bulfetch",
                 env={"PATH": "/usr/bin:/bin"})
    T.assertEqual((res.stdout, res.log_texts()), (b"through the guide\n", ["BUL client started..."]))
    T.assertEqual(server.requests, [b"BUL:0"] * 3)


CASES = [
    ("lookups_with_conf_file", case_lookups_with_conf_file),
    ("service_lookups", case_service_lookups),
    ("lookups_with_nom_domain", case_lookups_with_nom_domain),
    ("outside_every_zone", case_outside_every_zone),
    ("outside_with_root_zone", case_outside_with_root_zone),
    ("bulfetch_through_bind", case_bulfetch_through_bind),
    ("site_guide_behind_systemd_resolved", case_site_guide_behind_systemd_resolved),
]


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--lookup", required=True)
    p.add_argument("--bulfetch", help="also run the client against BIND")
    p.add_argument("--resolver-debs",
                   help="folder for systemd-resolved, fetched with apt-get download")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("cases", nargs="*")
    ARGS = p.parse_args()
    ARGS.lookup = os.path.abspath(ARGS.lookup)
    cases = CASES
    if ARGS.bulfetch:
        ARGS.bulfetch = os.path.abspath(ARGS.bulfetch)
    else:
        cases = [c for c in CASES if c[0] not in ("bulfetch_through_bind",
                                                    "site_guide_behind_systemd_resolved")]
    if ARGS.bulfetch and (not ARGS.cases or "site_guide_behind_systemd_resolved" in ARGS.cases):
        # Fetched here, outside the namespaces, where the archive is reached;
        # never installed.
        if not ARGS.resolver_debs:
            p.error("--resolver-debs is needed for the case behind systemd-resolved")
        S.require_namespaces()
        try:
            ARGS.resolver_root = S.unpacked_debs(ARGS.resolver_debs,
                                                 ["systemd-resolved", "libsystemd-shared"])
        except (RuntimeError, subprocess.CalledProcessError) as e:
            print(f"FAIL: systemd-resolved could not be fetched: {e}")
            sys.exit(1)
    sys.exit(S.run_cases(cases, ARGS.cases, jobs=ARGS.jobs))


if __name__ == "__main__":
    main()
