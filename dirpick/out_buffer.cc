#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dirpick/dirpick.h"

namespace {

void write_all(OutBuffer* out, const char* p, std::size_t n) {
  while (n > 0 && out->error == 0) {
    const ssize_t w = ::write(out->fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      out->error = errno;
    } else if (w == 0) {
      out->error = EIO;  // no progress and no error: do not spin
    } else {
      p += w;
      n -= static_cast<std::size_t>(w);
    }
  }
}

}  // namespace

void out_put(OutBuffer* out, std::string_view s) {
  if (out->error != 0) return;
  if (s.size() > sizeof out->data - out->len) {
    out_flush(out);
    if (s.size() > sizeof out->data) {
      write_all(out, s.data(), s.size());
      return;
    }
  }
  std::memcpy(out->data + out->len, s.data(), s.size());
  out->len += s.size();
}

void out_flush(OutBuffer* out) {
  write_all(out, out->data, out->len);
  out->len = 0;
}
