// Allocation failures inside the name-service client. The test binary is
// linked with the client's calls to malloc, calloc and strdup wrapped, so
// that the n-th of them can be made to fail.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <netdb.h>

#include "nomicon/nomicon.h"
#include "tests/nomicon/fake_dns_server.h"
#include "tests/nomicon/nomicon_test_env.h"

namespace {
// 0: no failure; n: the n-th allocation from now fails (and later ones
// succeed).
int fail_at = 0;
int allocations = 0;

bool fail_now()
{
    return fail_at != 0 && ++allocations == fail_at;
}

void fail_allocation(int n)
{
    fail_at = n;
    allocations = 0;
}
}  // namespace

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
char *__real_strdup(const char *s);

void *__wrap_malloc(std::size_t size)
{
    return fail_now() ? nullptr : __real_malloc(size);
}
void *__wrap_calloc(std::size_t count, std::size_t size)
{
    return fail_now() ? nullptr : __real_calloc(count, size);
}
char *__wrap_strdup(const char *s)
{
    return fail_now() ? nullptr : __real_strdup(s);
}
}

namespace {

class NomiconAlloc : public NomiconServerTest {
protected:
    void TearDown() override
    {
        fail_allocation(0);
        NomiconServerTest::TearDown();
    }
};

TEST_F(NomiconAlloc, CopyOfASideThatCannotBeMadeIsAConfigurationProblem)
{
    nomicon_write_config(file, "lhs .a\nrhs .b\n");
    struct Case {
        const char *what;
        const char *nom_domain;
        int failing;
    } cases[] = {
        {"lhs copy", nullptr, 1},
        {"rhs copy", nullptr, 2},
        {"NOM_DOMAIN copy", ".env", 3},
    };
    for (const Case &c : cases) {
        if (c.nom_domain)
            setenv("NOM_DOMAIN", c.nom_domain, 1);
        fail_allocation(c.failing);
        EXPECT_EQ(nomicon_init(), 2) << c.what;
        EXPECT_EQ(allocations, c.failing) << c.what;
        // The next build reads the configuration again and succeeds.
        fail_allocation(0);
        char *built = nomicon_to_bind("n", "t");
        ASSERT_NE(built, nullptr) << c.what;
        EXPECT_STREQ(built, c.nom_domain ? "n.t.a.env" : "n.t.a.b") << c.what;
        unsetenv("NOM_DOMAIN");
    }
}

TEST_F(NomiconAlloc, ResultStringThatCannotBeMadeFailsTheLookup)
{
    nomicon_write_config(file, "rhs .r\n");
    ASSERT_EQ(nomicon_init(), 0);
    fake_dns_set_reply(server, [](const DnsBytes &q) {
        return dns_reply(q, {dns_txt({"one"}), dns_txt({"two"}), dns_txt({"three"})});
    });
    // The second string fails: the first is freed again (the leak checks
    // of the sanitizer and valgrind runs would see it otherwise).
    fail_allocation(2);
    EXPECT_EQ(nomicon_resolve("n", "t"), nullptr);
    EXPECT_EQ(nomicon_error(), 1);
    fail_allocation(0);
    char **r = nomicon_resolve("n", "t");
    ASSERT_NE(r, nullptr);
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(r[i], nullptr);
        std::free(r[i]);
    }
    EXPECT_EQ(r[3], nullptr);
}

TEST_F(NomiconAlloc, ServiceEntryThatCannotBeMadeIsNull)
{
    nomicon_write_config(file, "rhs .r\n");
    ASSERT_EQ(nomicon_init(), 0);
    fake_dns_set_reply(server, [](const DnsBytes &q) {
        return dns_reply(q, {dns_txt({"svc udp 7 first"})});
    });
    struct servent *entry = nomicon_getservbyname("svc", "udp");
    ASSERT_NE(entry, nullptr);
    char **aliases = entry->s_aliases;
    ASSERT_STREQ(aliases[0], "first");

    fake_dns_set_reply(server, [](const DnsBytes &q) {
        return dns_reply(q, {dns_txt({"svc udp 8 second"})});
    });
    // One string, then the entry: the entry fails, and the shared alias
    // vector still holds what the last success left. The lookup's string,
    // which nothing returned can reach, is dropped from the result vector
    // and freed (the sanitizer build's leak check sees it otherwise).
    char **results = nomicon_resolve("other", "t");
    ASSERT_NE(results, nullptr);
    std::free(results[0]);
    fail_allocation(2);
    EXPECT_EQ(nomicon_getservbyname("svc", "udp"), nullptr);
    EXPECT_EQ(nomicon_error(), 0);
    EXPECT_STREQ(aliases[0], "first");
    EXPECT_EQ(results[0], nullptr);
    fail_allocation(0);
    std::free(entry->s_name);
    std::free(entry);
}

}  // namespace
