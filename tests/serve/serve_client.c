/* A host in a process of its own for the session tests: opens COM1 (mapped by
 * VORKAND_COM1), resets the reader, says so on stdout, and holds the reader
 * until a line on stdin says what to do:
 *   close    CT_close and exit 0 (also at the end of stdin)
 *   vanish   leave as a machine that was switched off would: every socket is
 *            put into repair mode first, so closing it sends nothing (needs
 *            CAP_NET_ADMIN), then exit without CT_close
 * Prints "open SW" after the reset, or "refused" when CT_open returned 0. */
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vorkand.h>

#ifndef TCP_REPAIR
#define TCP_REPAIR 19
#endif

static int vanish(void) {
  DIR* fds = opendir("/proc/self/fd");
  if (fds == NULL) return 1;
  int repaired = 0;
  for (struct dirent* entry; (entry = readdir(fds)) != NULL;) {
    const int fd = atoi(entry->d_name);
    struct stat status;
    if (fd <= 2 || fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) continue;
    const int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_REPAIR, &on, sizeof on) == 0) ++repaired;
  }
  closedir(fds);
  printf("vanished %d\n", repaired);
  fflush(stdout);
  _exit(repaired > 0 ? 0 : 1);
}

int main(void) {
  const int32_t handle = CT_open("COM1");
  if (handle == 0) {
    puts("refused");
    return 1;
  }
  printf("open %04X\n", (unsigned)CT_reset(handle));
  fflush(stdout);
  char line[64];
  if (fgets(line, sizeof line, stdin) != NULL && strncmp(line, "vanish", 6) == 0) return vanish();
  return CT_close(handle) == 0 ? 0 : 1;
}
