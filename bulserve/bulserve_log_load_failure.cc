#include <syslog.h>

#include "bulserve/bulserve.h"

void bulserve_log_load_failure(const char *path, const LoadResult &result, const char *what,
                               const ServeState &state)
{
    if (result.status == LoadStatus::ok)
        return;
    char why[320];
    bulserve_load_failure_text(result, state.highest, state.state_dir, why, sizeof why);
    // A writer still at work is the ordinary course of an edit.
    int priority = result.status == LoadStatus::being_written ? LOG_NOTICE : LOG_ERR;
    if (state.current.length > 0)
        bulserve_log(priority, "%s %s: %s; still serving stamp %lld", what, path, why,
                     static_cast<long long>(state.current.stamp));
    else
        bulserve_log(priority, "%s %s: %s", what, path, why);
}
