// A private directory under TMPDIR for one test, removed with its content,
// and the small file helpers the tests share.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>

#include <fcntl.h>
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

// What read_file gives for a file that can't be opened.
inline const std::string kAbsent = "<absent>";

inline std::string read_file(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return kAbsent;
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return out;
}

inline void write_file(const std::string &path, std::string_view data, mode_t mode = 0644)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
}
