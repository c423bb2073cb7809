// The resolve unit: one TXT-style query through the system resolver and a
// scan of the answer into fixed static storage. The scanner reads every
// record of every section and knows nothing of record types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/socket.h>

// A UDP DNS message is at most 512 bytes; queries and answers are held in
// buffers of exactly that size.
inline constexpr int RESOLVE_PACKET_SIZE = 512;
// Room for the data of every record of one answer, each followed by a NUL.
inline constexpr int RESOLVE_COPY_SIZE = 500;
// Each record takes at least 11 bytes after the 12-byte header, so a
// 512-byte message holds at most 45; the table has room to spare.
inline constexpr int RESOLVE_MAX_RECORDS = 51;
// Longest domain name in wire form, terminating zero byte included.
inline constexpr int RESOLVE_MAX_NAME = 255;

struct ScannedRecord {
    std::uint16_t rr_type;
    std::uint16_t rr_class;
    std::int32_t data_length;   // 0 to 65535
    const unsigned char *data;  // copy of the data, a NUL after it
};

struct ScannedMessage {
    std::int32_t length;            // bytes consumed by the scan
    std::int32_t answer_count;      // header's count; first authority index
    std::int32_t additional_start;  // answer plus authority count
    std::int32_t record_count;      // the three section counts added
    const unsigned char *header;    // the scanned message
    ScannedRecord records[RESOLVE_MAX_RECORDS];
    // Records actually stored in `records`: fewer than the header's counts
    // when the message ends early. Readers of the table stop here.
    std::int32_t stored_count;
};

// Builds, sends and scans one query; `tuning` is laid out like
// nomicon_tuning. Null with errno EINVAL (negative class or type, malformed
// answer), EMSGSIZE (query cannot be built) or ECONNREFUSED (no answer).
ScannedMessage *resolve_query(const char *name, int rr_class, int rr_type, std::int32_t tuning);

// Sends a built query to the given servers (IPv4 or IPv6, at most the
// resolver's three) through a resolver state of its own, with the option
// bits, interval and tries that _res holds at the call; _res itself is only
// read. Returns the answer's length, or -1 when no server answered.
int resolve_send_to(std::span<const sockaddr_storage> servers, const unsigned char *query,
                    int query_length, unsigned char *answer, int answer_size);

// Scans a received message of `length` bytes into the static
// ScannedMessage. Null with errno EINVAL when the message is shorter than
// its header, longer than a UDP message, or any question or record would
// need a byte past its end.
ScannedMessage *resolve_scan(const unsigned char *message, int length);

// Reads the record at `position` (owner name, fixed fields, data, all
// before `end`) into `slot`, with `data` pointing into the message. Returns
// the position after the record's data, or null with errno EINVAL.
const unsigned char *resolve_scan_rr(const unsigned char *position, const unsigned char *end,
                                     ScannedRecord *slot);

// Bytes occupied by the domain name at `position`, up to and including its
// terminating zero byte or its compression pointer; -1 for a label type
// other than length or pointer, a name running past `end`, or one longer
// than a domain name can be.
int resolve_skip_name(const unsigned char *position, const unsigned char *end);
