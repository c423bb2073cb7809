#include "bulcheck/bulcheck.h"
#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Read as check_viewable reads it: a plain file only, opened without
// waiting, its head alone.
void bulcheck_seen(BulcheckState &state)
{
    bulcheck_say("\nSeen stamp");
    if (state.home == nullptr) {
        bulcheck_say("  no password entry for uid %u: a bulletin is shown and nothing recorded",
                     static_cast<unsigned>(getuid()));
        return;
    }
    char path[4096];
    std::snprintf(path, sizeof path, "%s/.message_times", state.home);
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        bulcheck_say("  %s: none (%s): every bulletin counts as new", bulcheck_shown(path),
                     std::strerror(errno));
        return;
    }
    struct stat st;
    char *content = nullptr;
    std::int32_t length = 0;
    ErrorCode code = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (code == 0)
        code = read_head(&content, &length, fd, BULFETCH_MAX_FILE);
    close(fd);
    std::string_view record(content != nullptr ? content : "", static_cast<std::size_t>(length));
    if (code != 0 || bulletin_check(record) != 0)
        bulcheck_say("  %s: holds no record, which counts as none", bulcheck_shown(path));
    else {
        state.has_seen = true;
        state.seen_stamp = bulletin_stamp(record);
        bulcheck_say("  %s: stamp %d, recorded %s", bulcheck_shown(path), state.seen_stamp,
                     bulcheck_when(st.st_mtime));
    }
    std::free(content);
}
