// The busiest play frame the benchmarks draw: every pool slot in view, clouds
// at the widest half-width the game spawns, the ball standing, the score panel
// and the "Ready?" prompt showing.
#pragma once

#include "play/pools.h"
#include "play/update.h"
#include "core/globals.h"

inline void set_busy_frame() {
  for (int i = 0; i < 18; i++) land[i] = platform{(i % 8) * 64 + 64, 20 + i * 25, 55};
  for (int i = 0; i < 20; i++) star[i] = bonus{(i % 8) * 64 + 64, 15 + i * 23, i % 10 - 8, true};
  for (caption& c : got_points) c = caption{};
  x = 320;
  y = 200;
  jump = false;
  hit = 0;
  alive = true;
  score = 1230;
  distance = 45678;
  float_h = 2;
  loop_num = 0;
}
