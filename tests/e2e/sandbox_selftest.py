#!/usr/bin/python3
"""Checks of the sandbox's own parsers and stand-in answers, which every
end-to-end verdict rests on. No namespaces needed."""

import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox as S  # noqa: E402


class SyslogParsing(unittest.TestCase):
    def test_datagrams(self):
        table = [
            # datagram, (facility, priority, ident, pid, text) or None
            (b"<14>Dec  8 03:54:43 bulfetch[42]: BUL client started...",
             (1, 6, "bulfetch", 42, "BUL client started...")),
            (b"<14>Dec 18 03:54:43 /usr/local/bin/bulfetch[7]: BUL not showing.",
             (1, 6, "/usr/local/bin/bulfetch", 7, "BUL not showing.")),
            # The text may itself look like an identity.
            (b"<14>Jan  1 00:00:00 ./b[9]: BUL losing: x[3]: y",
             (1, 6, "./b", 9, "BUL losing: x[3]: y")),
            (b"<30>Dec  8 03:54:43 d[1]: text\n", (3, 6, "d", 1, "text")),
            (b"<14>Dec  8 03:54:43 bulfetch: no pid", None),
            (b"BUL client started...", None),
            (b"", None),
        ]
        for data, want in table:
            line = S.parse_syslog(data)
            got = None if line is None else (line.facility, line.priority, line.ident,
                                             line.pid, line.text)
            self.assertEqual(got, want, data)


def decode_answer(msg):
    """(id, rcode, [(class, type, rdata)]) of an answer from the stand-in."""
    qid, flags, qd, an = struct.unpack("!HHHH", msg[:8])
    pos = 12
    for _ in range(qd):
        while msg[pos]:
            pos += 1 + msg[pos]
        pos += 5
    records = []
    for _ in range(an):
        if msg[pos] & 0xC0 == 0xC0:
            pos += 2
        else:
            while msg[pos]:
                pos += 1 + msg[pos]
            pos += 1
        rtype, rclass, _, rdlen = struct.unpack("!HHIH", msg[pos:pos + 10])
        records.append((rclass, rtype, msg[pos + 10:pos + 10 + rdlen]))
        pos += 10 + rdlen
    assert pos == len(msg), "trailing bytes"
    return qid, flags & 0xF, records


def query(name, qclass=S.CLASS_HS, qtype=S.TYPE_TXT, qid=0x1234):
    return (struct.pack("!HHHHHH", qid, 0x0100, 1, 0, 0, 0) + S.encode_name(name)
            + struct.pack("!HH", qtype, qclass))


class StubNameServerAnswers(unittest.TestCase):
    def setUp(self):
        self.ns = S.StubNameServer.__new__(S.StubNameServer)
        self.ns.txt = {"a.sloc.ns.x": ["one", b"", "z" * 300],
                       "r.sloc.ns.x": S.REFUSED,
                       "s.sloc.ns.x": S.SILENT,
                       "raw.sloc.ns.x": S.Raw(b"\xff\xff\x81\x80rest")}
        self.ns.hosts = {"h.x": "127.0.0.9"}
        self.ns.queries = []
        self.ns._lock = S.threading.Lock()

    def test_answers(self):
        table = [
            # name, class, type, expected (rcode, records) or raw bytes or None
            ("A.SLOC.NS.X.", S.CLASS_HS, S.TYPE_TXT,
             (0, [(4, 16, b"\x03one"), (4, 16, b"\x00"),
                  (4, 16, b"\xff" + b"z" * 255 + b"\x2d" + b"z" * 45)])),
            ("a.sloc.ns.x", S.CLASS_IN, S.TYPE_TXT, (3, [])),
            ("r.sloc.ns.x", S.CLASS_HS, S.TYPE_TXT, (5, [])),
            ("nothing", S.CLASS_HS, S.TYPE_TXT, (3, [])),
            ("h.x", S.CLASS_IN, S.TYPE_A, (0, [(1, 1, bytes([127, 0, 0, 9]))])),
            ("h.x", S.CLASS_IN, 28, (3, [])),
            ("s.sloc.ns.x", S.CLASS_HS, S.TYPE_TXT, None),
            ("raw.sloc.ns.x", S.CLASS_HS, S.TYPE_TXT, b"\x12\x34\x81\x80rest"),
        ]
        for name, qclass, qtype, want in table:
            reply = self.ns.answer(query(name, qclass, qtype))
            if want is None or isinstance(want, bytes):
                self.assertEqual(reply, want, name)
                continue
            qid, rcode, records = decode_answer(reply)
            self.assertEqual((qid, rcode, records), (0x1234,) + want, (name, qclass, qtype))
        self.assertEqual([q.name for q in self.ns.queries][:2], ["A.SLOC.NS.X", "a.sloc.ns.x"])
        self.assertTrue(all(q.recursion_desired for q in self.ns.queries))

    def test_malformed_queries_are_ignored(self):
        good = query("a.sloc.ns.x")
        for cut in range(len(good)):
            self.assertIsNone(self.ns.answer(good[:cut]), cut)


class ZoneText(unittest.TestCase):
    def test_txt_data_quotes(self):
        self.assertEqual(S.txt_zone_data('a "b"', "c\\d", ""), '"a \\"b\\"" "c\\\\d" ""')


if __name__ == "__main__":
    unittest.main(verbosity=1)
