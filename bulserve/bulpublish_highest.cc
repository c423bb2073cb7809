#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bulserve/bulpublish.h"

int bulpublish_read_state(const char *state_dir, Bulletin *served)
{
    *served = Bulletin{};
    // A folder that isn't there would read as no record; it is more likely
    // the wrong folder than a server that never served.
    int fd = open(state_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    close(fd);
    LoadResult r = bulserve_state_load(state_dir, served);
    return r.status == LoadStatus::ok ? 0 : r.error;
}

void bulpublish_warn_state(const char *program, const char *state_dir, int error,
                           const char *consequence)
{
    std::fprintf(stderr, "%s: warning: cannot read the server's state in %s: %s; %s\n", program,
                 state_dir, std::strerror(error), consequence);
}

std::int64_t bulpublish_highest(const char *file, const Bulletin &served)
{
    std::int64_t highest = 0;
    FileContent content;
    std::int64_t stamp = 0;
    std::size_t body_at = 0;
    if (bulserve_read_file(file, false, &content).status == LoadStatus::ok &&
        bulserve_record_form(std::span<const char>(content.bytes, content.length), &stamp,
                             &body_at) == RecordForm::published)
        highest = stamp;
    if (served.length > 0 && served.stamp > highest)
        highest = served.stamp;
    return highest;
}
