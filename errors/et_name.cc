#include <cstdint>
#include <initializer_list>

#include "errors/errors.h"

const char *et_name(ErrorCode base)
{
    static const char charset[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_";
    // Four characters at most, then the NUL.
    static char name[5];
    std::uint32_t number = static_cast<std::uint32_t>(base) >> 8;
    int n = 0;
    // Zero groups are skipped wherever they fall, so a name read back from
    // any code is at most four characters.
    for (int shift : {24, 18, 12, 6, 0}) {
        unsigned group = (number >> shift) & 0x3F;
        if (group != 0 && n < 4)
            name[n++] = charset[group - 1];
    }
    name[n] = '\0';
    return name;
}
