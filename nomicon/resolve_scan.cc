#include <cerrno>
#include <cstring>

#include "nomicon/resolve.h"

namespace {

ScannedMessage scanned;
unsigned char copy_buffer[RESOLVE_COPY_SIZE];

unsigned header_u16(const unsigned char *message, int offset)
{
    return (unsigned{message[offset]} << 8) | message[offset + 1];
}

}  // namespace

ScannedMessage *resolve_scan(const unsigned char *message, int length)
{
    constexpr int header_size = 12;
    // A length beyond a UDP message would mean reading past the answer
    // buffer; one shorter than the header holds no counts.
    if (message == nullptr || length < header_size || length > RESOLVE_PACKET_SIZE) {
        errno = EINVAL;
        return nullptr;
    }
    const unsigned char *end = message + length;
    unsigned questions = header_u16(message, 4);
    unsigned counts[3] = {header_u16(message, 6), header_u16(message, 8), header_u16(message, 10)};
    scanned.length = 0;
    scanned.answer_count = static_cast<std::int32_t>(counts[0]);
    scanned.additional_start = static_cast<std::int32_t>(counts[0] + counts[1]);
    scanned.record_count = static_cast<std::int32_t>(counts[0] + counts[1] + counts[2]);
    scanned.header = message;
    scanned.stored_count = 0;

    const unsigned char *p = message + header_size;
    for (unsigned q = 0; q < questions; ++q) {
        int name_length = resolve_skip_name(p, end);
        if (name_length < 0 || end - (p + name_length) < 4) {
            errno = EINVAL;
            return nullptr;
        }
        p += name_length + 4;
    }

    int copied = 0;
    for (unsigned count : counts) {
        for (unsigned i = 0; i < count && p < end; ++i) {
            // Unreachable within 512 bytes (see RESOLVE_MAX_RECORDS), kept
            // so that the table can never be overrun.
            if (scanned.stored_count == RESOLVE_MAX_RECORDS) {
                errno = EINVAL;
                return nullptr;
            }
            ScannedRecord *slot = &scanned.records[scanned.stored_count];
            const unsigned char *next = resolve_scan_rr(p, end, slot);
            if (next == nullptr)
                return nullptr;
            // Each record costs at least 11 bytes of message for 1 byte of
            // copy overhead, so the copies of a 512-byte message always fit;
            // the check keeps that true whatever the sizes become.
            if (slot->data_length + 1 > RESOLVE_COPY_SIZE - copied) {
                errno = EINVAL;
                return nullptr;
            }
            unsigned char *copy = copy_buffer + copied;
            if (slot->data_length > 0)
                std::memcpy(copy, slot->data, static_cast<std::size_t>(slot->data_length));
            copy[slot->data_length] = 0;
            slot->data = copy;
            copied += slot->data_length + 1;
            ++scanned.stored_count;
            p = next;
        }
    }
    scanned.length = static_cast<std::int32_t>(p - message);
    return &scanned;
}
