#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

bool seen_record_covers(std::string_view content, std::int32_t stamp)
{
    // Anything but a header line counts as no record at all.
    if (bulletin_check(content) != 0)
        return false;
    return bulletin_stamp(content) >= stamp;
}
