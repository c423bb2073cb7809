#include "bulfetch/bulfetch.h"

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Length of the well-formed UTF-8 sequence at the start of s (shortest
// form, no surrogates, at most U+10FFFF), or 0 when there is none.
std::size_t utf8_sequence(std::string_view s)
{
    auto cont = [&](std::size_t i, unsigned lo, unsigned hi) {
        if (i >= s.size())
            return false;
        unsigned c = static_cast<unsigned char>(s[i]);
        return c >= lo && c <= hi;
    };
    unsigned b = static_cast<unsigned char>(s[0]);
    if (b >= 0xC2 && b <= 0xDF)
        return cont(1, 0x80, 0xBF) ? 2 : 0;
    if (b >= 0xE0 && b <= 0xEF) {
        unsigned lo = b == 0xE0 ? 0xA0 : 0x80;
        unsigned hi = b == 0xED ? 0x9F : 0xBF;
        return cont(1, lo, hi) && cont(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        unsigned lo = b == 0xF0 ? 0x90 : 0x80;
        unsigned hi = b == 0xF4 ? 0x8F : 0xBF;
        return cont(1, lo, hi) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

} // namespace

std::size_t terminal_escape(std::string_view body, char *out, bool utf8)
{
    std::size_t o = 0;
    std::size_t i = 0;
    while (i < body.size()) {
        unsigned b = static_cast<unsigned char>(body[i]);
        if (b == '\n' || b == '\t' || (b == '\r' && body.substr(i + 1).starts_with('\n'))) {
            // A CR that ends a line only returns the cursor before the LF
            // does, so a text saved with CRLF line ends shows cleanly.
            out[o++] = static_cast<char>(b);
            ++i;
        } else if (b < 0x20 || b == 0x7F) {
            out[o++] = '^';
            out[o++] = static_cast<char>(b ^ 0x40);
            ++i;
        } else if (b < 0x80) {
            out[o++] = static_cast<char>(b);
            ++i;
        } else if (std::size_t n = utf8 ? utf8_sequence(body.substr(i)) : 0; n != 0) {
            unsigned second = static_cast<unsigned char>(body[i + 1]);
            if (b == 0xC2 && second <= 0x9F) {
                // U+0080..U+009F: a C1 control to a UTF-8 terminal.
                for (char c : {'\\', 'u', '0', '0'})
                    out[o++] = c;
                out[o++] = kHex[second >> 4];
                out[o++] = kHex[second & 0xF];
            } else {
                for (std::size_t k = 0; k < n; ++k)
                    out[o++] = body[i + k];
            }
            i += n;
        } else if (b <= 0x9F) {
            // A C1 control to a terminal that reads bytes one by one.
            out[o++] = '\\';
            out[o++] = 'x';
            out[o++] = kHex[b >> 4];
            out[o++] = kHex[b & 0xF];
            ++i;
        } else {
            out[o++] = static_cast<char>(b);
            ++i;
        }
    }
    return o;
}
