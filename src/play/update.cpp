#include "play/update.h"

#include <cmath>

#include "draw/frame.h"
#include "play/pools.h"
#include "play/replay.h"
#include "core/globals.h"
#include "core/clock.h"
#include "core/controls.h"

int x, y;
float p_spd;
float p_acc;
float p_dec;
bool jump;
int jumpforce;
int hit;
int on_land;
bool alive;
int speed_up;
int speed;
int score;
int distance;
int add_delay;
int star_delay;
int bob;
int float_h;
int delay_start;
bool got_score;

void reset_play() {
  // Park every cloud but the last out of sight, which frees it; clear the orbs
  for (int i = 0; i < 17; i++) land[i].y = 640;
  for (bonus& s : star) s.active = false;

  x = 320;
  y = 50;
  speed_up = 0;
  p_spd = 0;
  score = 0;

  // A wide starting cloud just under the ball
  land[17].x = x;
  land[17].y = y + 30;
  land[17].w = 240;

  loop_num = 0;
  alive = true;
  got_score = false;
  distance = 0;
}

void update_play() {
  start_time = ms_clock();
  // The controls, read once for the whole frame
  int keys = frame_controls();
  bool left = keys >> LEFT & 1, right = keys >> RIGHT & 1, down = keys >> DOWN & 1;
  bool jump_held = (keys >> JUMP & 1) || (keys >> UP & 1);
  bob += 6;

  // Grip: firm on a cloud, loose in the air
  if (jump) {
    p_acc = 0.9f;
    p_dec = 0.3f;
  } else {
    p_acc = 1.8f;
    p_dec = 1.2f;
  }

  if (alive) {
    // Steering, friction towards rest and the speed limit
    if (left) p_spd -= p_acc;
    if (right) p_spd += p_acc;
    if (p_spd > 0) {
      p_spd -= p_dec;
      if (p_spd < 0) p_spd = 0;
    }
    if (p_spd < 0) {
      p_spd += p_dec;
      if (p_spd > 0) p_spd = 0;
    }
    if (p_spd < -13) p_spd = -13;
    if (p_spd > 13) p_spd = 13;
    x += (int)p_spd;

    // Dive, jump start (higher right after a landing) and jump hold
    if (down && jumpforce < 0) jumpforce -= 4;
    if (!jump && jump_held && loop_num > 5) {
      jump = true;
      jumpforce = (hit > 0 && hit <= 3) ? 51 : 41;
    }
    if (jumpforce > 0 && jump_held) jumpforce += 2;
  }

  // Scroll speed, gravity, riding a cloud down, and the vertical move
  speed = speed_up + 2;
  if (speed > 7) speed = 7;
  if (jump) jumpforce -= 3;
  if (!jump) jumpforce = -4 * speed;
  if (jumpforce < -80) jumpforce = -80;
  y -= jumpforce / 4;

  // Spawning: the countdowns reload even when a table is full
  add_delay -= 1;
  star_delay -= 1;
  if (add_delay <= 0) {
    add_platform();
    add_delay = 21 - 2 * speed;
  }
  if (star_delay <= 0) {
    add_bonus();
    star_delay = 56 - 6 * speed;
  }

  // Everything scrolls down, free slots too
  for (platform& p : land) p.y += speed;
  for (bonus& s : star) {
    s.y += speed;
    if (s.y > 640) s.active = false;
  }
  if (alive) distance += speed;

  // Landing: a falling ball inside a cloud's band settles on it
  on_land = 0;
  for (platform& p : land) {
    if (p.y - 25 < y && y < p.y - 5 && p.x - p.w < x && x < p.x + p.w) {
      if (jump && jumpforce < 0) {
        jump = false;
        y = p.y - 18;
        hit = 6;
        jumpforce = -4 * speed;
      }
      on_land += 1;
    }
  }

  // Orb pick-up
  for (bonus& s : star) {
    if (collected(s) == 1) {
      s.active = false;
      if (s.type <= 0) {
        score += 10;
        add_caption(s.x, s.y, 10);
      } else if (speed_up <= 4) {
        speed_up += 1;
        score += 50;
        add_caption(s.x, s.y - 20, 101);
        add_caption(s.x, s.y, 50);
      } else {
        score += 100;
        add_caption(s.x, s.y, 100);
      }
    }
  }

  if (on_land == 0) jump = true;

  // Captions rise while they live
  for (caption& c : got_points) {
    if (c.timer > 0) {
      c.timer -= 1;
      c.y -= 1;
    }
  }

  // Side walls bounce the ball back at full speed
  if (x < 0) {
    p_spd = -p_spd;
    x = 0;
  }
  if (x > 640) {
    p_spd = -p_spd;
    x = 640;
  }

  float_h = (int)(4 * sin((double)bob));

  if (y > 510 && alive) {
    alive = false;
    delay_start = loop_num;
  }
}
