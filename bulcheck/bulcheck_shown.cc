#include "bulcheck/bulcheck.h"

namespace {

constexpr std::size_t SHOWN_LIMIT = 200;
char buffers[4][SHOWN_LIMIT * 4 + 4];
int next_buffer;

}  // namespace

// Names and texts from the network or from files every user may write must
// not reach a terminal as control sequences, nor break a line of the report.
const char *bulcheck_shown(std::string_view text)
{
    char *out = buffers[next_buffer];
    next_buffer = (next_buffer + 1) % 4;
    constexpr char hex[] = "0123456789abcdef";
    std::size_t o = 0;
    std::size_t n = text.size() < SHOWN_LIMIT ? text.size() : SHOWN_LIMIT;
    for (std::size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out[o++] = static_cast<char>(c);
        } else {
            out[o++] = '\\';
            out[o++] = 'x';
            out[o++] = hex[c >> 4];
            out[o++] = hex[c & 15];
        }
    }
    if (n < text.size()) {
        out[o++] = '.';
        out[o++] = '.';
        out[o++] = '.';
    }
    out[o] = '\0';
    return out;
}
