#include "bulcheck/bulcheck.h"
#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

#include <cstring>
#include <ctime>

// The login's own decision, made by the client's unit with nothing
// recorded: -new, and the seen-stamp file only read.
void bulcheck_verdict(const BulcheckState &state)
{
    bulcheck_say("\nVerdict for your next login (bulfetch -new -quick)");
    const char *bulletin = nullptr;
    const char *from = "from the server";
    if (state.live != nullptr && state.server_side_ms <= BULCHECK_LOGIN_WAIT_MS) {
        bulletin = state.live;
    } else {
        if (state.live != nullptr) {
            bulcheck_say("  The server side took %s, more than the %d ms a login waits: the",
                         bulcheck_duration(state.server_side_ms), BULCHECK_LOGIN_WAIT_MS);
            bulcheck_say("  login shows the machine-wide copy, which the fetch going on in the");
            bulcheck_say("  background then refreshes.");
        }
        bulletin = state.copy;
        from = "from the machine-wide copy";
    }
    if (bulletin == nullptr) {
        bulcheck_say("  NOT SHOWN: the server side fails and there is no machine-wide copy.");
        return;
    }
    std::int32_t stamp = bulletin_stamp(bulletin);
    ErrorCode code = check_viewable_at(bulletin, true, false, state.home);
    if (code == BUL_ALREADY_SEEN) {
        bulcheck_say("  NOT SHOWN: the bulletin %s, stamp %d, is already seen: your", from, stamp);
        bulcheck_say("  recorded stamp %d is not lower. A new bulletin needs a larger stamp.",
                     state.seen_stamp);
    } else if (code != 0) {
        bulcheck_say("  NOT SHOWN: what comes %s is not a bulletin.", from);
    } else {
        if (!state.has_seen)
            bulcheck_say("  SHOWN: the bulletin %s, stamp %d: nothing is recorded as seen.", from,
                         stamp);
        else
            bulcheck_say("  SHOWN: the bulletin %s, stamp %d, is newer than your recorded %d.",
                         from, stamp, state.seen_stamp);
        if (bulletin == state.copy &&
            std::int64_t{stamp} > std::int64_t{time(nullptr)} + BULFETCH_COPY_STAMP_SLACK)
            bulcheck_say("  It is not recorded as seen (its stamp lies more than a day ahead of the clock), so every login shows it again.");
    }
}
