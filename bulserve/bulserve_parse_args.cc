#include <arpa/inet.h>
#include <getopt.h>

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

// The leading ':' has getopt tell a missing value from an unknown option
// and keeps it from printing anything of its own; '+' is not given, so an
// option may follow the file, as people type it.
constexpr const char *SHORT_OPTIONS = ":ea:p:s:S:r:R:b:m:t:h";
constexpr option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};
constexpr const char *ALL_OPTIONS =
    "the options are -e, -a, -p, -s, -S, -r, -R, -b, -m, -t, -h, --help and --version";

// Takes one option's value into the options; the text of what is allowed
// when the value is refused, else nullptr.
const char *take_value(int letter, const char *value, BulserveOptions *options)
{
    RateLimitConfig &rate = options->rate;
    switch (letter) {
    case 'a': {
        in_addr a{};
        if (inet_pton(AF_INET, value, &a) != 1)
            return "an IPv4 address in dotted decimal, such as 192.0.2.1";
        options->address = a.s_addr;
        return nullptr;
    }
    case 'p':
        options->have_port = parse_number<std::uint16_t>(value, 0, 65535, &options->port);
        return options->have_port ? nullptr : "a port number from 0 to 65535";
    case 's':
        options->have_stamp = parse_number<std::int64_t>(value, -BULSERVE_MAX_STAMP - 1,
                                                         BULSERVE_MAX_STAMP, &options->stamp);
        return options->have_stamp ? nullptr : "a stamp from -2147483648 to 2147483647";
    case 'S':
        options->state_dir = value;
        return *value != '\0' ? nullptr : "a directory";
    case 'r':
        return parse_number<std::uint32_t>(value, 0, RATE_LIMIT_MAX_PER_SECOND, &rate.per_second)
                   ? nullptr
                   : "answers per second per source prefix, from 0 (no limit) to 1000000";
    case 'R':
        return parse_number<std::uint32_t>(value, 0, RATE_LIMIT_MAX_PER_SECOND,
                                           &rate.per_address)
                   ? nullptr
                   : "answers per second per source address, from 0 (no limit) to 1000000";
    case 'b':
        return parse_number<std::uint32_t>(value, 0, RATE_LIMIT_MAX_BURST, &rate.burst)
                   ? nullptr
                   : "extra answers a quiet source may take at once, from 0 to 1000000";
    case 'm':
        return parse_number<unsigned>(value, RATE_LIMIT_MIN_IPV4_PREFIX, 32, &rate.ipv4_prefix)
                   ? nullptr
                   : "a source prefix length from 8 to 32";
    case 't':
        return parse_number<std::uint32_t>(value, 0, RATE_LIMIT_MAX_TOTAL, &rate.total)
                   ? nullptr
                   : "answers per second in all, from 0 (no limit) to 1000000";
    }
    return nullptr;
}

}  // namespace

bool bulserve_parse_args(int argc, char *const argv[], BulserveOptions *options, char *error,
                         std::size_t error_size)
{
    *options = BulserveOptions{};
    bool seen[128] = {};
    // 0 starts getopt afresh, as each call parses a new command line.
    optind = 0;
    opterr = 0;
    for (;;) {
        int letter = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr);
        if (letter == -1)
            break;
        if (letter == 'h' || letter == 'V') {
            // Help and version win over whatever follows.
            options->help = letter == 'h';
            options->version = letter == 'V';
            return true;
        }
        if (letter == '?') {
            if (optopt != 0)
                std::snprintf(error, error_size, "-%c: unknown option; %s", optopt, ALL_OPTIONS);
            else  // a long option: getopt has passed the word
                std::snprintf(error, error_size, "%s: unknown option; %s", argv[optind - 1],
                              ALL_OPTIONS);
            return false;
        }
        if (letter == ':') {
            std::snprintf(error, error_size, "-%c needs a value", optopt);
            return false;
        }
        // A second value for the same option is a mistake in a unit file
        // or a script, not something to settle silently by order.
        if (seen[letter & 0x7f]) {
            std::snprintf(error, error_size, "-%c given more than once", letter);
            return false;
        }
        seen[letter & 0x7f] = true;
        if (letter == 'e') {
            options->log_stderr = true;
            continue;
        }
        if (const char *allowed = take_value(letter, optarg, options)) {
            std::snprintf(error, error_size, "-%c %s: expected %s", letter, optarg, allowed);
            return false;
        }
    }
    // getopt has moved the words that are no options to the end, in order.
    if (optind >= argc || argv[optind] == nullptr || argv[optind][0] == '\0') {
        std::snprintf(error, error_size, "missing bulletin file");
        return false;
    }
    options->file = argv[optind];
    if (optind + 1 < argc && argv[optind + 1] != nullptr) {
        std::snprintf(error, error_size, "%s: only one bulletin file may be given",
                      argv[optind + 1]);
        return false;
    }
    return true;
}
