#include <cstdio>
#include <cstring>

#include "bulserve/bulserve.h"

void bulserve_load_failure_text(const LoadResult &result, std::int64_t highest,
                                const char *state_dir, char *text, std::size_t size)
{
    switch (result.status) {
    case LoadStatus::ok:
        std::snprintf(text, size, "served");
        break;
    case LoadStatus::system_error:
        std::snprintf(text, size, "%s", std::strerror(result.error));
        break;
    case LoadStatus::not_regular:
        std::snprintf(text, size, "not a regular file");
        break;
    case LoadStatus::too_big:
        std::snprintf(text, size,
                      "bulletin of %lld bytes does not fit a reply; at most %zu bytes fit",
                      static_cast<long long>(result.size), result.limit);
        break;
    case LoadStatus::being_written:
        std::snprintf(text, size, "open for writing; taken once its writer closes it");
        break;
    case LoadStatus::changing:
        std::snprintf(text, size, "the file kept changing while it was read");
        break;
    case LoadStatus::malformed:
        std::snprintf(text, size,
                      "begins with \"BUL:0\" but its first line is not \"BUL:0 STAMP\" with "
                      "STAMP from 0 to %lld; publish it with bulpublish",
                      static_cast<long long>(BULSERVE_MAX_STAMP));
        break;
    case LoadStatus::stale:
        std::snprintf(text, size,
                      "its stamp %lld is not above stamp %lld served before; publish it anew "
                      "with bulpublish",
                      static_cast<long long>(result.stamp), static_cast<long long>(highest));
        break;
    case LoadStatus::no_stamp_left:
        std::snprintf(text, size,
                      "no stamp left: stamp %lld has been served and clients can hold no "
                      "larger one",
                      static_cast<long long>(result.stamp));
        break;
    case LoadStatus::state_error:
        std::snprintf(text, size, "cannot record its stamp in %s/%s: %s",
                      state_dir != nullptr ? state_dir : "?", BULSERVE_STATE_NAME,
                      std::strerror(result.error));
        break;
    }
}
