/* A preload that makes reads and writes of chosen files slow, as on a slow
 * disk or a network home directory: every read or write on a file whose path
 * contains PV_SLOW_PATH first sleeps PV_SLOW_MS milliseconds (default 50).
 * PV_SLOW_OPS is "read", "write" or "read,write" (the default). Covers
 * open/openat/fopen and read/write/pread/pwrite/fread/fwrite, which is what
 * the game and the libraries it loads use.
 *   LD_PRELOAD=libpv_slow_io.so PV_SLOW_PATH=screenshot PV_SLOW_MS=50 plu-vesk */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "preload.h"

enum { max_fds = 4096 };
static volatile unsigned char slow_fd[max_fds]; /* 1 where the fd is a slow file */

static int wanted(const char* path) {
  const char* part = getenv("PV_SLOW_PATH");
  return path && part && *part && strstr(path, part) != NULL;
}

static void mark(int fd, const char* path) {
  if (fd >= 0 && fd < max_fds) slow_fd[fd] = (unsigned char)wanted(path);
}

static void pause_for(int fd, const char* op) {
  if (fd < 0 || fd >= max_fds || !slow_fd[fd]) return;
  const char* ops = getenv("PV_SLOW_OPS");
  if (ops && *ops && !strstr(ops, op)) return;
  const char* ms_text = getenv("PV_SLOW_MS");
  long ms = ms_text && *ms_text ? atol(ms_text) : 50;
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

int open(const char* path, int flags, ...) {
  REAL(open);
  va_list ap;
  va_start(ap, flags);
  mode_t m = mode_arg(flags, ap);
  va_end(ap);
  int fd = real_open(path, flags, m);
  mark(fd, path);
  return fd;
}

int open64(const char* path, int flags, ...) {
  REAL(open64);
  va_list ap;
  va_start(ap, flags);
  mode_t m = mode_arg(flags, ap);
  va_end(ap);
  int fd = real_open64(path, flags, m);
  mark(fd, path);
  return fd;
}

int openat(int dir, const char* path, int flags, ...) {
  REAL(openat);
  va_list ap;
  va_start(ap, flags);
  mode_t m = mode_arg(flags, ap);
  va_end(ap);
  int fd = real_openat(dir, path, flags, m);
  mark(fd, path);
  return fd;
}

int openat64(int dir, const char* path, int flags, ...) {
  REAL(openat64);
  va_list ap;
  va_start(ap, flags);
  mode_t m = mode_arg(flags, ap);
  va_end(ap);
  int fd = real_openat64(dir, path, flags, m);
  mark(fd, path);
  return fd;
}

FILE* fopen(const char* path, const char* how) {
  REAL(fopen);
  FILE* f = real_fopen(path, how);
  if (f) mark(fileno(f), path);
  return f;
}

FILE* fopen64(const char* path, const char* how) {
  REAL(fopen64);
  FILE* f = real_fopen64(path, how);
  if (f) mark(fileno(f), path);
  return f;
}

int close(int fd) {
  REAL(close);
  if (fd >= 0 && fd < max_fds) slow_fd[fd] = 0;
  return real_close(fd);
}

int fclose(FILE* f) {
  REAL(fclose);
  int fd = fileno(f);
  if (fd >= 0 && fd < max_fds) slow_fd[fd] = 0;
  return real_fclose(f);
}

ssize_t read(int fd, void* buf, size_t n) {
  REAL(read);
  pause_for(fd, "read");
  return real_read(fd, buf, n);
}

ssize_t pread(int fd, void* buf, size_t n, off_t at) {
  REAL(pread);
  pause_for(fd, "read");
  return real_pread(fd, buf, n, at);
}

ssize_t write(int fd, const void* buf, size_t n) {
  REAL(write);
  pause_for(fd, "write");
  return real_write(fd, buf, n);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
  REAL(pwrite);
  pause_for(fd, "write");
  return real_pwrite(fd, buf, n, at);
}

size_t fread(void* buf, size_t size, size_t n, FILE* f) {
  REAL(fread);
  pause_for(fileno(f), "read");
  return real_fread(buf, size, n, f);
}

size_t fwrite(const void* buf, size_t size, size_t n, FILE* f) {
  REAL(fwrite);
  pause_for(fileno(f), "write");
  return real_fwrite(buf, size, n, f);
}
