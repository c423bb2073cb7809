// The bulletin record, as a server sends it, the fallback file holds it and
// the seen-stamp file keeps its header line:
//
//   offset 0   "BUL:0"            magic
//   offset 5   one byte           separator, never interpreted
//   offset 6   decimal stamp      read as atol reads, up to the first LF
//   first LF                      end of the header line
//   after it   the body           the text shown to the user
//
// In memory the record is followed by a NUL that its length does not count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr std::string_view BULLETIN_MAGIC = "BUL:0";
inline constexpr std::size_t BULLETIN_STAMP_OFFSET = 6;
// The request a client sends is the magic alone, without a terminator.
inline constexpr std::string_view BULLETIN_REQUEST = BULLETIN_MAGIC;
// A client keeps at most this many bytes of a reply.
inline constexpr std::size_t BULLETIN_MAX_REPLY = 2047;
inline constexpr const char *BULLETIN_SERVICE = "bulletin";
inline constexpr const char *BULLETIN_PROTOCOL = "udp";

// The stamp of a record: the decimal number at offset 6, read the way atol
// reads (white space skipped, optional sign, digits up to the first
// non-digit, 0 when there are none), stopping at the record's end or its
// first NUL, and clamped to the signed 32-bit range. The one reader every
// user of the record goes through, so that all of them agree.
std::int32_t bulletin_stamp(std::string_view record);
