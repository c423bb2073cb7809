#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "dirpick/dirpick.h"

// Opened read-only, a /dev/null in a closed slot keeps a later open from
// taking descriptor 0, 1 or 2, while a write to it still fails with EBADF as
// it did on the closed descriptor, so a closed standard output is still
// reported as a write error.
int guard_standard_fds() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower descriptors are open by now, so the lowest free one is fd.
    const int null_fd = ::open("/dev/null", O_RDONLY | O_NOCTTY);
    if (null_fd < 0) return errno;
    if (null_fd != fd) {
      const int moved = ::dup2(null_fd, fd);
      const int error = moved < 0 ? errno : 0;
      ::close(null_fd);
      if (error != 0) return error;
    }
  }
  return 0;
}
