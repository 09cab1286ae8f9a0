/* The open family, forwarded to the C library's own after two hooks the
 * including shim defines first:
 *   static const char* ShimPath(const char* path);  the path really opened
 *   static void ShimOpened(int fd, const char* path); told of every result
 * so each shim says only what it does to a package file. */
#ifndef ZOL_TESTS_SHIM_OPEN_HOOK_H
#define ZOL_TESTS_SHIM_OPEN_HOOK_H

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>

static mode_t ModeOf(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

#define FORWARD_OPEN(name)                                                            \
  int name(const char* path, int flags, ...) {                                        \
    static int (*real)(const char*, int, ...);                                        \
    if (real == NULL) real = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, #name); \
    va_list ap;                                                                       \
    va_start(ap, flags);                                                              \
    mode_t mode = ModeOf(flags, ap);                                                  \
    va_end(ap);                                                                       \
    int fd = real(ShimPath(path), flags, mode);                                       \
    ShimOpened(fd, path);                                                             \
    return fd;                                                                        \
  }

#define FORWARD_OPENAT(name)                                                               \
  int name(int dirfd, const char* path, int flags, ...) {                                  \
    static int (*real)(int, const char*, int, ...);                                        \
    if (real == NULL) real = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, #name); \
    va_list ap;                                                                            \
    va_start(ap, flags);                                                                   \
    mode_t mode = ModeOf(flags, ap);                                                       \
    va_end(ap);                                                                            \
    int fd = real(dirfd, ShimPath(path), flags, mode);                                     \
    ShimOpened(fd, path);                                                                  \
    return fd;                                                                             \
  }

FORWARD_OPEN(open)
FORWARD_OPEN(open64)
FORWARD_OPENAT(openat)
FORWARD_OPENAT(openat64)

#endif
