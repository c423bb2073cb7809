#include <cerrno>

#include "nomicon/resolve.h"

namespace {

// Sticky cursor: once a read would pass the end, every later read yields 0
// and the failure is checked once after the run of reads.
struct WireCursor {
    const unsigned char *pos;
    const unsigned char *end;
    bool bad;
};

unsigned wire_u16(WireCursor &c)
{
    if (c.bad || c.end - c.pos < 2) {
        c.bad = true;
        return 0;
    }
    unsigned v = (unsigned{c.pos[0]} << 8) | c.pos[1];
    c.pos += 2;
    return v;
}

void wire_skip(WireCursor &c, long n)
{
    if (c.bad || c.end - c.pos < n) {
        c.bad = true;
        return;
    }
    c.pos += n;
}

}  // namespace

const unsigned char *resolve_scan_rr(const unsigned char *position, const unsigned char *end,
                                     ScannedRecord *slot)
{
    int name_length = resolve_skip_name(position, end);
    if (name_length < 0) {
        errno = EINVAL;
        return nullptr;
    }
    WireCursor c{position + name_length, end, false};
    unsigned type = wire_u16(c);
    unsigned rr_class = wire_u16(c);
    wire_skip(c, 4);  // time to live
    unsigned data_length = wire_u16(c);
    const unsigned char *data = c.pos;
    // The data is exactly as long as its length field says; data running
    // past the message is a malformed record, not a short one.
    wire_skip(c, data_length);
    if (c.bad) {
        errno = EINVAL;
        return nullptr;
    }
    slot->rr_type = static_cast<std::uint16_t>(type);
    slot->rr_class = static_cast<std::uint16_t>(rr_class);
    slot->data_length = static_cast<std::int32_t>(data_length);
    slot->data = data;
    return c.pos;
}
