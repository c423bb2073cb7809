#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kSeenFile = "/.message_times";

// Plain concatenation: a home of "/" gives "//.message_times".
char *seen_path(const char *home_dir)
{
    std::size_t home = std::strlen(home_dir);
    char *path = static_cast<char *>(std::malloc(home + kSeenFile.size() + 1));
    if (path == nullptr)
        return nullptr;
    std::memcpy(path, home_dir, home);
    std::memcpy(path + home, kSeenFile.data(), kSeenFile.size());
    path[home + kSeenFile.size()] = '\0';
    return path;
}

bool recorded_as_seen(const char *path, std::int32_t stamp)
{
    struct stat st;
    char *content = nullptr;
    std::int32_t length = 0;
    ErrorCode code = read_seen_file(path, &content, &length, &st);
    if (code != 0)
        return false;
    bool seen = seen_record_covers(
        std::string_view(content, static_cast<std::size_t>(length)), stamp);
    std::free(content);
    return seen;
}

// The header line only: "BUL:0", then offset 5 through the first LF. The
// file is rewritten in place, through a symbolic link if it is one, so the
// link, the file's owner, mode and other names all stay; replacing it by
// rename would turn a link into a plain file and leave stray temporary files
// behind a run that is killed. put_record makes the in-place rewrite safe:
// an interrupted one leaves no record, never a cut one. A failed open or
// write is not reported; the user sees the bulletin anyway.
void record_header(const char *path, std::string_view header)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (put_record(fd, header.data(), static_cast<std::int32_t>(header.size())) != 0) {
        }
    }
    close(fd);
}

// Anyone can write the shared copy. A stamp read from it that lies ahead of
// the clock, by more than the slack allowed to clocks that disagree, would,
// once recorded, put out of sight every genuine bulletin stamped before
// that time (for good, at the largest stamp): such a bulletin is shown but
// not recorded. A server's stamps are taken as they come.
bool recordable(std::int32_t stamp)
{
    if (!bulfetch_from_copy)
        return true;
    return std::int64_t{stamp} <= std::int64_t{time(nullptr)} + BULFETCH_COPY_STAMP_SLACK;
}

} // namespace

ErrorCode check_viewable_at(const char *bulletin, bool only_new,
                            bool record_seen, const char *home_dir)
{
    if (bulletin == nullptr)
        return BUL_MISSING_ARGUMENT;
    std::string_view text(bulletin, std::strlen(bulletin));
    if (ErrorCode code = bulletin_check(text); code != 0)
        return code;
    std::int32_t stamp = bulletin_stamp(text);
    if (home_dir == nullptr)
        return 0;
    // Without memory for the path there is nowhere to look or record: the
    // bulletin is shown, as for a user without a home.
    char *path = seen_path(home_dir);
    if (path == nullptr)
        return 0;
    ErrorCode result = 0;
    if (recorded_as_seen(path, stamp)) {
        result = only_new ? BUL_ALREADY_SEEN : 0;
    } else if (record_seen && recordable(stamp)) {
        record_header(path, text.substr(0, text.find('\n') + 1));
    }
    std::free(path);
    return result;
}
