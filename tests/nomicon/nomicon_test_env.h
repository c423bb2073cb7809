// Shared set-up for tests of the name-service client: a private
// configuration file, NOM_DOMAIN cleared, and a fresh initialisation.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "nomicon/nomicon.h"

struct NomiconTestFile {
    std::string dir;
    std::string path;
};

// A unique directory holding the configuration path (the file itself is
// not created); nomicon_config_file points at it.
inline NomiconTestFile nomicon_test_file()
{
    char templ[] = "/tmp/nomicon-test-XXXXXX";
    NomiconTestFile f{mkdtemp(templ), ""};
    f.path = f.dir + "/nomicon.conf";
    nomicon_config_file = f.path.c_str();
    return f;
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
