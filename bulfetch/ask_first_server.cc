#include "bulfetch/bulfetch.h"

#include <cstdlib>

ErrorCode ask_first_server(char **bulletin_out, std::int32_t *length_out)
{
    char **servers = nullptr;
    ErrorCode code = get_servername(&servers);
    if (code != 0)
        return code;
    code = bulfetch_from_server(bulletin_out, length_out, servers[0]);
    for (char **s = servers; *s != nullptr; ++s)
        std::free(*s);
    std::free(servers);
    return code;
}
