#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "bulserve/bulserve.h"

void bulserve_log_load_failure(const char *path, const LoadResult &result, const char *what,
                               const ServeState &state)
{
    char why[256];
    switch (result.status) {
    case LoadStatus::ok:
        return;
    case LoadStatus::system_error:
        std::snprintf(why, sizeof why, "%s", std::strerror(result.error));
        break;
    case LoadStatus::not_regular:
        std::snprintf(why, sizeof why, "not a regular file");
        break;
    case LoadStatus::too_big:
        std::snprintf(why, sizeof why,
                      "bulletin of %lld bytes does not fit a reply; at most %zu bytes fit",
                      static_cast<long long>(result.size), result.limit);
        break;
    case LoadStatus::being_written:
        std::snprintf(why, sizeof why, "open for writing; taken once its writer closes it");
        break;
    case LoadStatus::changing:
        std::snprintf(why, sizeof why, "the file kept changing while it was read");
        break;
    case LoadStatus::malformed:
        std::snprintf(why, sizeof why,
                      "begins with \"BUL:0\" but its first line is not \"BUL:0 STAMP\" with "
                      "STAMP from 0 to %lld; publish it with bulpublish",
                      static_cast<long long>(BULSERVE_MAX_STAMP));
        break;
    case LoadStatus::stale:
        std::snprintf(why, sizeof why,
                      "its stamp %lld is not above stamp %lld served before; publish it anew "
                      "with bulpublish",
                      static_cast<long long>(result.stamp), static_cast<long long>(state.highest));
        break;
    case LoadStatus::no_stamp_left:
        std::snprintf(why, sizeof why,
                      "no stamp left: stamp %lld has been served and clients can hold no "
                      "larger one",
                      static_cast<long long>(result.stamp));
        break;
    case LoadStatus::state_error:
        std::snprintf(why, sizeof why, "cannot record its stamp in %s/%s: %s",
                      state.state_dir, BULSERVE_STATE_NAME, std::strerror(result.error));
        break;
    }
    // A writer still at work is the ordinary course of an edit.
    int priority = result.status == LoadStatus::being_written ? LOG_NOTICE : LOG_ERR;
    if (state.current.length > 0)
        bulserve_log(priority, "%s %s: %s; still serving stamp %lld", what, path, why,
                     static_cast<long long>(state.current.stamp));
    else
        bulserve_log(priority, "%s %s: %s", what, path, why);
}
