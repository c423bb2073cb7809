#include <cstring>

#include "bulserve/bulserve.h"

const char *bulserve_program_name(const char *argv0, const char *fallback)
{
    if (argv0 == nullptr)
        return fallback;
    const char *slash = std::strrchr(argv0, '/');
    const char *name = slash != nullptr ? slash + 1 : argv0;
    return *name != '\0' ? name : fallback;
}
