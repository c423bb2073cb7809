#include <cstring>

#include "dirpick/dirpick.h"

const char* prog_name_of(const char* argv0) {
  // A process may be started with no argv[0] at all (recent kernels then
  // pass an empty one); messages still need a name to stand on.
  if (argv0 == nullptr) return "dirpick";
  const char* slash = std::strrchr(argv0, '/');
  const char* name = slash != nullptr ? slash + 1 : argv0;
  return *name != '\0' ? name : "dirpick";
}
