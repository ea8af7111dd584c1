/* A preload that shows SDL's Linux joystick code one gamepad where the
 * machine has none: an Xbox 360 pad (045e:028e, version 0x0114), which SDL's
 * own mapping database knows. SDL is given the device's path in
 * SDL_JOYSTICK_DEVICE; this library answers for that path:
 *   PV_PAD_DEVICE  the path (a plain file: SDL stats it before opening it)
 *   PV_PAD_FIFO    a FIFO that the test writes struct input_event records into
 * SDL's open() of the path (its only way in) opens the FIFO instead; the
 * evdev ioctls get the pad's answers; reads give what the test wrote. Once
 * the path is removed, reads fail with ENODEV, as on a pad pulled out; with
 * PV_PAD_LATE=1, SDL_JOYSTICK_DEVICE reads as unset until it exists. PV_PAD_LOG=1 prints the
 * ioctls it does not know on stderr. PV_PAD_NO_SDL=1 instead hides SDL
 * itself: loading libSDL2 fails, as on a machine without it.
 *   LD_PRELOAD=libpv_fake_pad.so PV_PAD_DEVICE=pad PV_PAD_FIFO=pad.fifo \
 *   SDL_JOYSTICK_DEVICE=pad plu-vesk */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "preload.h"

enum { max_fds = 4096 };
static volatile unsigned char pad_fd[max_fds]; /* 1 where the fd stands for the pad */

static const char pad_name[] = "Microsoft X-Box 360 pad";
static const unsigned short pad_keys[] = {BTN_A, BTN_B, BTN_X, BTN_Y, BTN_TL, BTN_TR,
                                          BTN_SELECT, BTN_START, BTN_MODE, BTN_THUMBL, BTN_THUMBR};
static const unsigned short pad_axes[] = {ABS_X, ABS_Y, ABS_Z, ABS_RX, ABS_RY, ABS_RZ,
                                          ABS_HAT0X, ABS_HAT0Y};

static int is_pad_path(const char* path) {
  const char* pad = getenv("PV_PAD_DEVICE");
  return path && pad && *pad && strcmp(path, pad) == 0;
}

static int is_pad(int fd) { return fd >= 0 && fd < max_fds && pad_fd[fd]; }

static int open_pad(int flags) {
  REAL(open);
  const char* fifo = getenv("PV_PAD_FIFO");
  if (!fifo) {
    errno = ENOENT;
    return -1;
  }
  /* Read and write: a FIFO so opened never waits for the other end. */
  int fd = real_open(fifo, O_RDWR | O_NONBLOCK | (flags & O_CLOEXEC));
  if (fd >= 0 && fd < max_fds) pad_fd[fd] = 1;
  return fd;
}

int open(const char* path, int flags, ...) {
  REAL(open);
  va_list ap;
  va_start(ap, flags);
  mode_t m = mode_arg(flags, ap);
  va_end(ap);
  if (is_pad_path(path)) return open_pad(flags);
  return real_open(path, flags, m);
}

int close(int fd) {
  REAL(close);
  if (fd >= 0 && fd < max_fds) pad_fd[fd] = 0;
  return real_close(fd);
}

static int gone(void) {
  struct stat st;
  const char* pad = getenv("PV_PAD_DEVICE");
  return !pad || stat(pad, &st) != 0;
}

char* getenv(const char* name) {
  REAL(getenv);
  const char* late = real_getenv("PV_PAD_LATE");
  if (late && *late && strcmp(name, "SDL_JOYSTICK_DEVICE") == 0 && gone()) return NULL;
  return real_getenv(name);
}

ssize_t read(int fd, void* buf, size_t n) {
  REAL(read);
  if (is_pad(fd) && gone()) {
    errno = ENODEV;
    return -1;
  }
  return real_read(fd, buf, n);
}

static void set_bit(unsigned char* bits, size_t len, unsigned bit) {
  if (bit / 8 < len) bits[bit / 8] |= (unsigned char)(1u << (bit % 8));
}

/* Fills an EVIOCGBIT answer; returns the bytes written. */
static int event_bits(unsigned type, unsigned char* bits, size_t len) {
  memset(bits, 0, len);
  size_t i;
  if (type == 0) {
    set_bit(bits, len, EV_SYN);
    set_bit(bits, len, EV_KEY);
    set_bit(bits, len, EV_ABS);
  } else if (type == EV_KEY) {
    for (i = 0; i < sizeof pad_keys / sizeof pad_keys[0]; i++) set_bit(bits, len, pad_keys[i]);
  } else if (type == EV_ABS) {
    for (i = 0; i < sizeof pad_axes / sizeof pad_axes[0]; i++) set_bit(bits, len, pad_axes[i]);
  }
  return (int)len;
}

/* The ranges the kernel's xpad driver gives. */
static void axis_info(unsigned axis, struct input_absinfo* info) {
  memset(info, 0, sizeof *info);
  if (axis == ABS_Z || axis == ABS_RZ) {
    info->maximum = 255;
  } else if (axis == ABS_HAT0X || axis == ABS_HAT0Y) {
    info->minimum = -1;
    info->maximum = 1;
  } else {
    info->minimum = -32768;
    info->maximum = 32767;
    info->fuzz = 16;
    info->flat = 128;
  }
}

static int pad_ioctl(unsigned long req, void* arg) {
  unsigned type = _IOC_TYPE(req), nr = _IOC_NR(req), size = _IOC_SIZE(req);
  if (type == 'j') {
    errno = ENOTTY; /* not the old joystick interface: evdev */
    return -1;
  }
  if (type == 'E' && _IOC_DIR(req) == _IOC_READ) {
    if (nr >= 0x20 && nr < 0x20 + EV_CNT) return event_bits(nr - 0x20, arg, size);
    if (nr >= 0x40 && nr < 0x40 + ABS_CNT) {
      axis_info(nr - 0x40, arg);
      return 0;
    }
    switch (nr) {
      case 0x01: /* EVIOCGVERSION */
        *(int*)arg = EV_VERSION;
        return 0;
      case 0x02: { /* EVIOCGID */
        struct input_id id = {BUS_USB, 0x045e, 0x028e, 0x0114};
        memcpy(arg, &id, sizeof id);
        return 0;
      }
      case 0x06: { /* EVIOCGNAME */
        size_t n = sizeof pad_name < size ? sizeof pad_name : size;
        memcpy(arg, pad_name, n);
        if (n) ((char*)arg)[n - 1] = 0;
        return (int)n;
      }
      case 0x09: /* EVIOCGPROP */
      case 0x18: /* EVIOCGKEY: nothing held */
      case 0x19: /* EVIOCGLED */
      case 0x1b: /* EVIOCGSW */
        memset(arg, 0, size);
        return (int)size;
    }
  }
  if (getenv("PV_PAD_LOG"))
    fprintf(stderr, "fake pad: ioctl type '%c' nr 0x%x size %u\n", (char)type, nr, size);
  errno = ENOTTY;
  return -1;
}

int ioctl(int fd, unsigned long req, ...) {
  REAL(ioctl);
  va_list ap;
  va_start(ap, req);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (is_pad(fd)) return pad_ioctl(req, arg);
  return real_ioctl(fd, req, arg);
}

void* dlopen(const char* file, int flags) {
  REAL(dlopen);
  const char* hide = getenv("PV_PAD_NO_SDL");
  if (hide && *hide && file && strstr(file, "libSDL2")) return NULL;
  return real_dlopen(file, flags);
}
