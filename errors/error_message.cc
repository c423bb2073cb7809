#include <algorithm>
#include <charconv>
#include <string_view>
#include <cstring>

#include "errors/errors.h"

namespace {

const char *table_text(ErrorCode base, int offset)
{
    for (const ErrorTableNode *node = error_table_list; node != nullptr; node = node->next) {
        if (node->table != nullptr && node->table->base == base)
            return offset < node->table->count ? node->table->msgs[offset] : nullptr;
    }
    return nullptr;
}

// The system's count of error numbers: one past the highest that has a
// text. Below it a number without a name of its own (41 and 58 on Linux)
// still takes the system's own text ("Unknown error 41").
int system_error_count()
{
    static int count = -1;
    if (count < 0) {
        count = 256;
        while (count > 0 && strerrordesc_np(count - 1) == nullptr)
            --count;
    }
    return count;
}

}  // namespace

const char *error_message(ErrorCode code)
{
    // "Unknown code " + four-character name + " " + three digits + NUL.
    static char unknown[22];
    int offset = static_cast<int>(static_cast<std::uint32_t>(code) & 0xFF);
    auto base = static_cast<ErrorCode>(static_cast<std::uint32_t>(code) & ~std::uint32_t{0xFF});

    const char *text = nullptr;
    if (base == 0) {
        // The GNU strerror_r: a static text, or the unnamed number's text
        // written into the buffer, without an allocation.
        if (offset < system_error_count())
            return strerror_r(offset, unknown, sizeof unknown);
    } else {
        text = table_text(base, offset);
    }
    if (text != nullptr)
        return text;

    char *p = unknown;
    char *end = unknown + sizeof unknown - 1;
    constexpr std::string_view prefix = "Unknown code ";
    p = std::copy(prefix.begin(), prefix.end(), p);
    if (base != 0) {
        const char *name = et_name(base);
        std::size_t length = std::strlen(name);
        p = std::copy(name, name + length, p);
        *p++ = ' ';
    }
    p = std::to_chars(p, end, offset).ptr;
    *p = '\0';
    return unknown;
}
