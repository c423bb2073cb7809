#include "bulcheck/bulcheck.h"

// The servers the client's class-HS queries go to.
std::size_t bulcheck_name_servers(std::span<sockaddr_storage> out, bool *from_setting)
{
    *from_setting = false;
    return bulcheck_resolver_servers(out);
}
