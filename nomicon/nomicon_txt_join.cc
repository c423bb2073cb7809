#include <cstring>

#include "nomicon/nomicon_internal.h"

std::size_t nomicon_txt_join(const unsigned char *data, std::size_t length, char *out)
{
    std::size_t in = 0;
    std::size_t written = 0;
    while (in < length) {
        std::size_t string_length = data[in++];
        // A character-string that claims more than the data holds keeps
        // only what is there: the join never leaves the record.
        if (string_length > length - in)
            string_length = length - in;
        std::memcpy(out + written, data + in, string_length);
        written += string_length;
        in += string_length;
    }
    out[written] = '\0';
    return written;
}
