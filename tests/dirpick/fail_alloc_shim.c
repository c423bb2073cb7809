/* Preloaded into dirpick by the command-line tests to make allocations fail
 * on demand: FAIL_CALLOC fails every calloc, FAIL_REALLOC_ABOVE=n fails
 * every realloc of more than n bytes. Otherwise glibc's own allocator. */
#include <errno.h>
#include <stdlib.h>

extern void *__libc_calloc(size_t n, size_t size);
extern void *__libc_realloc(void *p, size_t size);

void *calloc(size_t n, size_t size) {
  if (getenv("FAIL_CALLOC") != NULL) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(n, size);
}

void *realloc(void *p, size_t size) {
  const char *limit = getenv("FAIL_REALLOC_ABOVE");
  if (limit != NULL && size > strtoul(limit, NULL, 10)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_realloc(p, size);
}
