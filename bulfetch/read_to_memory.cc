#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <cstdlib>

// One byte past the bound is read, to tell a file of exactly the bound from
// a longer one.
ErrorCode read_to_memory(char **buffer_out, std::int32_t *length_out, int fd)
{
    if (buffer_out == nullptr || length_out == nullptr)
        return BUL_MISSING_ARGUMENT;
    char *buffer = nullptr;
    std::int32_t length = 0;
    if (ErrorCode code = read_head(&buffer, &length, fd, BULFETCH_MAX_FILE + 1); code != 0)
        return code;
    if (length > BULFETCH_MAX_FILE) {
        std::free(buffer);
        return EFBIG;
    }
    *buffer_out = buffer;
    *length_out = length;
    return 0;
}
