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

// Read as check_viewable reads it.
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
    struct stat st;
    char *content = nullptr;
    std::int32_t length = 0;
    ErrorCode code = read_seen_file(path, &content, &length, &st);
    std::string_view record(content != nullptr ? content : "", static_cast<std::size_t>(length));
    if (code != 0)
        bulcheck_say("  %s: none (%s): every bulletin counts as new", bulcheck_shown(path),
                     code == EINVAL ? "not a regular file" : std::strerror(code));
    else if (bulletin_check(record) != 0)
        bulcheck_say("  %s: holds no record, which counts as none", bulcheck_shown(path));
    else {
        state.has_seen = true;
        state.seen_stamp = bulletin_stamp(record);
        bulcheck_say("  %s: stamp %d, recorded %s", bulcheck_shown(path), state.seen_stamp,
                     bulcheck_when(st.st_mtime));
    }
    std::free(content);
}
