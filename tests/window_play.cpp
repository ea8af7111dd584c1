// A whole run of the real game, played as someone who never touches a key,
// and watched again; runs played with a gamepad, paused and abandoned.
#include <linux/input.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <sstream>

#include "support/window.h"

struct PlayWindow : WindowTest {};

// With no key pressed a first run is the same whatever the random seed:
// - frame 1: the ball stands at (320, 50) (nothing is airborne at program
//   start), rides down 2 to y 52 while the starting cloud (x 320, half-width
//   240) scrolls from 80 to 82; 52 is not inside the cloud's band (57, 77), so
//   the ball starts falling with jumpforce -8;
// - gravity gives -11, -14, -20: y 54, 57, 61, then 66 in frame 5, inside the
//   band (65, 85) of the cloud now at 90: it lands at 72, 18 above the cloud;
// - from then on it rides the cloud at speed 2: y = 72 + 2 (n - 5) in frame n,
//   so y is 510 in frame 224 and 512 in frame 225, where it dies;
// - the cloud stays its own: spawns come every 17 frames and each lives 245
//   frames above y 480, so at most 14 of slots 0 to 16 are ever taken and slot
//   17 is never reused; orbs scroll at the ball's speed and stay 60 or more
//   pixels above it, out of the 30-pixel pick-up reach;
// - distance grows by 2 in each of the 225 living frames: 450 pixels, 15 metres,
//   no orbs. Total 15, saved with the starting mode and music: "1 1 15".
static const char* const expected_settings = "1 1 15";

// The score panel's ball, drawn only in play.
static bool in_play(const Image& shot) { return shot.at(40, 32) == Rgb{48, 160, 255}; }

TEST_F(PlayWindow, UntouchedRunEndsWithItsTotalSavedAndBackToTheTitle) {
  // No settings file: full screen, best total 0.
  Image shot;
  ASSERT_TRUE(reach_title(Shown::full_screen, shot));
  tap("space");  // "Start game"

  // The first game-over frame writes the new best total; the run lasts about
  // 4.5 s at 50 frames a second.
  for (int waited = 0; waited < 20000 && !game_file_exists("PV settings.dat"); waited += 20)
    sleep_ms(20);
  ASSERT_TRUE(game_file_exists("PV settings.dat")) << "the ball was never lost";
  EXPECT_EQ(read_game_file("PV settings.dat"), expected_settings);

  // Past the panel's 30-frame hold-off.
  sleep_ms(800);
  ASSERT_TRUE(screenshot(shot));
  EXPECT_EQ(ink_missing(shot, title_text_ink("Game", 310, 150, Align::right), white_rgb), 0);
  EXPECT_EQ(ink_missing(shot, title_text_ink("Over", 330, 150, Align::left), white_rgb), 0);
  const struct {
    const char* text;
    int top;
  } lines[] = {{"Score: 0 orbs", 220},
               {"Distance: 15 meters", 235},
               {"Total: 15 orbs", 260},
               {"New record!", 280}};
  for (const auto& line : lines) {
    TextInk ink = small_text_ink(line.text, 320, line.top, Align::centre);
    EXPECT_EQ(ink_missing(shot, ink, black_rgb), 0) << line.text;
    EXPECT_EQ(ink_stray(shot, ink, black_rgb), 0) << line.text;
  }
  EXPECT_EQ(shot.count(220, 250, 420, 250, black_rgb), 201) << "no line under the score";
  EXPECT_NE(shot.at(219, 250), black_rgb);
  EXPECT_NE(shot.at(421, 250), black_rgb);

  tap("space");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title"));
  EXPECT_EQ(shot.at(0, 0), sky_rgb);
  EXPECT_EQ(shot.at(230, 250), sky_rgb) << "the game-over panel is still shown";
  EXPECT_GT(cloud_pixels(shot, 320, 244, 45), 300) << "no title cursor on \"Start game\"";
  EXPECT_EQ(cloud_pixels(shot, 320, 284, 45), 0);
  EXPECT_EQ(read_game_file("PV settings.dat"), expected_settings);

  // Kept as the last run and the best; R on the title watches it, saves
  // nothing, and the title comes back 2 s after its panel.
  std::string best = read_game_file("PV best run.replay");
  EXPECT_EQ(read_game_file("PV last run.replay"), best);
  sleep_ms(menu_ready_ms);
  tap("r");
  ASSERT_TRUE(screenshot_until(shot, in_play, "the best run after R"));
  sleep_ms(5000);
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after the best run", 5000));
  EXPECT_EQ(read_game_file("PV settings.dat"), expected_settings);
  EXPECT_EQ(read_game_file("PV best run.replay"), best);
  kill(game_pid, SIGTERM);
  ASSERT_TRUE(wait_exit_ok(2000));

  // On the command line: verified without a display, watched in a window
  // (a played run, the music loading as it begins), refused in one line
  // when damaged.
  write_game_file("damaged.replay", best.substr(0, best.size() - 1));
  std::ifstream played(PV_TEST_DIR "/fuzz/replay-corpus/short-played", std::ios::binary);
  write_game_file("played.replay", std::string(std::istreambuf_iterator<char>(played), {}));
  const struct {
    const char *option, *file;
    int status;
    const char *out, *err;
  } commands[] = {{"--verify-replay", "PV best run.replay", 0, "total 15\n", ""},
                  {"--replay", "played.replay", 0, "total 25\n", nullptr},
                  {"--verify-replay", "damaged.replay", 2, "", "plu-vesk: \"damaged.replay\" is damaged: it ends too soon\n"}};
  for (const auto& c : commands) {
    arguments = {"--window", c.option, c.file};
    bool shown = c.option[2] == 'r';
    ASSERT_TRUE(launch(shown));
    ASSERT_TRUE(!shown || (wait_shown(Shown::window) && screenshot_until(shot, in_play, "--replay's run")));
    int status = 0;
    ASSERT_TRUE(wait_exit(12000, &status));
    EXPECT_EQ(describe_status(status), "exit status " + std::to_string(c.status)) << c.file;
    EXPECT_EQ(game_stdout(), c.out) << c.file;
    EXPECT_TRUE(!c.err || game_stderr() == c.err) << game_stderr();
  }
  EXPECT_EQ(read_game_file("PV settings.dat"), expected_settings);
}

// ---------------------------------------------------------------- pauses and gamepads

// The ball's centre column: the middle of its outer disc below the panel;
// -1 when it is not in sight.
static int ball_x(const Image& shot) {
  int lo = 640, hi = -1;
  for (int py = 60; py < 480; py++)
    for (int px = 0; px < 640; px++)
      if (shot.at(px, py) == Rgb{0, 128, 255}) lo = std::min(lo, px), hi = std::max(hi, px);
  return hi < 0 ? -1 : (lo + hi) / 2;
}

// "Paused" in the title font, white, centred on the screen.
static TextInk paused_ink() {
  TextInk probe = title_text_ink("Paused", 320, 0, Align::centre);
  return title_text_ink("Paused", 320, 240 - (probe.y1 + 1) / 2, Align::centre);
}
static bool shows_paused(const Image& shot) { return ink_missing(shot, paused_ink(), white_rgb) == 0; }

static int differing(const Image& a, const Image& c) {
  int n = 0;
  for (size_t i = 0; i < a.rgb.size() && i < c.rgb.size(); i += 3)
    n += a.rgb[i] != c.rgb[i] || a.rgb[i + 1] != c.rgb[i + 1] || a.rgb[i + 2] != c.rgb[i + 2];
  return n;
}

TEST_F(PlayWindow, APadPlaysTheMenuAndARunThatStartPausesAndBackAbandons) {
  ASSERT_TRUE(start_pulse());
  ASSERT_TRUE(plug_pad());
  write_settings("0 1 0");  // a window, the music on
  Image shot;
  ASSERT_TRUE(reach_title(Shown::window, shot));
  EXPECT_GT(sink_rms(500), 200) << "no tune on the title; stderr:\n" << game_stderr();

  // The D-pad and the stick step the title's cursor as the arrows do.
  pad_move(ABS_HAT0Y, 1);
  ASSERT_TRUE(frame_on_display(shot));
  EXPECT_EQ(menu_cursor(shot), 1) << "the D-pad's down";
  pad_move(ABS_Y, -32767);
  ASSERT_TRUE(frame_on_display(shot));
  EXPECT_EQ(menu_cursor(shot), 0) << "the stick pushed up";

  // A starts the run; the stick and the D-pad steer the ball off its start at x 320.
  pad_press(BTN_A);
  ASSERT_TRUE(screenshot_until(shot, in_play, "play after A"));
  pad_move(ABS_X, 32767, 300);
  ASSERT_TRUE(screenshot(shot));
  int right = ball_x(shot);
  EXPECT_GT(right, 360) << "the stick to the right did not steer";
  pad_move(ABS_HAT0X, -1, 300);
  ASSERT_TRUE(screenshot(shot));
  EXPECT_LT(ball_x(shot), right - 40) << "the D-pad's left did not steer";

  // Start holds the run still with "Paused" over it and the tune silent, far
  // longer than the rest of the run would last.
  long long paused_at = now_ms();
  pad_press(BTN_START);
  ASSERT_TRUE(screenshot_until(shot, shows_paused, "\"Paused\" after Start"));
  Image held = shot;
  sleep_ms(300);  // the last notes' release
  EXPECT_LT(sink_rms(2000), 20) << "the tune played on";

  // Another window takes the focus and gives it back: the pause stays.
  std::string game = game_window(), logo, focus;
  ASSERT_TRUE(start_client({"xlogo"}));
  ASSERT_EQ(run_tool({"xdotool", "search", "--sync", "--name", "^xlogo$"}, &logo), 0);
  logo = logo.substr(0, logo.find('\n'));
  run_tool({"xdotool", "windowfocus", logo}, nullptr);
  run_tool({"xdotool", "getwindowfocus"}, &focus);
  EXPECT_EQ(focus.substr(0, focus.find('\n')), logo) << "xlogo never took the focus";
  sleep_ms(500);
  run_tool({"xdotool", "windowfocus", game}, nullptr);
  stop_client();
  sleep_ms(std::max(0, (int)(6000 - (now_ms() - paused_at))));
  ASSERT_TRUE(screenshot(shot));
  EXPECT_EQ(differing(shot, held), 0) << "the paused frame changed";
  EXPECT_TRUE(display_shows(shot)) << "paused by Start, after the focus came back";
  EXPECT_EQ(read_game_file("PV settings.dat"), "0 1 0") << "the run went on while paused";

  // Start again goes on from the same frame; Back abandons the run, and the
  // tune plays on the title.
  pad_press(BTN_START);
  ASSERT_TRUE(screenshot_until(
      shot, [&held](const Image& s) { return in_play(s) && differing(s, held) > 0 && !shows_paused(s); },
      "the run going on after Start"));
  pad_press(BTN_SELECT);
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after Back"));
  EXPECT_EQ(read_game_file("PV settings.dat"), "0 1 0") << "an abandoned run was saved";
  EXPECT_GT(sink_rms(500), 200) << "the tune did not come back";
  EXPECT_TRUE(running());
}

static int lines_of(const std::string& text, const std::string& what) {
  int n = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) n += line.find(what) != std::string::npos;
  return n;
}

TEST_F(PlayWindow, KeysPauseAndResumeWithoutSDLOrAfterThePadIsPulledOut) {
  // Without SDL: one line says so, and the keyboard plays alone. P pauses,
  // P resumes, the Pause key pauses again, and Esc leaves the paused run.
  hide_sdl();
  write_settings("0 0 0");
  Image shot;
  ASSERT_TRUE(reach_title(Shown::window, shot));
  std::string err = game_stderr();
  EXPECT_EQ(lines_of(err, "plu-vesk: "), 1) << err;
  EXPECT_EQ(lines_of(err, "plu-vesk: no gamepads, keyboard only"), 1) << err;
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, in_play, "play after space"));
  tap("p");
  ASSERT_TRUE(screenshot_until(shot, shows_paused, "\"Paused\" after P"));
  EXPECT_TRUE(display_shows(shot)) << "paused by P";
  Image held = shot;
  sleep_ms(1000);
  ASSERT_TRUE(screenshot(shot));
  EXPECT_EQ(differing(shot, held), 0) << "the paused frame changed";
  tap("p");
  ASSERT_TRUE(screenshot_until(
      shot, [&held](const Image& s) { return in_play(s) && differing(s, held) > 0 && !shows_paused(s); },
      "the run going on after P"));
  tap("Pause");
  ASSERT_TRUE(screenshot_until(shot, shows_paused, "\"Paused\" after the Pause key"));
  EXPECT_TRUE(display_shows(shot)) << "paused again by the Pause key";
  tap("Escape");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after Esc"));
  EXPECT_EQ(read_game_file("PV settings.dat"), "0 0 0");
  kill(game_pid, SIGTERM);
  ASSERT_TRUE(wait_exit_ok(1000));

  // A pad that starts a run and is pulled out in it: the keyboard plays on.
  game_env.clear();
  ASSERT_TRUE(plug_pad());
  ASSERT_TRUE(reach_title(Shown::window, shot));
  EXPECT_EQ(game_stderr(), "");
  pad_press(BTN_A);
  ASSERT_TRUE(screenshot_until(shot, in_play, "play after A"));
  unplug_pad();
  sleep_ms(200);
  tap("p");
  ASSERT_TRUE(screenshot_until(shot, shows_paused, "\"Paused\" after P, the pad gone"));
  EXPECT_TRUE(display_shows(shot)) << "paused in the next run";
  tap("Escape");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after Esc, the pad gone"));
  EXPECT_TRUE(running());
  EXPECT_EQ(read_game_file("PV settings.dat"), "0 0 0");
}
