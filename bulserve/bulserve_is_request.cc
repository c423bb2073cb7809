#include <algorithm>

#include "bulserve/bulserve.h"

bool bulserve_is_request(std::span<const char> datagram)
{
    // Exactly the magic: no terminator, nothing after it.
    return datagram.size() == BULLETIN_REQUEST.size() &&
           std::equal(datagram.begin(), datagram.end(), BULLETIN_REQUEST.begin());
}
