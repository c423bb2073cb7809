#include "nomicon/nomicon.h"
#include "nomicon/nomicon_internal.h"

std::span<const sockaddr_storage> nomicon_nameservers()
{
    return {nomicon_nameserver_list, static_cast<std::size_t>(nomicon_nameserver_count)};
}
