/* Preloaded (LD_PRELOAD) into every 32-bit Wine process that runs under QEMU's
 * user mode (see ../wine32-run), and nowhere else.
 *
 * Why: QEMU 7.2 does not know MAP_FIXED_NOREPLACE. Wine reserves its address
 * space with that flag, one candidate address after another; when the flag
 * does nothing, every attempt fails a slow way and a 32-bit start takes about
 * a minute. Here the flag gets its meaning back: the address asked for is
 * passed as a plain hint, and a mapping that lands elsewhere is undone and
 * reported as EEXIST, as the kernel does. A start then takes well under a
 * second. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/types.h>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

typedef void* (*mmap_fn)(void*, size_t, int, int, int, off_t);
typedef void* (*mmap64_fn)(void*, size_t, int, int, int, off64_t);

static void* placed_or_eexist(void* want, void* got, size_t length) {
  if (got == MAP_FAILED || got == want) return got;
  munmap(got, length);
  errno = EEXIST;
  return MAP_FAILED;
}

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  static mmap_fn real;
  if (real == NULL) real = (mmap_fn)dlsym(RTLD_NEXT, "mmap");
  if (!(flags & MAP_FIXED_NOREPLACE)) return real(addr, length, prot, flags, fd, offset);
  return placed_or_eexist(addr, real(addr, length, prot, flags & ~MAP_FIXED_NOREPLACE, fd, offset),
                          length);
}

void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off64_t offset) {
  static mmap64_fn real;
  if (real == NULL) real = (mmap64_fn)dlsym(RTLD_NEXT, "mmap64");
  if (!(flags & MAP_FIXED_NOREPLACE)) return real(addr, length, prot, flags, fd, offset);
  return placed_or_eexist(addr, real(addr, length, prot, flags & ~MAP_FIXED_NOREPLACE, fd, offset),
                          length);
}
