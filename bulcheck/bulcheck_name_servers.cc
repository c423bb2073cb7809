#include "bulcheck/bulcheck.h"
#include "nomicon/nomicon.h"

#include <cstring>

std::size_t bulcheck_name_servers(std::span<sockaddr_storage> out, bool *from_setting)
{
    std::span<const sockaddr_storage> named = nomicon_nameservers();
    *from_setting = !named.empty();
    if (named.empty())
        return bulcheck_resolver_servers(out);
    std::size_t n = named.size() < out.size() ? named.size() : out.size();
    std::memcpy(out.data(), named.data(), n * sizeof named[0]);
    return n;
}
