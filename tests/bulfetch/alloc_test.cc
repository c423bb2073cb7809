// Allocation failures inside the bulletin client. This binary is linked
// with the client's calls to malloc and realloc wrapped, so that while
// failures are armed every one of them returns null.
#include "bulfetch/bulfetch.h"

#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/bulfetch/scratch_dir.h"

namespace {
bool failing = false;

struct FailingAllocations {
    FailingAllocations() { failing = true; }
    ~FailingAllocations() { failing = false; }
};
}  // namespace

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_realloc(void *p, std::size_t size);

void *__wrap_malloc(std::size_t size)
{
    return failing ? nullptr : __real_malloc(size);
}
void *__wrap_realloc(void *p, std::size_t size)
{
    return failing ? nullptr : __real_realloc(p, size);
}
}

namespace {

// Without memory for the seen-stamp path there is nowhere to look or to
// record: the bulletin is shown, as for a user without a home, and the
// file is neither read nor written.
TEST(Allocation, NoMemoryForTheSeenPathShowsAndRecordsNothing)
{
    ScratchDir home;
    const std::string seen = home / ".message_times";
    const char *bulletin = "BUL:0 50\nbody\n";

    // Normally a record of the same stamp refuses the bulletin under -new.
    write_file(seen, "BUL:0 50\n");
    ASSERT_EQ(check_viewable_at(bulletin, true, true, home.path.c_str()), BUL_ALREADY_SEEN);
    {
        FailingAllocations armed;
        EXPECT_EQ(check_viewable_at(bulletin, true, true, home.path.c_str()), 0);
    }
    EXPECT_EQ(read_file(seen), "BUL:0 50\n");

    // And nothing is created where there was no record.
    ASSERT_EQ(unlink(seen.c_str()), 0);
    {
        FailingAllocations armed;
        EXPECT_EQ(check_viewable_at(bulletin, false, true, home.path.c_str()), 0);
    }
    EXPECT_EQ(read_file(seen), kAbsent);
}

// Reading a file whose buffer can't be had fails with bul+0 and hands
// nothing out.
TEST(Allocation, ReadingWithoutMemoryHandsNothingOut)
{
    ScratchDir dir;
    const std::string path = dir / "data";
    write_file(path, "BUL:0 7\nx\n");
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char *buffer = nullptr;
    std::int32_t length = -1;
    ErrorCode code;
    {
        FailingAllocations armed;
        code = read_to_memory(&buffer, &length, fd);
    }
    close(fd);
    EXPECT_EQ(code, BUL_NO_MEMORY);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(length, -1);
}

}  // namespace
