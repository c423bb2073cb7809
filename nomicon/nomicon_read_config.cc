#include <cstdlib>
#include <cstring>

#include "nomicon/nomicon.h"
#include "nomicon/nomicon_internal.h"

namespace {

bool store_side(char **side, std::string_view value)
{
    char *copy = static_cast<char *>(std::malloc(value.size() + 1));
    if (copy == nullptr)
        return false;
    std::memcpy(copy, value.data(), value.size());
    copy[value.size()] = '\0';
    std::free(*side);
    *side = copy;
    return true;
}

}  // namespace

bool nomicon_read_config(std::FILE *file)
{
    nomicon_nameserver_count = 0;
    char piece[NOMICON_LINE_LIMIT + 1];
    while (std::fgets(piece, sizeof piece, file) != nullptr) {
        // A NUL byte inside a line ends what is seen of that piece.
        ConfigLine line = nomicon_config_line({piece, std::strlen(piece)});
        switch (line.kind) {
        case CONFIG_IGNORE:
            break;
        case CONFIG_INVALID:
            return false;
        case CONFIG_LHS:
            if (!store_side(&nomicon_lhs, line.value))
                return false;
            break;
        case CONFIG_RHS:
            if (!store_side(&nomicon_rhs, line.value))
                return false;
            break;
        case CONFIG_NAMESERVER:
            if (nomicon_nameserver_count < NOMICON_MAX_NAMESERVERS)
                nomicon_nameserver_list[nomicon_nameserver_count++] = line.server;
            break;
        }
    }
    return true;
}
