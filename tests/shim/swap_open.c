/* Preloaded into zol-cli by the tests that swap a package while it is being
 * installed: the opens of the file named by ZOL_SHIM_PATH whose ordinals
 * (1-based, per process) are listed in ZOL_SHIM_SWAP ("1,3") open the file
 * named by ZOL_SHIM_OTHER instead. That is what an owner of the package file
 * can do to a root install by replacing the file between two reads. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

static int opens;

static const char* Choose(const char* path) {
  const char* target = getenv("ZOL_SHIM_PATH");
  const char* other = getenv("ZOL_SHIM_OTHER");
  const char* swap = getenv("ZOL_SHIM_SWAP");
  if (path == NULL || target == NULL || other == NULL || swap == NULL || strcmp(path, target) != 0) return path;
  int n = __atomic_add_fetch(&opens, 1, __ATOMIC_SEQ_CST);
  for (const char* p = swap; *p != '\0';) {
    char* end;
    long v = strtol(p, &end, 10);
    if (end == p) break;
    if (v == n) return other;
    p = *end == ',' ? end + 1 : end;
  }
  return path;
}

static const char* ShimPath(const char* path) { return Choose(path); }
static void ShimOpened(int fd, const char* path) {
  (void)fd;
  (void)path;
}

#include "open_hook.h"
