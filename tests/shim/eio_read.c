/* Preloaded into zol-cli by the tests of a failing disk: every descriptor
 * opened on the file named by ZOL_SHIM_EIO_PATH delivers its first
 * ZOL_SHIM_EIO_AFTER bytes and then fails each read with EIO, as a bad
 * sector part way into a package would. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define MAX_FDS 1024

/* Bytes read so far through each watched descriptor, -1 when unwatched. */
static long long delivered[MAX_FDS];
static int ready;

static void Init(void) {
  if (ready) return;
  for (int i = 0; i < MAX_FDS; ++i) delivered[i] = -1;
  ready = 1;
}

static void Watch(int fd, const char* path) {
  Init();
  if (fd < 0 || fd >= MAX_FDS) return;
  const char* target = getenv("ZOL_SHIM_EIO_PATH");
  delivered[fd] = target != NULL && path != NULL && strcmp(path, target) == 0 ? 0 : -1;
}

/* How much of a read of n bytes at fd may succeed; -1 when it must fail. */
static long long Allow(int fd, size_t n) {
  Init();
  if (fd < 0 || fd >= MAX_FDS || delivered[fd] < 0) return (long long)n;
  const char* after = getenv("ZOL_SHIM_EIO_AFTER");
  long long limit = after != NULL ? atoll(after) : 0;
  long long left = limit - delivered[fd];
  if (left <= 0) return -1;
  return (long long)n < left ? (long long)n : left;
}

static const char* ShimPath(const char* path) { return path; }
static void ShimOpened(int fd, const char* path) { Watch(fd, path); }

#include "open_hook.h"

#define FORWARD_READ(name, params, args, ...)                                    \
  ssize_t name params {                                                          \
    static ssize_t (*real) params;                                               \
    if (real == NULL) real = (ssize_t (*) params)dlsym(RTLD_NEXT, #name);        \
    long long allow = Allow(fd, n);                                              \
    if (allow < 0) {                                                             \
      errno = EIO;                                                               \
      return -1;                                                                 \
    }                                                                            \
    n = (size_t)allow;                                                           \
    ssize_t got = real args;                                                     \
    if (got > 0 && fd < MAX_FDS && delivered[fd] >= 0) delivered[fd] += got;     \
    return got;                                                                  \
  }

FORWARD_READ(read, (int fd, void* buf, size_t n), (fd, buf, n))
FORWARD_READ(pread, (int fd, void* buf, size_t n, off_t off), (fd, buf, n, off))
FORWARD_READ(pread64, (int fd, void* buf, size_t n, off64_t off), (fd, buf, n, off))

int close(int fd) {
  static int (*real)(int);
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
  Init();
  if (fd >= 0 && fd < MAX_FDS) delivered[fd] = -1;
  return real(fd);
}
