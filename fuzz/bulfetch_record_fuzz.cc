// Input: one byte of choices, then a record (or body). Every reader of the
// record must stay inside it and agree with the others; the terminal copy
// must hold no control a terminal acts on.
#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

void require(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void check_record(std::string_view record)
{
    std::int32_t stamp = bulletin_stamp(record);
    std::string_view text = record.substr(0, record.find('\0'));
    ErrorCode code = bulletin_check(record);
    require(code == 0 || code == BUL_NOT_BULLETIN || code == BUL_NO_NEWLINE);
    // A record that passes is its own seen-stamp record.
    require(seen_record_covers(record, stamp) == (code == 0));
    if (code == 0) {
        // The header line, as the seen-stamp file keeps it, reads back the
        // bulletin's stamp, unless the stamp text began past the line.
        std::string_view header = text.substr(0, text.find('\n') + 1);
        require(bulletin_check(header) == 0);
        bool blank_line = true;
        for (std::size_t i = BULLETIN_STAMP_OFFSET; i < header.size(); ++i)
            blank_line = blank_line && std::strchr(" \t\n\v\f\r", header[i]) != nullptr;
        require(bulletin_stamp(header) == stamp || blank_line);
    }
}

void check_escape(std::string_view body, bool utf8)
{
    char *out = static_cast<char *>(std::malloc(body.size() * TERMINAL_ESCAPE_GROWTH + 1));
    if (out == nullptr)
        return;
    std::size_t n = terminal_escape(body, out, utf8);
    require(n <= body.size() * TERMINAL_ESCAPE_GROWTH);
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        require(c >= 0x20 || c == '\n' || c == '\t' ||
                (c == '\r' && i + 1 < n && out[i + 1] == '\n'));
        require(c != 0x7F);
        if (!utf8)
            require(c < 0x80 || c > 0x9F);
        else if (c == 0xC2 && i + 1 < n)
            require(static_cast<unsigned char>(out[i + 1]) >= 0xA0 ||
                    static_cast<unsigned char>(out[i + 1]) < 0x80);
    }
    // Plain printable ASCII passes untouched.
    bool plain = true;
    for (char ch : body)
        plain = plain && ((ch >= 0x20 && ch < 0x7F) || ch == '\n' || ch == '\t');
    if (plain)
        require(n == body.size() && std::memcmp(out, body.data(), n) == 0);
    std::free(out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    bool utf8 = data[0] & 1;
    // An exact-size copy, so any read past the end is caught.
    char *record = static_cast<char *>(std::malloc(size - 1 == 0 ? 1 : size - 1));
    if (record == nullptr)
        return 0;
    std::memcpy(record, data + 1, size - 1);
    std::string_view view(record, size - 1);
    check_record(view);
    check_escape(view, utf8);
    std::free(record);
    return 0;
}
