#include "bulfetch/bulfetch.h"

#include <pwd.h>
#include <unistd.h>

// The home comes from the password entry of the real user, never from the
// environment.
ErrorCode check_viewable(const char *bulletin, bool only_new, bool record_seen)
{
    if (bulletin == nullptr)
        return BUL_MISSING_ARGUMENT;
    if (ErrorCode code = bulletin_check(bulletin); code != 0)
        return code;
    const struct passwd *pw = getpwuid(getuid());
    return check_viewable_at(bulletin, only_new, record_seen,
                             pw != nullptr ? pw->pw_dir : nullptr);
}
