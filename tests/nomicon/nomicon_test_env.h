// Shared set-up for tests of the name-service client: a private
// configuration file, NOM_DOMAIN cleared, and a stand-in name server that
// the resolver is pointed at.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "nomicon/nomicon.h"
#include "tests/nomicon/fake_dns_server.h"

struct NomiconTestFile {
    std::string dir;
    std::string path;
};

// A unique directory holding the configuration path (the file itself is
// not created).
inline NomiconTestFile nomicon_test_file()
{
    char templ[] = "/tmp/nomicon-test-XXXXXX";
    NomiconTestFile f{mkdtemp(templ), ""};
    f.path = f.dir + "/nomicon.conf";
    return f;
}

// Points the client at f's configuration path. f must stay where it is for
// as long as the client may read the path.
inline void nomicon_use_test_file(const NomiconTestFile &f)
{
    nomicon_config_file = f.path.c_str();
}

inline void nomicon_write_config(const NomiconTestFile &f, const std::string &text)
{
    std::FILE *out = std::fopen(f.path.c_str(), "w");
    if (out == nullptr)
        std::abort();
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
}

inline void nomicon_remove_test_file(const NomiconTestFile &f)
{
    unlink(f.path.c_str());
    rmdir(f.dir.c_str());
}

// One quick try (1-second interval) keeps silent-server cases short.
inline constexpr std::int32_t NOMICON_ONE_QUICK_TRY = (1 << 16) | 1;

// A private configuration path, NOM_DOMAIN cleared, and a stand-in name
// server with the resolver pointed at it and one quick try per lookup.
class NomiconServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        file = nomicon_test_file();
        nomicon_use_test_file(file);
        unsetenv("NOM_DOMAIN");
        server = fake_dns_start();
        ASSERT_NE(server, nullptr);
        fake_dns_point_resolver(server);
        nomicon_tuning = NOMICON_ONE_QUICK_TRY;
    }
    void TearDown() override
    {
        unsetenv("NOM_DOMAIN");
        nomicon_tuning = 0;
        fake_dns_stop(server);
        nomicon_remove_test_file(file);
    }
    // The configuration every lookup test starts from.
    void configure_test_domain()
    {
        nomicon_write_config(file, "lhs .ns\nrhs .test.example\n");
        ASSERT_EQ(nomicon_init(), 0);
    }
    NomiconTestFile file;
    FakeDnsServer *server = nullptr;
};
