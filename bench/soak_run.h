// Long runs of the play simulation under random key input, checking after every
// frame that the run state stays inside the ranges the rest of the game relies
// on. Shared by the soak tool and the short soak of the test suite.
#pragma once

#include <allegro.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "core/game_random.h"
#include "play/pools.h"
#include "play/update.h"
#include "core/globals.h"
#include "core/controls.h"

struct soak_stats {
  long frames;          // play frames run
  long runs;            // runs started with reset_play
  long deaths;          // runs that ended with the ball falling out
  long failures;        // broken checks, counted once per check and frame
  long landings;
  long high_jumps;      // jumps started with the landing bonus
  long pickups;         // frames in which an orb was picked up
  long top_pickups;     // speed-up orbs taken at the top speed (worth 100)
  int best_speed_up;
  int best_score;
  char first_failure[256];  // where and what the first broken check was
};

// The input: a small generator of its own, so that the game's random sequence
// depends only on the game.
inline unsigned soak_next(unsigned& s) {
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  return s;
}

inline void soak_fail(soak_stats& st, unsigned seed, long frame, const char* fmt, ...) {
  if (st.failures++ > 0) return;
  char what[160];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  snprintf(st.first_failure, sizeof st.first_failure, "seed %u, frame %ld of the seed: %s", seed,
           frame, what);
}

// One frame's checks over the state update_play leaves behind.
inline void soak_check(soak_stats& st, unsigned seed, long frame, int score_before) {
  if (x < 0 || x > 640) soak_fail(st, seed, frame, "x %d", x);
  if (!(p_spd >= -13.0f && p_spd <= 13.0f)) soak_fail(st, seed, frame, "p_spd %g", (double)p_spd);
  if (speed < 2 || speed > 7) soak_fail(st, seed, frame, "speed %d", speed);
  if (speed_up < 0 || speed_up > 5) soak_fail(st, seed, frame, "speed_up %d", speed_up);
  if (float_h < -3 || float_h > 3) soak_fail(st, seed, frame, "float_h %d", float_h);
  if (jumpforce < -80) soak_fail(st, seed, frame, "jumpforce %d", jumpforce);
  if (!jump && jumpforce != -4 * speed)
    soak_fail(st, seed, frame, "standing with jumpforce %d at speed %d", jumpforce, speed);
  if (alive && y > 510) soak_fail(st, seed, frame, "alive at y %d", y);
  if (score < score_before || score % 10 != 0)
    soak_fail(st, seed, frame, "score %d after %d", score, score_before);

  for (int i = 0; i < 10; i++) {
    const caption& c = got_points[i];
    if (c.timer < 0 || c.timer > 30) soak_fail(st, seed, frame, "caption %d timer %d", i, c.timer);
    if (c.timer > 0 && c.value != 10 && c.value != 50 && c.value != 100 && c.value != 101)
      soak_fail(st, seed, frame, "caption %d value %d", i, c.value);
  }
  // Every cloud in sight was placed by add_platform, or is the starting cloud
  for (int i = 0; i < 18; i++) {
    const platform& p = land[i];
    if (p.y > 480) continue;
    bool start = i == 17 && p.x == 320 && p.w == 240;
    if (!start && (p.x < 64 || p.x > 512 || p.x % 64 != 0 || p.w < 38 || p.w > 55))
      soak_fail(st, seed, frame, "cloud %d at x %d w %d", i, p.x, p.w);
  }
  for (int i = 0; i < 20; i++) {
    const bonus& s = star[i];
    if (!s.active) continue;
    if (s.x < 64 || s.x > 512 || s.x % 64 != 0 || s.type < -8 || s.type > 1 || s.y > 640)
      soak_fail(st, seed, frame, "orb %d at (%d, %d) type %d", i, s.x, s.y, s.type);
  }
}

// Where a player would steer: over the nearest cloud below the ball, else the
// middle of the screen.
inline int soak_target() {
  int best = 320, best_dist = 1 << 30;
  for (const platform& p : land) {
    if (p.y > 480 || p.y - 18 < y) continue;
    int dist = (p.y - y) + (p.x > x ? p.x - x : x - p.x);
    if (dist < best_dist) {
      best_dist = dist;
      best = p.x;
    }
  }
  return best;
}

// Runs `frames` play frames under seed `seed`, starting with a new run, adding
// to `st`. A run that has been over for 40 frames is followed by a new one, as a
// player going back through the title would do.
inline void soak_run(unsigned seed, long frames, soak_stats& st) {
  game_srand(seed);
  unsigned input = seed * 2654435761u + 1;
  if (input == 0) input = 1;
  int hold_left[5] = {0, 0, 0, 0, 0};
  // How often each control is taken up: LEFT, RIGHT, DOWN, UP, JUMP (out of 16)
  const unsigned odds[5] = {6, 6, 4, 2, 9};
  bool pilot = false;
  int pilot_left = 0;

  reset_play();
  st.runs += 1;
  int head_start = 0;
  for (long f = 0; f < frames; f++) {
    // Change each control's hold every few frames
    for (int c = 0; c < 5; c++) {
      if (--hold_left[c] > 0) continue;
      unsigned r = soak_next(input);
      key[b[c]] = (r & 15) < odds[c] ? 1 : 0;
      hold_left[c] = 1 + (int)((r >> 4) % 12);
    }
    // Stretches of steering towards a cloud make runs long enough to reach the
    // top speed; jump and dive stay random
    if (--pilot_left <= 0) {
      unsigned r = soak_next(input);
      pilot = (r & 3) != 0;
      pilot_left = 20 + (int)((r >> 2) % 300);
    }
    if (pilot && alive) {
      int target = soak_target();
      int ahead = x + (int)(p_spd * 6);
      key[b[LEFT]] = ahead > target + 8;
      key[b[RIGHT]] = ahead < target - 8;
    }

    int score_before = score, distance_before = distance, x_before = x;
    bool was_jump = jump, was_alive = alive;
    update_play();
    st.frames += 1;

    if (was_jump && !jump) st.landings += 1;
    if (!was_jump && jump && jumpforce > 45) st.high_jumps += 1;
    if (!was_alive && (distance != distance_before || x != x_before))
      soak_fail(st, seed, f, "moved after death: x %d, distance %d", x, distance);
    if (was_alive && distance != distance_before + speed)
      soak_fail(st, seed, f, "distance %d after %d at speed %d", distance, distance_before, speed);
    if (score > score_before) st.pickups += 1;
    for (const caption& c : got_points)
      if (c.timer == 29 && c.value == 100) st.top_pickups += 1;
    if (was_alive && !alive) {
      st.deaths += 1;
      if (delay_start != loop_num) soak_fail(st, seed, f, "delay_start %d", delay_start);
    }
    soak_check(st, seed, f, score_before);
    if (speed_up > st.best_speed_up) st.best_speed_up = speed_up;
    if (score > st.best_score) st.best_score = score;

    // The drawing step's part in the squash counter, as the play screen does it
    if (y > -16) hit -= 1;
    loop_num += 1;

    if (!alive && loop_num >= delay_start + 40) {
      reset_play();
      st.runs += 1;
      // Random play seldom gathers five speed-up orbs, so every other run
      // starts with some already credited, to spend time at the top speeds
      head_start = (head_start + 1) % 10;
      if (head_start % 2 == 1) speed_up = head_start / 2 + 1;
    }
  }
  for (int c = 0; c < 5; c++) key[b[c]] = 0;
}
