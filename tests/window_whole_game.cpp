// One whole sitting of the real game, played as a player would: the title, a
// run with steering and jumps until the ball is lost, the game-over panel, the
// options, a second run, and Quit; the settings file checked after each save.
#include <chrono>
#include <cstdio>

#include "support/window.h"

struct WholeGameWindow : WindowTest {};

static const char* const settings = "PV settings.dat";

static bool ready_prompt(const Image& shot) {
  return ink_missing(shot, title_text_ink("Ready?", 220, 150, Align::left), white_rgb) == 0;
}
static bool game_over(const Image& shot) {
  return ink_missing(shot, title_text_ink("Game", 310, 150, Align::right), white_rgb) == 0 &&
         ink_missing(shot, title_text_ink("Over", 330, 150, Align::left), white_rgb) == 0;
}

// Where the ball stands: the mean of its outer colour, off the score panel's
// big ball. found is false when too little of it shows.
struct Ball {
  bool found = false;
  int x = 0, y = 0;
};
static Ball ball_in(const Image& shot) {
  const Rgb outer{0, 128, 255};
  long long sx = 0, sy = 0, n = 0;
  for (int py = 0; py < shot.height; py++)
    for (int px = 0; px < shot.width; px++)
      if (!(px <= 60 && py <= 55) && shot.at(px, py) == outer) sx += px, sy += py, n++;
  Ball b;
  if (n < 40) return b;
  b.found = true;
  b.x = (int)(sx / n);
  b.y = (int)(sy / n);
  return b;
}

// The panel's three figures; total is -1 unless it is the sum of the two others.
struct Panel {
  int score = -1, metres = -1, total = -1;
};
static Panel read_panel(const Image& shot) {
  Panel p;
  p.score = shown_number(shot, "Score: %i orbs", 220, 0, 5000, 10);
  p.metres = shown_number(shot, "Distance: %i meters", 235, 0, 1000);
  if (p.score >= 0 && p.metres >= 0 &&
      shows_centred_line(shot, "Total: " + std::to_string(p.score + p.metres) + " orbs", 260))
    p.total = p.score + p.metres;
  return p;
}

// The settings file as the game writes it: "mode music best"; best is -1
// when the file is not exactly of that form with the given mode and music.
static int saved_best(const std::string& bytes, int mode, int music) {
  int m, o, best, used = 0;
  if (sscanf(bytes.c_str(), "%d %d %d%n", &m, &o, &best, &used) != 3) return -1;
  if ((size_t)used != bytes.size() || m != mode || o != music) return -1;
  if (bytes != std::to_string(m) + " " + std::to_string(o) + " " + std::to_string(best)) return -1;
  return best;
}

TEST_F(WholeGameWindow, TwoRunsAndTheOptionsInOneSitting) {
  auto began = std::chrono::steady_clock::now();

  // No settings file: full screen, music on, best total 0.
  ASSERT_TRUE(launch());
  ASSERT_TRUE(wait_shown(Shown::full_screen));
  Image shot;
  ASSERT_TRUE(wait_first_frame(shot));
  EXPECT_TRUE(shows_title(shot));
  EXPECT_GT(cloud_pixels(shot, 320, 244, 45), 300) << "no title cursor on \"Start game\"";

  // The first run, steered and jumped.
  sleep_ms(menu_ready_ms);
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, ready_prompt, "the start of the run"));
  EXPECT_EQ(ink_missing(shot, small_text_ink("0 orbs", 36, 20, Align::left), black_rgb), 0);
  key_down("Left");
  sleep_ms(300);
  key_up("Left");
  ASSERT_TRUE(screenshot(shot));
  Ball left = ball_in(shot);
  ASSERT_TRUE(left.found);
  EXPECT_LT(left.x, 300) << "Left did not steer";

  key_down("Right");  // not so long that it leaves the wide starting cloud
  sleep_ms(400);
  key_up("Right");
  sleep_ms(300);  // friction brings it to rest
  ASSERT_TRUE(screenshot(shot));
  Ball right = ball_in(shot);
  ASSERT_TRUE(right.found);
  EXPECT_GT(right.x, left.x + 100) << "Right did not steer";

  tap("space", 100);
  ASSERT_TRUE(screenshot(shot));
  Ball up = ball_in(shot);
  ASSERT_TRUE(up.found);
  EXPECT_LT(up.y, right.y - 25) << "space did not jump";
  sleep_ms(900);
  tap("space", 100);
  key_down("Left");
  sleep_ms(200);
  key_up("Left");

  // Hands off: the ball rides a cloud down or falls, and is lost. The panel
  // shows the total, saved at once. Below the screen the ball can still pass
  // an orb, which adds to the score and is saved too, until the run is left:
  // only then is the best total final. The record line comes a frame after
  // the record, so the panel is read once it has stood a while.
  ASSERT_TRUE(screenshot_until(shot, game_over, "the first game-over panel", 20000));
  sleep_ms(800);  // past the panel's hold-off too
  ASSERT_TRUE(screenshot(shot));
  Panel first = read_panel(shot);
  ASSERT_GT(first.total, 0) << "score " << first.score << ", metres " << first.metres;
  EXPECT_TRUE(shows_centred_line(shot, "New record!", 280));
  EXPECT_GE(saved_best(read_game_file(settings), 1, 1), first.total) << read_game_file(settings);
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after the first run"));
  EXPECT_GT(cloud_pixels(shot, 320, 244, 45), 300);
  int best = saved_best(read_game_file(settings), 1, 1);
  EXPECT_GE(best, first.total) << read_game_file(settings);
  EXPECT_EQ((best - first.total) % 10, 0) << "not the run's metres and orbs: " << best;

  // Options: music off, then a window; "Return" saves both.
  sleep_ms(menu_ready_ms);
  choose(1);
  ASSERT_TRUE(screenshot_until(shot, shows_options, "the options"));
  EXPECT_TRUE(shows_centred_line(shot, "High Score: " + std::to_string(best), 200));
  EXPECT_TRUE(shows_centred_line(shot, "Fullscreen: +", 240));
  EXPECT_TRUE(shows_centred_line(shot, "Music: +", 260));
  sleep_ms(menu_ready_ms);
  tap("Down");
  tap("space");
  auto music_off = [](const Image& s) { return shows_centred_line(s, "Music: -", 260); };
  ASSERT_TRUE(screenshot_until(shot, music_off, "the music off"));
  EXPECT_EQ(shown(), Shown::full_screen) << describe_windows();
  tap("Up");
  tap("space");
  ASSERT_TRUE(wait_shown(Shown::window));
  auto windowed = [](const Image& s) { return shows_centred_line(s, "Fullscreen: -", 240); };
  ASSERT_TRUE(screenshot_until(shot, windowed, "the window in the options"));
  EXPECT_TRUE(music_off(shot));
  EXPECT_EQ(saved_best(read_game_file(settings), 1, 1), best) << "saved before \"Return\"";
  tap("Up");
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after \"Return\""));
  EXPECT_EQ(saved_best(read_game_file(settings), 0, 0), best) << read_game_file(settings);

  // The second run, untouched. It starts from where the first left the ball's
  // jump, so its total is not known beforehand: the file keeps the better one.
  sleep_ms(menu_ready_ms);
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, ready_prompt, "the start of the second run"));
  sleep_ms(3000);
  ASSERT_TRUE(screenshot_until(shot, game_over, "the second game-over panel", 20000));
  sleep_ms(800);
  ASSERT_TRUE(screenshot(shot));
  Panel second = read_panel(shot);
  ASSERT_GE(second.total, 0) << "score " << second.score << ", metres " << second.metres;
  bool record = shows_centred_line(shot, "New record!", 280);
  if (record) {
    EXPECT_GT(second.total, best);
  }
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after the second run"));
  EXPECT_EQ(shown(), Shown::window) << describe_windows();
  int final_best = saved_best(read_game_file(settings), 0, 0);
  EXPECT_GE(final_best, std::max(best, second.total)) << read_game_file(settings);
  if (final_best != best) {  // a new best comes from this run only
    EXPECT_EQ((final_best - second.total) % 10, 0) << final_best;
  } else {
    EXPECT_FALSE(record);
  }
  sleep_ms(menu_ready_ms);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
  EXPECT_EQ(shown(), Shown::nothing) << describe_windows();
  EXPECT_EQ(saved_best(read_game_file(settings), 0, 0), final_best) << "written at Quit";

  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - began);
  std::cout << "panels: first run " << first.score << " orbs + " << first.metres
            << " m, second run " << second.score << " orbs + " << second.metres
            << " m; best total saved " << final_best << "; the sitting took " << took.count()
            << " ms\n";
}
