#include <syslog.h>

#include <cstring>

#include "bulserve/bulserve.h"

void bulserve_log_load_failure(const char *path, const LoadResult &result, const char *what)
{
    switch (result.status) {
    case LoadStatus::ok:
        break;
    case LoadStatus::system_error:
        bulserve_log(LOG_ERR, "%s %s: %s", what, path, std::strerror(result.error));
        break;
    case LoadStatus::not_regular:
        bulserve_log(LOG_ERR, "%s %s: not a regular file", what, path);
        break;
    case LoadStatus::changing:
        bulserve_log(LOG_ERR, "%s %s: the file kept changing while it was read", what, path);
        break;
    case LoadStatus::too_big:
        bulserve_log(LOG_ERR,
                     "%s %s: bulletin of %lld bytes does not fit a reply; at most %zu bytes fit",
                     what, path, static_cast<long long>(result.size), result.limit);
        break;
    }
}
