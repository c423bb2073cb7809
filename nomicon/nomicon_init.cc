#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nomicon/nomicon.h"
#include "nomicon/nomicon_internal.h"

int nomicon_init()
{
    nomicon_status = -1;
    nomicon_drop_sides();

    std::FILE *file = std::fopen(nomicon_config_file, "r");
    if (file == nullptr) {
        nomicon_lhs = nomicon_default_lhs;
        nomicon_rhs = nomicon_default_rhs;
    } else {
        bool valid = nomicon_read_config(file);
        std::fclose(file);
        // An invalid value, or a copy that cannot be made: the
        // configuration is not in place, and the next build tries again.
        if (!valid) {
            nomicon_nameserver_count = 0;
            nomicon_status = 2;
            return nomicon_status;
        }
    }

    if (const char *domain = std::getenv("NOM_DOMAIN")) {
        char *copy = strdup(domain);
        if (copy == nullptr) {
            nomicon_status = 2;
            return nomicon_status;
        }
        if (nomicon_rhs != nomicon_default_rhs)
            std::free(nomicon_rhs);
        nomicon_rhs = copy;
    }
    nomicon_status = nomicon_rhs != nullptr ? 0 : 2;
    return nomicon_status;
}
