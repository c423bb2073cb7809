// A private directory under TMPDIR for one test, removed with its content.
#pragma once

#include <cstdlib>
#include <string>

#include <ftw.h>
#include <unistd.h>

#include <gtest/gtest.h>

struct ScratchDir {
    std::string path;

    ScratchDir()
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/bulfetch-test-XXXXXX";
        char *made = mkdtemp(pattern.data());
        if (made == nullptr)
            ADD_FAILURE() << "mkdtemp failed";
        else
            path = made;
    }
    ~ScratchDir()
    {
        if (path.empty())
            return;
        nftw(path.c_str(),
             [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); },
             16, FTW_DEPTH | FTW_PHYS);
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};
