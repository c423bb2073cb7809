/* Stand-in for the site's notice-sending program in end-to-end tests.
 *
 * Each start leaves one file in /usr/calyx/notices, named by a sequence
 * number: the argument count in decimal and a newline, then every argument
 * (argv[0] included, as the caller passed it) followed by a NUL, then every
 * environment entry followed by a NUL, then two more such entries:
 * CALYX_NOTICE_FDS=, the descriptors open at start ("0 1 2"), and
 * CALYX_NOTICE_SIGBLK=, the blocked signals as 16 hex digits (bit 0 for
 * signal 1). It then exits with the status written
 * in /usr/calyx/bin/vwrite.status (0 when that file is missing). Fixed paths,
 * not the environment, so the recorder works whatever its caller passes on.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
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

/* The descriptors open at start and the blocked signals, before the
 * program opens anything. */
static void describe_start(char *fds, size_t fds_size, char *mask, size_t mask_size) {
  size_t n = (size_t)snprintf(fds, fds_size, "CALYX_NOTICE_FDS=");
  const size_t empty = n;
  DIR *d = opendir("/proc/self/fd");
  for (struct dirent *e; d != NULL && (e = readdir(d)) != NULL;) {
    if (e->d_name[0] == '.' || atoi(e->d_name) == dirfd(d) || n >= fds_size) continue;
    n += (size_t)snprintf(fds + n, fds_size - n, n > empty ? " %s" : "%s", e->d_name);
  }
  if (d != NULL) closedir(d);
  sigset_t blocked;
  unsigned long long bits = 0;
  sigprocmask(SIG_BLOCK, NULL, &blocked);
  for (int sig = 1; sig <= 64; ++sig)
    if (sigismember(&blocked, sig) == 1) bits |= 1ULL << (sig - 1);
  snprintf(mask, mask_size, "CALYX_NOTICE_SIGBLK=%016llx", bits);
}

int main(int argc, char **argv) {
  char fds[256], mask[64];
  describe_start(fds, sizeof fds, mask, sizeof mask);
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
  if (write_all(fd, fds, strlen(fds) + 1) != 0 ||
      write_all(fd, mask, strlen(mask) + 1) != 0) return 122;
  if (close(fd) != 0) return 122;

  int status = 0;
  FILE *f = fopen("/usr/calyx/bin/vwrite.status", "r");
  if (f != NULL) {
    if (fscanf(f, "%d", &status) != 1) status = 123;
    fclose(f);
  }
  return status;
}
