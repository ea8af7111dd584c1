#include "play/pools.h"

#include "core/game_random.h"
#include "play/update.h"

platform land[18];
bonus star[20];
caption got_points[10];

void add_platform() {
  for (platform& p : land) {
    if (p.y > 480) {
      p.y = -10;
      p.x = (game_rand() % 8) * 64 + 64;
      p.w = game_rand() % 18 + 38;
      return;
    }
  }
}

void add_bonus() {
  for (bonus& s : star) {
    if (!s.active) {
      s.y = -10;
      s.x = (game_rand() % 8) * 64 + 64;
      s.active = true;
      s.type = game_rand() % 10 - 8;
      return;
    }
  }
}

void add_caption(int cx, int cy, int value) {
  for (caption& c : got_points) {
    if (c.timer <= 0) {
      c.x = cx;
      c.y = cy;
      c.value = value;
      c.timer = 30;
      return;
    }
  }
}

int collected(bonus orb) {
  return orb.active && orb.x - 30 < x && x < orb.x + 30 && orb.y - 30 < y && y < orb.y + 30;
}
