#include <cstdlib>
#include <netdb.h>

#include "nomicon/nomicon.h"
#include "nomicon/nomicon_internal.h"

struct servent *nomicon_getservbyname(const char *name, const char *proto)
{
    char **strings = nomicon_resolve(name, "service");
    if (strings == nullptr)
        return nullptr;
    // Allocated before any string is parsed, so that a failed allocation
    // leaves the shared alias vector as the last success left it.
    auto *entry = static_cast<struct servent *>(std::malloc(sizeof(struct servent)));
    // Only the matching string is kept, reachable through the entry's
    // fields; the others are freed, as no caller can reach them (all of
    // them when there is no entry to hold one).
    struct servent *found = nullptr;
    for (char **s = strings; *s != nullptr; ++s) {
        if (entry != nullptr && found == nullptr && nomicon_parse_service(*s, proto, entry))
            found = entry;
        else
            std::free(*s);
        *s = nullptr;
    }
    if (found == nullptr)
        std::free(entry);
    return found;
}
