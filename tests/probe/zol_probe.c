/* A small static program that end-to-end tests install as an application:
 * each sub-command reports one aspect of the world it runs in. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

extern char **environ;

static int cmd_env(void) {
  for (char **e = environ; *e != NULL; ++e) printf("%s\n", *e);
  return 0;
}

static int cmd_fds(void) {
  DIR *d = opendir("/proc/self/fd");
  if (d == NULL) return perror("opendir"), 1;
  int self = dirfd(d);
  struct dirent *e;
  while ((e = readdir(d)) != NULL) {
    if (e->d_name[0] == '.') continue;
    if (atoi(e->d_name) == self) continue;
    printf("%s\n", e->d_name);
  }
  closedir(d);
  return 0;
}

static int cmd_info(void) {
  char line[256];
  FILE *f = fopen("/proc/self/status", "r");
  if (f != NULL) {
    while (fgets(line, sizeof line, f) != NULL) {
      if (strncmp(line, "NoNewPrivs:", 11) == 0) fputs(line, stdout);
    }
    fclose(f);
  }
  char cwd[4096];
  printf("pid=%d pgid=%d cwd=%s\n", (int)getpid(), (int)getpgid(0), getcwd(cwd, sizeof cwd) ? cwd : "?");
  return 0;
}

static int cmd_stat(int argc, char **argv) {
  for (int i = 0; i < argc; ++i) {
    struct stat st;
    if (lstat(argv[i], &st) != 0) {
      printf("%s -\n", argv[i]);
    } else if (S_ISCHR(st.st_mode)) {
      printf("%s c %u:%u\n", argv[i], major(st.st_rdev), minor(st.st_rdev));
    } else if (S_ISLNK(st.st_mode)) {
      char buf[256] = {0};
      ssize_t n = readlink(argv[i], buf, sizeof buf - 1);
      printf("%s l %s\n", argv[i], n > 0 ? buf : "?");
    } else if (S_ISDIR(st.st_mode)) {
      printf("%s d\n", argv[i]);
    } else {
      printf("%s f\n", argv[i]);
    }
  }
  return 0;
}

static int cmd_write(const char *path, const char *text) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, text, strlen(text)) < 0) {
    printf("write %s: %s\n", path, strerror(errno));
    return 1;
  }
  close(fd);
  printf("wrote %s\n", path);
  return 0;
}

static int cmd_cat(const char *path) {
  FILE *f = fopen(path, "r");
  if (f == NULL) {
    printf("open %s: %s\n", path, strerror(errno));
    return 1;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) fwrite(buf, 1, n, stdout);
  fclose(f);
  return 0;
}

static int cmd_ls(const char *path) {
  DIR *d = opendir(path);
  if (d == NULL) {
    printf("opendir %s: %s\n", path, strerror(errno));
    return 1;
  }
  struct dirent *e;
  while ((e = readdir(d)) != NULL) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) printf("%s\n", e->d_name);
  }
  closedir(d);
  return 0;
}

static int cmd_pty(void) {
  int m = posix_openpt(O_RDWR | O_NOCTTY);
  if (m < 0) return printf("posix_openpt: %s\n", strerror(errno)), 1;
  if (grantpt(m) != 0 || unlockpt(m) != 0) return printf("unlockpt: %s\n", strerror(errno)), 1;
  const char *name = ptsname(m);
  if (name == NULL) return printf("ptsname: %s\n", strerror(errno)), 1;
  int s = open(name, O_RDWR | O_NOCTTY);
  if (s < 0) return printf("open %s: %s\n", name, strerror(errno)), 1;
  if (write(m, "ping\n", 5) != 5) return printf("write: %s\n", strerror(errno)), 1;
  char buf[16] = {0};
  ssize_t n = read(s, buf, sizeof buf - 1);
  printf("pty %s %s", name, n > 0 ? buf : "(nothing)\n");
  return 0;
}

static int __attribute__((noreturn)) cmd_hog(void) {
  for (size_t total = 0;; total += 1 << 20) {
    char *p = malloc(1 << 20);
    if (p == NULL) { printf("malloc failed at %zu\n", total); exit(1); }
    memset(p, 1, 1 << 20);
  }
}

static const char *g_marker;
static void on_signal(int sig) {
  int fd = open(g_marker, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    char c = (char)('0' + sig % 10);
    ssize_t ignored = write(fd, &c, 1);
    (void)ignored;
    close(fd);
  }
}

/* Starts a grandchild in its own session that writes its pid to `pidfile` and
 * sleeps for ever; returns once the pid is written. */
static void spawn_sleeper(const char *pidfile) {
  int p[2];
  if (pipe(p) != 0) exit(1);
  pid_t c = fork();
  if (c == 0) {
    setsid();
    if (fork() == 0) {
      char buf[32];
      int n = snprintf(buf, sizeof buf, "%d", (int)getpid());
      int fd = open(pidfile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        ssize_t ignored = write(fd, buf, (size_t)n);
        (void)ignored;
        close(fd);
      }
      ssize_t ignored = write(p[1], "x", 1);
      (void)ignored;
      for (;;) pause();
    }
    _exit(0);
  }
  close(p[1]);
  char x;
  if (read(p[0], &x, 1) != 1) exit(1);
  close(p[0]);
}

/* Optionally starts a sleeper grandchild, writes its own pid to `ready`, then
 * waits for ever; a trapped signal leaves a mark in `marker`. */
static int __attribute__((noreturn)) cmd_wait(const char *ready, const char *marker, const char *pidfile) {
  g_marker = marker;
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  signal(SIGHUP, on_signal);
  if (pidfile != NULL) spawn_sleeper(pidfile);
  char buf[32];
  snprintf(buf, sizeof buf, "%d", (int)getpid());
  char tmp[4096];
  snprintf(tmp, sizeof tmp, "%s.tmp", ready);
  int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, buf, strlen(buf)) < 0 || close(fd) != 0 || rename(tmp, ready) != 0) exit(1);
  for (;;) pause();
}

static int cmd_spawn(const char *pidfile) {
  spawn_sleeper(pidfile);
  printf("spawned\n");
  return 0;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: zol_probe COMMAND [ARGS]\n");
    return 2;
  }
  const char *c = argv[1];
  if (strcmp(c, "env") == 0) return cmd_env();
  if (strcmp(c, "fds") == 0) return cmd_fds();
  if (strcmp(c, "info") == 0) return cmd_info();
  if (strcmp(c, "stat") == 0) return cmd_stat(argc - 2, argv + 2);
  if (strcmp(c, "write") == 0 && argc == 4) return cmd_write(argv[2], argv[3]);
  if (strcmp(c, "cat") == 0 && argc == 3) return cmd_cat(argv[2]);
  if (strcmp(c, "ls") == 0 && argc == 3) return cmd_ls(argv[2]);
  if (strcmp(c, "pty") == 0) return cmd_pty();
  if (strcmp(c, "hog") == 0) return cmd_hog();
  if (strcmp(c, "exit") == 0 && argc == 3) return atoi(argv[2]);
  if (strcmp(c, "selfkill") == 0) return raise(SIGKILL);
  if (strcmp(c, "args") == 0) {
    for (int i = 2; i < argc; ++i) printf("[%s]\n", argv[i]);
    return 0;
  }
  if (strcmp(c, "wait") == 0 && (argc == 4 || argc == 5)) return cmd_wait(argv[2], argv[3], argc == 5 ? argv[4] : NULL);
  if (strcmp(c, "spawn") == 0 && argc == 3) return cmd_spawn(argv[2]);
  fprintf(stderr, "zol_probe: unknown command %s\n", c);
  return 2;
}
