#include <charconv>
#include <cstring>

#include "bulserve/bulserve.h"

namespace {

std::size_t header_length(std::int64_t stamp, char *out)
{
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, stamp);
    (void)ec;  // 24 bytes hold any 64-bit value
    std::size_t n = static_cast<std::size_t>(end - digits);
    if (out != nullptr) {
        std::memcpy(out, BULLETIN_MAGIC.data(), BULLETIN_MAGIC.size());
        out[BULLETIN_MAGIC.size()] = ' ';
        std::memcpy(out + BULLETIN_STAMP_OFFSET, digits, n);
        out[BULLETIN_STAMP_OFFSET + n] = '\n';
    }
    return BULLETIN_STAMP_OFFSET + n + 1;
}

}  // namespace

std::size_t bulserve_body_limit(std::int64_t stamp)
{
    return BULLETIN_MAX_REPLY - header_length(stamp, nullptr);
}

bool bulserve_build_record(Bulletin *bulletin, std::int64_t stamp, std::span<const char> body)
{
    // A client keeps only the first 2047 bytes of a reply; a longer record
    // would reach it cut short, with no sign of the loss.
    if (body.size() > bulserve_body_limit(stamp))
        return false;
    std::size_t n = header_length(stamp, bulletin->record);
    if (!body.empty())
        std::memcpy(bulletin->record + n, body.data(), body.size());
    bulletin->length = n + body.size();
    bulletin->stamp = stamp;
    return true;
}
