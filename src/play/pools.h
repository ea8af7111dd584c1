// Fixed tables of clouds, orbs and captions; a new object takes the lowest free slot.
#pragma once

struct platform {
  int x;  // centre x
  int y;  // centre line of the puffs; free once below 480
  int w;  // half-width
};

struct bonus {
  int x, y;
  int type;     // 0 or less gold, 1 or more speed-up
  bool active;  // in play; free when false
};

struct caption {
  int x, y;
  int timer;  // frames left; free at 0 or less
  int value;  // 101 is "Speed Up!", else "+value orbs"
};

extern platform land[18];
extern bonus star[20];
extern caption got_points[10];

void add_platform();
void add_bonus();
void add_caption(int x, int y, int value);
int collected(bonus orb);
