// Arbitrary text as one service string; the first byte picks the protocol
// asked for.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <netdb.h>
#include <vector>

#include "nomicon/nomicon_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const char *proto = (data[0] & 1) ? "udp" : "UDP";
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    const char *begin = text.data();
    const char *end = begin + text.size();
    struct servent entry {};
    if (!nomicon_parse_service(text.data(), proto, &entry))
        return 0;
    int aliases = 0;
    for (char **a = entry.s_aliases; *a != nullptr; ++a, ++aliases) {
        if (*a < begin || *a >= end)
            __builtin_trap();
    }
    if (aliases > NOMICON_MAX_ALIASES || entry.s_name < begin || entry.s_proto >= end ||
        (entry.s_port & ~0xFFFF) != 0)
        __builtin_trap();
    return 0;
}
