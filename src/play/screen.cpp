#include "play/screen.h"

#include <allegro.h>

#include "draw/sprites.h"
#include "play/pools.h"
#include "play/replay.h"
#include "play/update.h"
#include "core/globals.h"
#include "core/controls.h"
#include "core/settings.h"

int sky_col;
int total_score;

int run_total() { return distance / 30 + score; }

static void draw_game_over() {
  int metres = distance / 30;
  textout_right_ex(buffer, title, "Game", 310, 150, makecol(255, 255, 255), -1);
  textout_ex(buffer, title, "Over", 330, 150, makecol(255, 255, 255), -1);
  textprintf_centre_ex(buffer, text, 320, 220, makecol(0, 0, 0), -1, "Score: %i orbs", score);
  textprintf_centre_ex(buffer, text, 320, 235, makecol(0, 0, 0), -1, "Distance: %i meters", metres);
  hline(buffer, 220, 250, 420, makecol(0, 0, 0));
  textprintf_centre_ex(buffer, text, 320, 260, makecol(0, 0, 0), -1, "Total: %i orbs", metres + score);
  if (got_score) textprintf_centre_ex(buffer, text, 320, 280, makecol(0, 0, 0), -1, "New record!");
}

void end_play_frame() {
  if (y > -16) hit -= 1;
  if (alive) return;
  total_score = run_total();

  // Back to the title, once the panel has stood for 30 frames
  if (!watching && held(JUMP) && loop_num > delay_start + 30) stage = STAGE_TITLE;

  // A new best total is kept at once
  if (total_score > high_score) {
    high_score = total_score;
    got_score = true;
    if (!watching) save_settings(settings_file);
  }
}

void draw_play() {
  sky_col = makecol(0, 96, 192);
  clear_to_color(buffer, sky_col);

  // The ball, or a pointer at the top edge while it is out of sight above
  if (y > -16) {
    if (jump) stretch_ball(buffer, x, y);
    else if (hit <= 0) blue_ball(buffer, x, y);
    if (hit > 0) squish_ball(buffer, x, y);
  } else {
    triangle(buffer, x, 5, x - 5, 15, x + 5, 15, makecol(255, 255, 255));
  }

  for (const platform& p : land)
    if (p.y > -10 && p.y < 640) draw_cloud(buffer, p.x, p.y, p.w);

  for (const bonus& s : star)
    if (s.active) draw_star(buffer, s.x, s.y + float_h, s.type);

  for (const caption& c : got_points) {
    if (c.timer <= 0) continue;
    if (c.value == 101) textprintf_centre_ex(buffer, font, c.x, c.y, makecol(0, 0, 0), -1, "Speed Up!");
    else textprintf_centre_ex(buffer, font, c.x, c.y, makecol(0, 0, 0), -1, "+%i orbs", c.value);
  }

  // Score panel
  big_ball(buffer, 35, 28);
  textprintf_ex(buffer, text, 36, 20, makecol(0, 0, 0), -1, "%i orbs", score);
  textprintf_ex(buffer, text, 36, 30, makecol(0, 0, 0), -1, "%i meters", distance / 30);

  // Start prompt
  if (loop_num < 50) textout_ex(buffer, title, "Ready?", 220, 150, makecol(255, 255, 255), -1);
  else if (loop_num < 90) textout_ex(buffer, title, "Start!", 220, 150, makecol(255, 255, 255), -1);

  if (!alive) draw_game_over();
  end_play_frame();
}
