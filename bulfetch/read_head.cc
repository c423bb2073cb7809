#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

ErrorCode read_head(char **buffer_out, std::int32_t *length_out, int fd,
                    std::int32_t limit)
{
    if (buffer_out == nullptr || length_out == nullptr)
        return BUL_MISSING_ARGUMENT;
    if (limit < 0)
        return BUL_NEGATIVE_LENGTH;
    char chunk[1024];
    char *buffer = nullptr;
    std::int32_t total = 0;
    for (;;) {
        // Never more than the limit is asked for, so a file that never ends
        // (a device, a file growing under us) costs at most the limit.
        std::size_t want = sizeof chunk;
        if (static_cast<std::size_t>(limit - total) < want)
            want = static_cast<std::size_t>(limit - total);
        ssize_t n = want > 0 ? read(fd, chunk, want) : 0;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ErrorCode code = errno;
            std::free(buffer);
            return code;
        }
        // Grown by exactly the bytes read, so the buffer ends at total + 1.
        char *grown = static_cast<char *>(std::realloc(buffer, total + n + 1));
        if (grown == nullptr) {
            std::free(buffer);
            return BUL_NO_MEMORY;
        }
        buffer = grown;
        std::memcpy(buffer + total, chunk, n);
        total += static_cast<std::int32_t>(n);
        if (n == 0)
            break;
    }
    buffer[total] = '\0';
    *buffer_out = buffer;
    *length_out = total;
    return 0;
}
