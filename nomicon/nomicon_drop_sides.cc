#include <cstdlib>

#include "nomicon/nomicon.h"
#include "nomicon/nomicon_internal.h"

namespace {

// The built-in sides are string constants; only private copies are freed.
bool is_heap_copy(const char *side)
{
    return side != nullptr && side != nomicon_default_lhs && side != nomicon_default_rhs;
}

}  // namespace

void nomicon_drop_sides()
{
    if (is_heap_copy(nomicon_lhs))
        std::free(nomicon_lhs);
    if (is_heap_copy(nomicon_rhs))
        std::free(nomicon_rhs);
    nomicon_lhs = nullptr;
    nomicon_rhs = nullptr;
    nomicon_nameserver_count = 0;
}
