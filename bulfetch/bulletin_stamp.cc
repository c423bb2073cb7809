#include "bulfetch/bulletin.h"

#include <limits>

std::int32_t bulletin_stamp(std::string_view record)
{
    // A record too short to reach the stamp has none: 0, like text without
    // digits.
    if (record.size() <= BULLETIN_STAMP_OFFSET)
        return 0;
    std::string_view text = record.substr(BULLETIN_STAMP_OFFSET);
    if (std::size_t nul = text.find('\0'); nul != std::string_view::npos)
        text = text.substr(0, nul);

    std::size_t i = 0;
    // The white space atol skips in the C locale; the LF of the header line
    // is among it, so a stamp may start on the body's first line.
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate towards the sign so that the minimum is reachable, and
    // saturate: a stamp out of range clamps the way strtol clamps.
    constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        std::int64_t digit = text[i] - '0';
        value = negative ? value * 10 - digit : value * 10 + digit;
        if (value < lo)
            value = lo;
        if (value > hi)
            value = hi;
    }
    return static_cast<std::int32_t>(value);
}
