#include <arpa/inet.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "bulserve/bulserve.h"

namespace {

// Whole-string decimal conversion: no blanks, no "+", nothing after the
// digits, and within range.
template <typename T>
bool parse_number(const char *text, T low, T high, T *out)
{
    std::string_view s(text);
    T value{};
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || value < low ||
        value > high)
        return false;
    *out = value;
    return true;
}

constexpr const char *OPTIONS_WITH_VALUE = "apsSrbm";

}  // namespace

bool bulserve_parse_args(int argc, char *const argv[], BulserveOptions *options, char *error,
                         std::size_t error_size)
{
    *options = BulserveOptions{};
    bool seen[128] = {};
    int i = 1;
    for (; i < argc && argv[i] != nullptr; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--") == 0) {
            ++i;
            break;
        }
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            options->help = true;
            return true;
        }
        if (std::strcmp(arg, "--version") == 0) {
            options->version = true;
            return true;
        }
        if (arg[0] != '-' || arg[1] == '\0')
            break;
        char letter = arg[1];
        bool known = arg[2] == '\0' &&
                     (letter == 'e' || std::strchr(OPTIONS_WITH_VALUE, letter) != nullptr);
        if (!known) {
            std::snprintf(error, error_size,
                          "%s: unknown option; the options are -e, -a, -p, -s, -S, -r, -b, -m, "
                          "-h, --help and --version", arg);
            return false;
        }
        // A second value for the same option is a mistake in a unit file
        // or a script, not something to settle silently by order.
        if (seen[static_cast<unsigned char>(letter)]) {
            std::snprintf(error, error_size, "%s given more than once", arg);
            return false;
        }
        seen[static_cast<unsigned char>(letter)] = true;
        if (letter == 'e') {
            options->log_stderr = true;
            continue;
        }
        if (i + 1 >= argc || argv[i + 1] == nullptr) {
            std::snprintf(error, error_size, "%s needs a value", arg);
            return false;
        }
        const char *value = argv[++i];
        const char *allowed = nullptr;
        switch (letter) {
        case 'a': {
            in_addr a{};
            if (inet_pton(AF_INET, value, &a) == 1)
                options->address = a.s_addr;
            else
                allowed = "an IPv4 address in dotted decimal, such as 192.0.2.1";
            break;
        }
        case 'p':
            if (parse_number<std::uint16_t>(value, 0, 65535, &options->port))
                options->have_port = true;
            else
                allowed = "a port number from 0 to 65535";
            break;
        case 's':
            if (parse_number<std::int64_t>(value, -BULSERVE_MAX_STAMP - 1, BULSERVE_MAX_STAMP,
                                           &options->stamp))
                options->have_stamp = true;
            else
                allowed = "a stamp from -2147483648 to 2147483647";
            break;
        case 'S':
            if (*value != '\0')
                options->state_dir = value;
            else
                allowed = "a directory";
            break;
        case 'r':
            if (!parse_number<std::uint32_t>(value, 0, RATE_LIMIT_MAX_PER_SECOND,
                                             &options->rate.per_second))
                allowed = "answers per second per source prefix, from 0 (no limit) to 1000000";
            break;
        case 'b':
            if (!parse_number<std::uint32_t>(value, 0, RATE_LIMIT_MAX_BURST, &options->rate.burst))
                allowed = "extra answers a quiet source prefix may take at once, from 0 to "
                          "1000000";
            break;
        case 'm':
            if (!parse_number<unsigned>(value, RATE_LIMIT_MIN_IPV4_PREFIX, 32,
                                        &options->rate.ipv4_prefix))
                allowed = "a source prefix length from 8 to 32";
            break;
        }
        if (allowed != nullptr) {
            std::snprintf(error, error_size, "-%c %s: expected %s", letter, value, allowed);
            return false;
        }
    }
    if (i >= argc || argv[i] == nullptr || argv[i][0] == '\0') {
        std::snprintf(error, error_size, "missing bulletin file");
        return false;
    }
    options->file = argv[i];
    if (i + 1 < argc && argv[i + 1] != nullptr) {
        std::snprintf(error, error_size, "%s: only one bulletin file may be given", argv[i + 1]);
        return false;
    }
    return true;
}
