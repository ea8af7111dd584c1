#include "core/clock.h"

#include <cstdint>

static int64_t monotonic_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

// Taken during static initialisation, so the clock starts near 0 at program start.
static const int64_t clock_epoch = monotonic_ns();

int ms_clock() { return (int)((monotonic_ns() - clock_epoch) / 1000000); }

timespec ms_clock_instant(int ms) {
  int64_t at = clock_epoch + (int64_t)ms * 1000000;
  timespec t;
  t.tv_sec = (time_t)(at / 1000000000);
  t.tv_nsec = (long)(at % 1000000000);
  return t;
}
