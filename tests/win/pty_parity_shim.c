/* Preloaded (LD_PRELOAD) into the Wine process of the end-to-end test, and
 * nowhere else.
 *
 * Why: a pseudo-terminal has no line, so it cannot keep even parity: Linux
 * drops PARENB from its settings. When Wine's SetCommState asks for exactly
 * that (every open after the first, once the other settings already match),
 * tcsetattr finds nothing it can change and reports EINVAL, and SetCommState
 * fails with ERROR_INVALID_PARAMETER. A real serial port keeps the parity, so
 * this is a property of the test rig, not of the library: on pseudo-terminal
 * slaves (device majors 136..143) the shim turns that EINVAL into success. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

typedef int (*tcsetattr_fn)(int, int, const struct termios*);

static int is_pty_slave(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

int tcsetattr(int fd, int action, const struct termios* settings) {
  static tcsetattr_fn real;
  if (real == NULL) real = (tcsetattr_fn)dlsym(RTLD_NEXT, "tcsetattr");
  const int saved_errno = errno;
  const int rc = real(fd, action, settings);
  if (rc == -1 && errno == EINVAL && is_pty_slave(fd)) {
    errno = saved_errno;
    return 0;
  }
  return rc;
}
