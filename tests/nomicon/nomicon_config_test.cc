// Configuration reading and query-name building, without the network.
#include <arpa/inet.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

#include "nomicon/nomicon.h"
#include "nomicon/nomicon_internal.h"
#include "tests/nomicon/nomicon_test_env.h"

namespace {

class NomiconConfig : public ::testing::Test {
protected:
    void SetUp() override
    {
        file = nomicon_test_file();
        nomicon_use_test_file(file);
        unsetenv("NOM_DOMAIN");
    }
    void TearDown() override
    {
        unsetenv("NOM_DOMAIN");
        nomicon_remove_test_file(file);
    }
    NomiconTestFile file;
};

std::optional<std::string> build(const char *name, const char *type)
{
    char *built = nomicon_to_bind(name, type);
    if (built == nullptr)
        return std::nullopt;
    return std::string(built);
}

TEST_F(NomiconConfig, FileAndEnvironmentGiveTheSides)
{
    const std::string dflt = std::string("bulletin.sloc.ns") + NOMICON_DEFAULT_RHS;
    const std::string long_comment = "# " + std::string(260, 'c') + "rhs .piece\n";
    const std::string long_value = "lhs ." + std::string(300, 'v') + "\nrhs .r\n";
    struct Case {
        const char *what;
        std::optional<std::string> file;  // nullopt: no file
        const char *nom_domain;           // null: unset
        int status;
        std::optional<std::string> name;  // for ("bulletin", "sloc")
    } cases[] = {
        {"no file: built-in sides", std::nullopt, nullptr, 0, dflt},
        {"no file, NOM_DOMAIN", std::nullopt, ".env.example", 0, "bulletin.sloc.ns.env.example"},
        {"no file, empty NOM_DOMAIN", std::nullopt, "", 0, "bulletin.sloc.ns."},
        {"rhs only: no lhs part", "rhs .r.example\n", nullptr, 0, "bulletin.sloc.r.example"},
        {"both sides", "lhs .x\nrhs .r\n", nullptr, 0, "bulletin.sloc.x.r"},
        {"NOM_DOMAIN overrides the file", "lhs .x\nrhs .r\n", ".e", 0, "bulletin.sloc.x.e"},
        {"NOM_DOMAIN without a dot", "", "e.example", 0, "bulletin.sloc.e.example"},
        {"lhs without its dot", "lhs ns\nrhs .r\n", ".e", 2, std::nullopt},
        {"rhs without its dot", "rhs r\n", nullptr, 2, std::nullopt},
        {"bad value after good ones", "lhs .a\nrhs x\n", nullptr, 2, std::nullopt},
        {"empty file", "", nullptr, 2, std::nullopt},
        {"lhs only", "lhs .x\n", nullptr, 2, std::nullopt},
        {"keys are lower case", "RHS .r\n", nullptr, 2, std::nullopt},
        {"separator mixes", "lhs==.x\nrhs =\t= .r\n", nullptr, 0, "bulletin.sloc.x.r"},
        {"empty lhs adds an empty label", "lhs\t=\nrhs .r\n", nullptr, 0, "bulletin.sloc..r"},
        {"trailing blanks kept", "rhs .r  \n", nullptr, 0, "bulletin.sloc.r  "},
        {"hash inside a value kept", "rhs .r #c\n", nullptr, 0, "bulletin.sloc.r #c"},
        {"last line without newline", "rhs .r", nullptr, 0, "bulletin.sloc.r"},
        {"last line ends after separators", "rhs .r\nlhs =", nullptr, 2, std::nullopt},
        {"second rhs wins", "rhs .a\nrhs .b\n", nullptr, 0, "bulletin.sloc.b"},
        {"comments and empty lines", "#rhs x\n\n\nrhs .r\n", nullptr, 0, "bulletin.sloc.r"},
        {"indented hash is a key", "  #rhs = x\nrhs .r\n", nullptr, 0, "bulletin.sloc.r"},
        {"indented hash, no separator", "  #rhs\nrhs .r\n", nullptr, 0, "bulletin.sloc.r"},
        {"blanks-only line", " \t \nrhs .r\n", nullptr, 0, "bulletin.sloc.r"},
        {"word without separator", "rhs\nrhs .r\n", nullptr, 0, "bulletin.sloc.r"},
        {"other keys ignored", "domain x\nrhs .r\n", nullptr, 0, "bulletin.sloc.r"},
        {"262-character pieces", long_comment, nullptr, 0, "bulletin.sloc.piece"},
        {"name past 255 characters", long_value, nullptr, 0, std::nullopt},
    };
    for (const Case &c : cases) {
        if (c.file)
            nomicon_write_config(file, *c.file);
        else
            unlink(file.path.c_str());
        if (c.nom_domain)
            setenv("NOM_DOMAIN", c.nom_domain, 1);
        else
            unsetenv("NOM_DOMAIN");
        nomicon_status = -1;
        EXPECT_EQ(build("bulletin", "sloc"), c.name) << c.what;
        // A name that does not fit is a failed build, not a bad configuration.
        int status = c.name || c.status == 2 ? c.status : 1;
        EXPECT_EQ(nomicon_error(), status) << c.what;
        EXPECT_EQ(nomicon_init(), c.status) << c.what;
    }
}

TEST_F(NomiconConfig, NameBufferBoundary)
{
    nomicon_write_config(file, "rhs .r\n");
    nomicon_init();
    // name + ".sloc" + ".r" fills the 255 characters exactly.
    std::string fits(248, 'n');
    EXPECT_EQ(build(fits.c_str(), "sloc"), fits + ".sloc.r");
    EXPECT_EQ(nomicon_error(), 0);
    std::string over(249, 'n');
    EXPECT_EQ(build(over.c_str(), "sloc"), std::nullopt);
    EXPECT_EQ(nomicon_error(), 1);
    std::string huge(4000, 'n');
    EXPECT_EQ(build(huge.c_str(), "sloc"), std::nullopt);
    EXPECT_EQ(build("a", std::string(300, 't').c_str()), std::nullopt);
}

TEST_F(NomiconConfig, DottedDomainAfterAtIsTheRightHandSide)
{
    nomicon_write_config(file, "lhs .ns\nrhs .r\n");
    nomicon_init();
    EXPECT_EQ(build("L@p1.p2", "sloc"), "L.sloc.ns.p1.p2");
    EXPECT_EQ(build("@.p", "sloc"), ".sloc.ns.p");
    EXPECT_EQ(build("L@a.b@c", "sloc"), "L.sloc.ns.a.b@c");
}

TEST_F(NomiconConfig, InitialisesLazilyAndRetriesOnlyWhileBroken)
{
    nomicon_write_config(file, "rhs .first\n");
    nomicon_status = -1;
    EXPECT_EQ(build("b", "t"), "b.t.first");

    // Configured: a changed file is not read again, whatever lookups
    // report afterwards.
    nomicon_write_config(file, "rhs .second\n");
    EXPECT_EQ(build("b", "t"), "b.t.first");
    for (int failed : {1, 3}) {
        nomicon_status = failed;
        EXPECT_EQ(build("b", "t"), "b.t.first");
        EXPECT_EQ(nomicon_error(), failed);
    }

    // Broken: every build reads the configuration again.
    nomicon_write_config(file, "rhs bad\n");
    EXPECT_EQ(nomicon_init(), 2);
    EXPECT_EQ(build("b", "t"), std::nullopt);
    nomicon_write_config(file, "");
    EXPECT_EQ(build("b", "t"), std::nullopt);
    EXPECT_EQ(nomicon_error(), 2);
    setenv("NOM_DOMAIN", ".env", 1);
    EXPECT_EQ(build("b", "t"), "b.t.env");
    EXPECT_EQ(nomicon_error(), 0);
}

// The configured name servers as "address port" strings, in order.
std::vector<std::string> nameservers()
{
    std::vector<std::string> out;
    for (const sockaddr_storage &s : nomicon_nameservers()) {
        char text[INET6_ADDRSTRLEN] = "?";
        const void *address = &reinterpret_cast<const sockaddr_in6 *>(&s)->sin6_addr;
        if (s.ss_family == AF_INET)
            address = &reinterpret_cast<const sockaddr_in *>(&s)->sin_addr;
        inet_ntop(s.ss_family, address, text, sizeof text);
        out.push_back(std::string(text) + " " +
                      std::to_string(ntohs(reinterpret_cast<const sockaddr_in *>(&s)->sin_port)));
    }
    return out;
}

TEST_F(NomiconConfig, NameserverLines)
{
    using List = std::vector<std::string>;
    struct Case {
        const char *what;
        const char *file;
        int status;
        List servers;
    } cases[] = {
        {"none: the resolver's own", "rhs .r\n", 0, {}},
        {"file order, IPv6 too", "nameserver 10.0.0.2\nrhs .r\nnameserver=::1\n", 0,
         {"10.0.0.2 53", "::1 53"}},
        {"blanks, CR and a comment after", "nameserver\t192.0.2.1 \t\r# site\nnameserver 192.0.2.2#x\nrhs .r\n",
         0, {"192.0.2.1 53", "192.0.2.2 53"}},
        {"first three used, the rest checked", "rhs .r\nnameserver 1.1.1.1\nnameserver 2.2.2.2\n"
         "nameserver 3.3.3.3\nnameserver 4.4.4.4\n", 0, {"1.1.1.1 53", "2.2.2.2 53", "3.3.3.3 53"}},
        {"a bad fourth still fails", "rhs .r\nnameserver 1.1.1.1\nnameserver 2.2.2.2\n"
         "nameserver 3.3.3.3\nnameserver 4.4.4\n", 2, {}},
        {"host name", "rhs .r\nnameserver ns.example\n", 2, {}},
        {"short IPv4", "rhs .r\nnameserver 10.1\n", 2, {}},
        {"port not taken", "rhs .r\nnameserver 10.0.0.1:53\n", 2, {}},
        {"text after the address", "rhs .r\nnameserver 10.0.0.1 10.0.0.2\n", 2, {}},
        {"empty value", "rhs .r\nnameserver =\n", 2, {}},
        {"commented out", "rhs .r\n#nameserver 10.0.0.1\n", 0, {}},
        {"upper case key ignored", "rhs .r\nNAMESERVER 10.0.0.1\n", 0, {}},
    };
    for (const Case &c : cases) {
        nomicon_write_config(file, c.file);
        EXPECT_EQ(nomicon_init(), c.status) << c.what;
        EXPECT_EQ(nameservers(), c.servers) << c.what;
    }
    // NOM_DOMAIN sets only the right-hand side; an unreadable file names no
    // server.
    setenv("NOM_DOMAIN", ".e", 1);
    nomicon_write_config(file, "nameserver 10.0.0.9\n");
    EXPECT_EQ(nomicon_init(), 0);
    EXPECT_EQ(nameservers(), List{"10.0.0.9 53"});
    unlink(file.path.c_str());
    EXPECT_EQ(nomicon_init(), 0);
    EXPECT_EQ(nameservers(), List{});
}

TEST(NomiconConfigLine, ClassifiesPieces)
{
    struct Case {
        const char *piece;
        ConfigLineKind kind;
        const char *value;
    } cases[] = {
        {"lhs .ns\n", CONFIG_LHS, ".ns"},
        {"rhs=.r\n", CONFIG_RHS, ".r"},
        {"\t rhs = = .r x \n", CONFIG_RHS, ".r x "},
        {"rhs =\n", CONFIG_RHS, ""},
        {"rhs =", CONFIG_INVALID, nullptr},
        {"rhs r\n", CONFIG_INVALID, nullptr},
        {"lhs \n", CONFIG_LHS, ""},
        {"rhs .a\r\n", CONFIG_RHS, ".a\r"},
        {"# lhs .x\n", CONFIG_IGNORE, nullptr},
        {"\n", CONFIG_IGNORE, nullptr},
        {"", CONFIG_IGNORE, nullptr},
        {"   ", CONFIG_IGNORE, nullptr},
        {"lhs", CONFIG_IGNORE, nullptr},
        {"lhs\n", CONFIG_IGNORE, nullptr},
        {"lhsx .a\n", CONFIG_IGNORE, nullptr},
        {"foo bar\n", CONFIG_IGNORE, nullptr},
        {"=.a\n", CONFIG_IGNORE, nullptr},
    };
    for (const Case &c : cases) {
        ConfigLine line = nomicon_config_line(c.piece);
        EXPECT_EQ(line.kind, c.kind) << '"' << c.piece << '"';
        if (c.value) {
            EXPECT_EQ(line.value, c.value) << '"' << c.piece << '"';
        }
    }
}

}  // namespace
