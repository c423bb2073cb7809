// Command-line lookups through the name-service client, for interop tests:
//   nomicon_lookup NAME TYPE       each result string on a line of its own
//   nomicon_lookup -s NAME PROTO   "s_name s_proto port aliases..."
// Exit 0 on success; 1 on a failed lookup ("status N" on stderr for a
// null result of NAME TYPE); 2 on a usage error.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netdb.h>

#include "nomicon/nomicon.h"

namespace {

int usage()
{
    std::fputs("usage: nomicon_lookup NAME TYPE\n       nomicon_lookup -s NAME PROTO\n", stderr);
    return 2;
}

int lookup_strings(const char *name, const char *type)
{
    char **results = nomicon_resolve(name, type);
    if (results == nullptr) {
        std::fprintf(stderr, "status %d\n", nomicon_error());
        return 1;
    }
    for (char **r = results; *r != nullptr; ++r)
        std::printf("%s\n", *r);
    return 0;
}

// The entry (and the lookup string it points into) stays allocated until
// exit, as in the client; a static keeps it reachable for the leak checker.
struct servent *entry;

int lookup_service(const char *name, const char *proto)
{
    entry = nomicon_getservbyname(name, proto);
    if (entry == nullptr) {
        std::fprintf(stderr, "status %d\n", nomicon_error());
        return 1;
    }
    std::printf("%s %s %u", entry->s_name, entry->s_proto,
                static_cast<unsigned>(ntohs(static_cast<std::uint16_t>(entry->s_port))));
    for (char **a = entry->s_aliases; *a != nullptr; ++a)
        std::printf(" %s", *a);
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "-s") == 0)
        return lookup_service(argv[2], argv[3]);
    if (argc == 3 && argv[1][0] != '-')
        return lookup_strings(argv[1], argv[2]);
    return usage();
}
