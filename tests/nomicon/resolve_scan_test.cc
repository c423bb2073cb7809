// The answer scanner over composed bytes: name skipping, record fields,
// section walking, the copy buffer and every way a message can end early.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "nomicon/nomicon_internal.h"
#include "nomicon/resolve.h"
#include "tests/nomicon/fake_dns_server.h"

namespace {

int skip(const DnsBytes &bytes)
{
    // An exact-size heap copy, so that the sanitizer sees any read past it.
    std::vector<unsigned char> copy(bytes);
    return resolve_skip_name(copy.data(), copy.data() + copy.size());
}

TEST(ResolveSkipName, MeasuresNamesAndRejectsBadOnes)
{
    DnsBytes label63(64, 'a');
    label63[0] = 63;
    label63.push_back(0);
    DnsBytes longest;  // 255 bytes: four labels and the root
    for (int i = 0; i < 3; ++i) {
        longest.push_back(63);
        longest.insert(longest.end(), 63, 'x');
    }
    longest.push_back(61);
    longest.insert(longest.end(), 61, 'y');
    longest.push_back(0);
    DnsBytes too_long = longest;
    too_long.insert(too_long.begin(), {1, 'z'});
    struct Case {
        const char *what;
        DnsBytes bytes;
        int expected;
    } cases[] = {
        {"root only", {0}, 1},
        {"bare pointer", {0xC0, 0x0C}, 2},
        {"labels then root", dns_wire_name("ab.c"), 6},
        {"label then pointer", {2, 'a', 'b', 0xC0, 0x0C}, 5},
        {"trailing bytes not counted", {1, 'a', 0, 9, 9}, 3},
        {"63-byte label", label63, 65},
        {"255-byte name", longest, 255},
        {"name past 255 bytes", too_long, -1},
        {"label type 01", {0x40, 'a', 0}, -1},
        {"label type 10", {1, 'a', 0x80, 0}, -1},
        {"empty input", {}, -1},
        {"no terminating zero", {1, 'a'}, -1},
        {"label past the end", {5, 'a', 'b'}, -1},
        {"half a pointer", {1, 'a', 0xC0}, -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(skip(c.bytes), c.expected) << c.what;
}

std::string record_text(const ScannedRecord &r)
{
    return std::string(reinterpret_cast<const char *>(r.data), static_cast<std::size_t>(r.data_length));
}

ScannedMessage *scan(const DnsBytes &bytes)
{
    static std::vector<unsigned char> held;
    held = bytes;
    return resolve_scan(held.data(), static_cast<int>(held.size()));
}

TEST(ResolveScan, StoresEverySectionInOrder)
{
    DnsRr in_class = dns_txt({"in"}, DNS_CLASS_IN);
    DnsBytes m = dns_message("bulletin.sloc.ns.example",
                             {dns_txt({"one"}), dns_cname("x.example"), in_class},
                             {dns_txt({"auth"})}, {dns_txt({"add"}), {{0}, 1, 1, {127, 0, 0, 1}}});
    ScannedMessage *s = scan(m);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->answer_count, 3);
    EXPECT_EQ(s->additional_start, 4);
    EXPECT_EQ(s->record_count, 6);
    EXPECT_EQ(s->stored_count, 6);
    EXPECT_EQ(s->length, static_cast<int>(m.size()));
    struct Want {
        unsigned type, rr_class;
        std::string data;
    } want[] = {
        {16, 4, std::string("\3one")},
        {5, 4, std::string("\1x\7example\0", 11)},
        {16, 1, std::string("\2in")},
        {16, 4, std::string("\4auth")},
        {16, 4, std::string("\3add")},
        {1, 1, std::string("\177\0\0\1", 4)},
    };
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(s->records[i].rr_type, want[i].type) << i;
        EXPECT_EQ(s->records[i].rr_class, want[i].rr_class) << i;
        EXPECT_EQ(record_text(s->records[i]), want[i].data) << i;
        EXPECT_EQ(s->records[i].data[s->records[i].data_length], 0) << i;
    }
}

TEST(ResolveScan, MessageEndingBeforeTheCountsStopsCleanly)
{
    DnsBytes m = dns_message("a.b", {dns_txt({"one"})});
    // The header promises 3 answers and 2 additional records; only one
    // record is there.
    m[7] = 3;
    m[11] = 2;
    ScannedMessage *s = scan(m);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->answer_count, 3);
    EXPECT_EQ(s->record_count, 5);
    EXPECT_EQ(s->stored_count, 1);
    EXPECT_EQ(s->length, static_cast<int>(m.size()));
}

TEST(ResolveScan, MalformedMessagesFail)
{
    DnsBytes good = dns_message("a.b", {dns_txt({"one"})});
    DnsBytes bad_owner = good;
    bad_owner[good.size() - 16] = 0x80;  // the owner's pointer byte
    DnsBytes bad_question = good;
    bad_question[12] = 0x41;
    DnsBytes data_past_end = good;
    data_past_end[good.size() - 5] = 5;  // data length 5, 4 bytes there
    DnsBytes two_questions = good;
    two_questions[5] = 2;  // second question would read into the answer
    DnsBytes oversized(513, 0);
    DnsBytes big_data = dns_message("a", {{{0}, 16, 4, DnsBytes(480, 'x')}});
    struct Case {
        const char *what;
        DnsBytes bytes;
        int error;
    } cases[] = {
        {"bad owner label", bad_owner, EINVAL},
        {"bad question label", bad_question, EINVAL},
        {"data past the end", data_past_end, EINVAL},
        {"question past the end", two_questions, EINVAL},
        {"longer than a UDP message", oversized, EINVAL},
        {"shorter than a header", DnsBytes(11, 0), EINVAL},
    };
    for (const Case &c : cases) {
        errno = 0;
        EXPECT_EQ(scan(c.bytes), nullptr) << c.what;
        EXPECT_EQ(errno, c.error) << c.what;
    }
    // The largest data a UDP message can carry fits the copy buffer.
    ASSERT_NE(scan(big_data), nullptr);
}

TEST(ResolveScan, EveryCutOfGoodAnswersFailsOrStopsCleanly)
{
    DnsBytes answers[] = {
        dns_message("bulletin.sloc.ns.example", {dns_txt({"srv1.example"}), dns_txt({"ab", "cde"})},
                    {dns_txt({"auth"})}, {dns_txt({""})}),
        dns_message("x", {{{3, 'f', 'o', 'o', 0xC0, 0x0C}, 16, 4, dns_txt_data({"long", "er"})}}),
    };
    for (const DnsBytes &whole : answers) {
        ASSERT_NE(scan(whole), nullptr);
        for (std::size_t cut = 0; cut < whole.size(); ++cut) {
            DnsBytes part(whole.begin(), whole.begin() + static_cast<long>(cut));
            ScannedMessage *s = scan(part);
            // A cut at a record boundary is a message that ended early;
            // anywhere else the scan must fail. Either way nothing read
            // past the copy (the sanitizer build checks).
            if (s != nullptr) {
                EXPECT_EQ(s->length, static_cast<int>(cut)) << cut;
                EXPECT_LT(s->stored_count, s->record_count) << cut;
            }
        }
    }
}

TEST(TxtJoin, JoinsCharacterStringsWithinTheData)
{
    struct Case {
        const char *what;
        DnsBytes data;
        std::string expected;
    } cases[] = {
        {"two strings joined", dns_txt_data({"ab", "cde"}), "abcde"},
        {"empty data", {}, ""},
        {"leading empty string", dns_txt_data({"", "xyz"}), "xyz"},
        {"only empty strings", dns_txt_data({"", ""}), ""},
        {"zero bytes kept", dns_txt_data({std::string_view("a\0b", 3)}), std::string("a\0b", 3)},
        {"length past the data", {5, 'a', 'b'}, "ab"},
        {"length byte last", {2, 'a', 'b', 7}, "ab"},
    };
    for (const Case &c : cases) {
        std::vector<char> out(c.data.size() + 1, '#');
        std::size_t n = nomicon_txt_join(c.data.data(), c.data.size(), out.data());
        EXPECT_EQ(std::string(out.data(), n), c.expected) << c.what;
        EXPECT_EQ(out[n], '\0') << c.what;
    }
}

}  // namespace
