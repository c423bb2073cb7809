// Stands in for the notice program: writes its argument vector, each
// element followed by a NUL, to the file named by ARGV_RECORD_FILE, and
// exits with status 7 so that a test can tell it ran.
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *path = std::getenv("ARGV_RECORD_FILE");
    if (path == nullptr)
        return 1;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return 1;
    for (int i = 0; i < argc; ++i)
        if (write(fd, argv[i], std::strlen(argv[i]) + 1) < 0)
            return 1;
    close(fd);
    return 7;
}
