#include "shell/clock.h"

#include <chrono>

// Taken during static initialisation, so the clock starts near 0 at program start.
static const std::chrono::steady_clock::time_point clock_epoch = std::chrono::steady_clock::now();

int ms_clock() {
  auto since = std::chrono::steady_clock::now() - clock_epoch;
  return (int)std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
}
