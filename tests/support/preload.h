/* What the tests' preloads share: the real function behind one they wrap,
 * and the mode that open() takes only with some flags. */
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>

#define REAL(name) static __typeof__(name)* real_##name; \
  if (!real_##name) real_##name = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

static inline mode_t mode_arg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}
