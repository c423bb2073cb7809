// Service entries from name-service strings, and the case-folding
// comparison of protocol names.
#include <arpa/inet.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netdb.h>
#include <string>
#include <vector>

#include "nomicon/cistrcmp.h"
#include "nomicon/nomicon.h"
#include "nomicon/nomicon_internal.h"
#include "tests/nomicon/fake_dns_server.h"
#include "tests/nomicon/nomicon_test_env.h"

namespace {

std::vector<std::string> alias_list(char **aliases)
{
    std::vector<std::string> out;
    for (; *aliases != nullptr; ++aliases)
        out.emplace_back(*aliases);
    return out;
}

TEST(ServiceString, ParsesFieldsOrPassesOver)
{
    using Strings = std::vector<std::string>;
    std::string many = "s udp 1";
    Strings fourteen;
    for (int i = 0; i < 16; ++i) {
        std::string alias = std::to_string(i);
        alias.insert(alias.begin(), 'a');
        many += ' ';
        many += alias;
        if (i < NOMICON_MAX_ALIASES)
            fourteen.push_back(alias);
    }
    struct Case {
        std::string text;
        const char *proto;
        bool match;
        const char *name, *protocol;
        unsigned port;
        Strings aliases;
    } cases[] = {
        {"bulletin udp 2001 bull", "udp", true, "bulletin", "udp", 2001, {"bull"}},
        {"bulletin;udp;2001;bull", "udp", true, "bulletin", "udp", 2001, {"bull"}},
        {" \tbulletin \t udp ;; \t;2001", "udp", true, "bulletin", "udp", 2001, {}},
        {"bulletin udp 2001 ", "udp", true, "bulletin", "udp", 2001, {}},
        {"bulletin udp 2001", "udp", true, "bulletin", "udp", 2001, {}},
        {"other UDP 7", "udp", true, "other", "UDP", 7, {}},
        {"b udp 1 x  y", "udp", true, "b", "udp", 1, {"x", "", "y"}},
        {"b udp 1 x\ty z ", "udp", true, "b", "udp", 1, {"x", "y", "z"}},
        {"b udp 1;\tx", "udp", true, "b", "udp", 1, {"", "x"}},
        {"b udp http", "udp", true, "b", "udp", 0, {}},
        {"b udp 65537", "udp", true, "b", "udp", 1, {}},
        {"b udp -1", "udp", true, "b", "udp", 65535, {}},
        {"b udp 99999999999999999999", "udp", true, "b", "udp", 65535, {}},
        {"b udp 12ab", "udp", true, "b", "udp", 12, {}},
        {many, "udp", true, "s", "udp", 1, fourteen},
        {"b tcp 1", "udp", false, nullptr, nullptr, 0, {}},
        {"b udp\t1", "udp", false, nullptr, nullptr, 0, {}},
        {"b ;udp 1", "udp", false, nullptr, nullptr, 0, {}},
        {"b udp", "udp", false, nullptr, nullptr, 0, {}},
        {"b udp ", "udp", false, nullptr, nullptr, 0, {}},
        {"b udp ;\t ", "udp", false, nullptr, nullptr, 0, {}},
        {"bulletin", "udp", false, nullptr, nullptr, 0, {}},
        {"", "udp", false, nullptr, nullptr, 0, {}},
        {"   ", "udp", false, nullptr, nullptr, 0, {}},
    };
    for (Case &c : cases) {
        std::vector<char> text(c.text.begin(), c.text.end());
        text.push_back('\0');
        struct servent entry {};
        ASSERT_EQ(nomicon_parse_service(text.data(), c.proto, &entry), c.match) << c.text;
        if (!c.match)
            continue;
        EXPECT_STREQ(entry.s_name, c.name) << c.text;
        EXPECT_STREQ(entry.s_proto, c.protocol) << c.text;
        EXPECT_EQ(entry.s_port, static_cast<int>(htons(static_cast<std::uint16_t>(c.port)))) << c.text;
        EXPECT_EQ(alias_list(entry.s_aliases), c.aliases) << c.text;
    }
}

TEST(CiStrCmp, FoldsAsciiAndUpperHalfCapitals)
{
    struct Case {
        const char *a, *b;
        int sign;
    } cases[] = {
        {"udp", "UDP", 0},
        {"UdP", "uDp", 0},
        {"", "", 0},
        {"\xC1\xDA", "\xE1\xFA", 0},
        {"\xC0", "\xE0", -1},     // 0xC0 folds to itself
        {"\xDB", "\xFB", -1},     // as does 0xDB
        {"udp", "udpx", -1},
        {"udpx", "udp", 1},
        {"tcp", "udp", -1},
        {"\xFF", "a", 1},        // bytes compare unsigned
        {"[", "a", -1},          // "[" follows "Z" but precedes "a"
    };
    for (const Case &c : cases) {
        int r = cistrcmp(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " / " << c.b;
    }
    EXPECT_EQ(cistrcmp("ab", "aD"), 'b' - 'd');
    for (int i = 0; i < 256; ++i) {
        bool folds = (i >= 0x41 && i <= 0x5A) || (i >= 0xC1 && i <= 0xDA);
        EXPECT_EQ(fold_table[i], folds ? i + 0x20 : i) << i;
    }
}

class NomiconService : public NomiconServerTest {
protected:
    void SetUp() override
    {
        NomiconServerTest::SetUp();
        configure_test_domain();
    }
};

TEST_F(NomiconService, FirstMatchingStringBecomesTheEntry)
{
    fake_dns_set_reply(server, [](const DnsBytes &q) {
        return dns_reply(q, {dns_txt({"bulletin tcp 2001"}), dns_txt({"bulletin udp"}),
                             dns_txt({"bull UDP 2002 b1 b2"}), dns_txt({"bulletin udp 2003"})});
    });
    nomicon_status = 0;
    struct servent *entry = nomicon_getservbyname("bulletin", "udp");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(dns_question_name(fake_dns_last_query(server)), "bulletin.service.ns.test.example");
    EXPECT_STREQ(entry->s_name, "bull");
    EXPECT_STREQ(entry->s_proto, "UDP");
    EXPECT_EQ(ntohs(static_cast<std::uint16_t>(entry->s_port)), 2002);
    EXPECT_EQ(alias_list(entry->s_aliases), (std::vector<std::string>{"b1", "b2"}));
    EXPECT_EQ(nomicon_error(), 0);
    // The matching string began with its name field: s_name is its start.
    std::free(entry->s_name);
    std::free(entry);
}

TEST_F(NomiconService, NoMatchAndFailedLookupAreNull)
{
    fake_dns_set_reply(server, [](const DnsBytes &q) {
        return dns_reply(q, {dns_txt({"bulletin tcp 2001"}), dns_txt({"bulletin udp"})});
    });
    nomicon_status = 0;
    EXPECT_EQ(nomicon_getservbyname("bulletin", "udp"), nullptr);
    EXPECT_EQ(nomicon_error(), 0);

    fake_dns_set_reply(server, [](const DnsBytes &q) { return dns_reply(q, {}, {}, {}, DNS_RCODE_NXDOMAIN); });
    EXPECT_EQ(nomicon_getservbyname("bulletin", "udp"), nullptr);
    EXPECT_EQ(nomicon_error(), 1);
}

}  // namespace
