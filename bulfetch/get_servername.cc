#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"
#include "nomicon/nomicon.h"

#include <cstdlib>
#include <cstring>

// The name service's vector is overwritten by its next lookup (the port
// lookup comes next), so the names are copied out at once. The list ends
// with a null entry.
ErrorCode get_servername(char ***servers_out)
{
    if (servers_out == nullptr)
        return BUL_MISSING_ARGUMENT;
    char **names = nomicon_resolve(BULLETIN_SERVICE, "sloc");
    if (names == nullptr)
        return nomicon_errors();
    std::size_t count = 0;
    while (names[count] != nullptr)
        ++count;
    if (count == 0) {
        // Returned here, outside the translator, so the table is put in
        // place first: its code then renders with its text in the log.
        register_nom_table();
        return ERROR_TABLE_NOM + 5;
    }
    char **list = static_cast<char **>(std::calloc(count + 1, sizeof *list));
    if (list == nullptr)
        return BUL_NO_MEMORY;
    for (std::size_t i = 0; i < count; ++i) {
        list[i] = strdup(names[i]);
        if (list[i] == nullptr) {
            for (std::size_t k = 0; k < i; ++k)
                std::free(list[k]);
            std::free(list);
            return BUL_NO_MEMORY;
        }
    }
    // The originals are ours too; nothing else holds on to them once the
    // next lookup overwrites the vector.
    for (std::size_t i = 0; i < count; ++i)
        std::free(names[i]);
    *servers_out = list;
    return 0;
}
