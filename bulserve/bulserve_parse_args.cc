#include <arpa/inet.h>

#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>

#include "bulserve/bulserve.h"

namespace {

// Whole-string decimal conversion: no blanks, no "+", nothing after the
// digits, and within range; anything else refuses the command line.
template <typename T>
bool parse_number(const char *text, T low, T high, T *out)
{
    std::string_view s(text);
    T value{};
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size())
        return false;
    if (value < low || value > high)
        return false;
    *out = value;
    return true;
}

}  // namespace

bool bulserve_parse_args(int argc, char *const argv[], BulserveOptions *options,
                         const char **offending)
{
    *options = BulserveOptions{};
    *offending = "missing bulletin file";
    int i = 1;
    for (; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg == nullptr)
            break;
        if (std::strcmp(arg, "--") == 0) {
            ++i;
            break;
        }
        if (arg[0] != '-' || arg[1] == '\0')
            break;
        if (std::strcmp(arg, "-e") == 0) {
            options->log_stderr = true;
            continue;
        }
        bool takes_value = std::strcmp(arg, "-a") == 0 || std::strcmp(arg, "-p") == 0 ||
                           std::strcmp(arg, "-s") == 0;
        if (!takes_value) {
            *offending = arg;
            return false;
        }
        if (i + 1 >= argc || argv[i + 1] == nullptr) {
            *offending = arg;
            return false;
        }
        const char *value = argv[++i];
        bool good = false;
        switch (arg[1]) {
        case 'a': {
            in_addr a{};
            good = inet_pton(AF_INET, value, &a) == 1;
            options->address = a.s_addr;
            break;
        }
        case 'p': {
            std::uint16_t port = 0;
            good = parse_number<std::uint16_t>(value, 0, 65535, &port);
            options->port = port;
            options->have_port = good;
            break;
        }
        case 's': {
            // Clients compare stamps as signed 32-bit numbers: a larger one
            // would be read clamped and never look newer.
            std::int64_t stamp = 0;
            good = parse_number<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                              std::numeric_limits<std::int32_t>::max(), &stamp);
            options->stamp = stamp;
            options->have_stamp = good;
            break;
        }
        }
        if (!good) {
            *offending = value;
            return false;
        }
    }
    if (i >= argc || argv[i] == nullptr || argv[i][0] == '\0')
        return false;
    options->file = argv[i];
    if (i + 1 < argc && argv[i + 1] != nullptr) {
        *offending = argv[i + 1];
        return false;
    }
    return true;
}
