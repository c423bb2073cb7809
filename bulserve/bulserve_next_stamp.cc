#include "bulserve/bulserve.h"

bool bulserve_next_stamp(std::int64_t highest, std::int64_t now, std::int64_t *stamp)
{
    // The clock keeps stamps readable as times, but only when it is ahead
    // of everything served: a clock set back, or one in the last year of
    // the stamps or beyond (a far-future date), gives way to counting up
    // by one.
    if (now > highest && now <= BULSERVE_CLOCK_LIMIT) {
        *stamp = now;
        return true;
    }
    if (highest >= BULSERVE_MAX_STAMP)
        return false;
    *stamp = highest + 1;
    return true;
}
