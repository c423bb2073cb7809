/* Stand-in for the site's notice-sending program in end-to-end tests.
 *
 * Each start leaves one file in /usr/calyx/notices, named by a sequence
 * number: the argument count in decimal and a newline, then every argument
 * (argv[0] included, as the caller passed it) followed by a NUL, then every
 * environment entry followed by a NUL. It then exits with the status written
 * in /usr/calyx/bin/vwrite.status (0 when that file is missing). Fixed paths,
 * not the environment, so the recorder works whatever its caller passes on.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern char **environ;

static int write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

int main(int argc, char **argv) {
  char path[64];
  int fd = -1;
  for (int seq = 1; seq < 100000 && fd < 0; ++seq) {
    snprintf(path, sizeof path, "/usr/calyx/notices/%d", seq);
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0 && errno != EEXIST) return 120;
  }
  if (fd < 0) return 121;
  char count[16];
  int n = snprintf(count, sizeof count, "%d\n", argc);
  if (write_all(fd, count, (size_t)n) != 0) return 122;
  for (int i = 0; i < argc; ++i)
    if (write_all(fd, argv[i], strlen(argv[i]) + 1) != 0) return 122;
  for (char **e = environ; *e != NULL; ++e)
    if (write_all(fd, *e, strlen(*e) + 1) != 0) return 122;
  if (close(fd) != 0) return 122;

  int status = 0;
  FILE *f = fopen("/usr/calyx/bin/vwrite.status", "r");
  if (f != NULL) {
    if (fscanf(f, "%d", &status) != 1) status = 123;
    fclose(f);
  }
  return status;
}
