#include "nomicon/resolve.h"

int resolve_skip_name(const unsigned char *position, const unsigned char *end)
{
    const unsigned char *p = position;
    while (p < end) {
        unsigned char c = *p;
        switch (c & 0xC0) {
        case 0x00:
            if (c == 0) {
                ++p;
                // A name that does not fit 255 bytes in wire form is not a
                // domain name, whatever the message says.
                return p - position <= RESOLVE_MAX_NAME ? static_cast<int>(p - position) : -1;
            }
            if (end - p <= c)
                return -1;
            p += 1 + c;
            if (p - position > RESOLVE_MAX_NAME)
                return -1;
            break;
        case 0xC0:
            // A compression pointer ends the name; it is not followed, so
            // only its two bytes need to be present. What it points to
            // adds at least the root byte, hence one byte more than 255.
            if (end - p < 2)
                return -1;
            p += 2;
            return p - position <= RESOLVE_MAX_NAME + 1 ? static_cast<int>(p - position) : -1;
        default:
            // 01 and 10 label types are unassigned or obsolete.
            return -1;
        }
    }
    return -1;
}
