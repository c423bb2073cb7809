// Arbitrary bytes as a configuration file, read through the same line
// reader as the real file; the sides and name servers it sets are dropped
// after each run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>

#include "nomicon/nomicon.h"
#include "nomicon/nomicon_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;  // fmemopen refuses an empty buffer
    std::FILE *file = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    if (file == nullptr)
        return 0;
    if (nomicon_read_config(file)) {
        // Values are verbatim pieces of a line: never longer than the
        // reader's limit, never holding a newline.
        for (const char *side : {nomicon_lhs, nomicon_rhs}) {
            if (side != nullptr &&
                (std::strlen(side) > NOMICON_LINE_LIMIT || std::strchr(side, '\n') != nullptr))
                __builtin_trap();
        }
        // Name servers: at most the resolver's three, each a whole address
        // at the name-service port.
        if (nomicon_nameservers().size() > NOMICON_MAX_NAMESERVERS)
            __builtin_trap();
        for (const sockaddr_storage &server : nomicon_nameservers()) {
            auto port = reinterpret_cast<const sockaddr_in *>(&server)->sin_port;
            if ((server.ss_family != AF_INET && server.ss_family != AF_INET6) || port != htons(53))
                __builtin_trap();
        }
    }
    std::fclose(file);
    nomicon_drop_sides();
    return 0;
}
