// The options menu of the real game: switching between full screen and a
// window, what "Return" and Esc leave in the settings file, and the music
// line heard through a sound server, from a fast disk and a slow one; a tune
// that cannot be played; a sound server restarted under the game, and one
// that never answers.
#include "support/window.h"

#include <algorithm>
#include <csignal>
#include <filesystem>

struct OptionsWindow : WindowTest {
  // Whether the game holds a file of that name open: the SoundFont, only
  // while it loads (the samples are read later, a few at a time).
  bool holds_open(const std::string& name) {
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(game_pid) + "/fd", ec)) {
      std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
      if (target.find(name) != std::string::npos) return true;
    }
    return false;
  }
};

static const char* const settings = "PV settings.dat";

// The row of the options cursor's cloud, or 0 when none or several show.
static int options_cursor(const Image& shot) {
  int entry = menu_cursor(shot);
  return entry < 0 ? 0 : 244 + 20 * entry;
}

TEST_F(OptionsWindow, FullScreenLineSwitchesTheDisplayAndReturnSavesIt) {
  // No settings file: full screen, music on, best total 0.
  Image shot, display;
  ASSERT_TRUE(reach_title(Shown::full_screen, shot));
  choose(1);
  ASSERT_TRUE(screenshot_until(shot, shows_options, "the options"));
  EXPECT_TRUE(shows_centred_line(shot, "Fullscreen: +", 240));
  EXPECT_TRUE(shows_centred_line(shot, "Music: +", 260));
  EXPECT_TRUE(shows_centred_line(shot, "High Score: 0", 200));
  EXPECT_EQ(options_cursor(shot), 244);
  EXPECT_TRUE(display_shows(shot));

  // To a window; the frame after the switch is already on it.
  sleep_ms(menu_ready_ms);
  tap("space");
  ASSERT_TRUE(wait_shown(Shown::window));
  ASSERT_TRUE(screenshot(shot));
  EXPECT_TRUE(shows_centred_line(shot, "Fullscreen: -", 240));
  EXPECT_EQ(options_cursor(shot), 244);
  ASSERT_TRUE(grab_display(display));
  EXPECT_TRUE(display_shows(shot)) << "the window lacks the frame";
  EXPECT_NE(display.at(window_x + 700, window_y + 100), sky_rgb) << "sky beside the window";

  // "Return" writes the new mode with the rest unchanged, and leads to the title.
  tap("Down");
  tap("Down");
  ASSERT_TRUE(screenshot(shot));
  EXPECT_EQ(options_cursor(shot), 284);
  EXPECT_TRUE(display_shows(shot)) << "the cursor on \"Return\"";
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title"));
  EXPECT_EQ(read_game_file(settings), "0 1 0");
  sleep_ms(menu_ready_ms);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));

  // The next start opens in a window.
  ASSERT_TRUE(launch());
  ASSERT_TRUE(wait_shown(Shown::window));
  ASSERT_TRUE(wait_first_frame(shot));

  // Back to full screen, the frame centred on the larger screen; leaving with
  // Esc keeps the file as it was.
  sleep_ms(menu_ready_ms);
  ASSERT_TRUE(switch_display(Shown::full_screen, shot, true));
  EXPECT_TRUE(display_shows(shot));
  tap("Escape");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title"));
  EXPECT_EQ(read_game_file(settings), "0 1 0");
  EXPECT_EQ(shown(), Shown::full_screen) << describe_windows();
}

TEST_F(OptionsWindow, MusicLineStopsTheTuneAndClosesItsOutputThenBringsItBack) {
  // A sound server of the test's own plays what a desktop's would.
  ASSERT_TRUE(start_pulse());
  write_settings("0 1 0");
  Image shot;
  ASSERT_TRUE(reach_title(Shown::window, shot));
  double title = sink_rms(1000);
  EXPECT_GT(title, 200) << "no tune on the title; stderr:\n" << game_stderr();
  EXPECT_EQ(sink_streams(), 1);
  // The stream in the desktop's mixer is the game's, not the synthesizer's.
  std::string streams;
  ASSERT_EQ(run_tool({"pactl", "list", "sink-inputs"}, &streams), 0);
  EXPECT_NE(streams.find("application.name = \"Plu Vesk\""), std::string::npos) << streams;
  EXPECT_NE(streams.find("application.icon_name = \"plu-vesk\""), std::string::npos) << streams;
  EXPECT_NE(streams.find("media.role = \"game\""), std::string::npos) << streams;

  // Off: silence, and no output left open rendering it.
  choose(1);
  ASSERT_TRUE(screenshot_until(shot, shows_options, "the options"));
  sleep_ms(menu_ready_ms);
  tap("Down");
  tap("space");
  ASSERT_TRUE(screenshot_until(
      shot, [](const Image& s) { return shows_centred_line(s, "Music: -", 260); }, "music off"));
  sleep_ms(300);  // the last notes' release
  double off = sink_rms(1000);
  EXPECT_LT(off, 20);
  EXPECT_EQ(sink_streams(), 0) << "the audio output stayed open";

  // On again: the tune comes back.
  tap("space");
  ASSERT_TRUE(screenshot_until(
      shot, [](const Image& s) { return shows_centred_line(s, "Music: +", 260); }, "music on"));
  double on = sink_rms(1000);
  EXPECT_GT(on, 200);
  EXPECT_EQ(sink_streams(), 1);
  printf("sink RMS: title %.1f, music off %.1f, music on again %.1f\n", title, off, on);

  tap("Escape");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after Esc"));
  sleep_ms(menu_ready_ms);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
  EXPECT_EQ(game_stderr(), "");
}

// A division of 0 ticks, which a player would divide by: no music, and the
// game plays on.
TEST_F(OptionsWindow, UnplayableTuneIsSaidInOneLineAndTheGamePlaysOn) {
  ASSERT_TRUE(start_pulse());
  std::string tune = read_game_file("sky.mid");
  tune[12] = tune[13] = 0;
  write_game_file("sky.mid", tune);
  write_settings("0 1 0");
  Image shot;
  ASSERT_TRUE(reach_title(Shown::window, shot));
  EXPECT_EQ(sink_streams(), 0);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
  EXPECT_EQ(game_stderr(), "plu-vesk: no music: \"sky.mid\" is not a tune that can be played "
                           "(its division is 0 ticks to the quarter note)\n");
}

TEST_F(OptionsWindow, MusicLineOverASlowDiskAnswersAtOnceAndQuitWaitsNoLoad) {
  // Every read of the SoundFont from the disk takes 150 ms: a load of seconds.
  ASSERT_TRUE(start_pulse());
  game_env = {std::string("LD_PRELOAD=") + PV_SLOW_IO, "PV_SLOW_PATH=TimGM6mb.sf2", "PV_SLOW_MS=150",
              "PV_SLOW_OPS=read", "PLU_VESK_SOUNDFONT=/usr/share/sounds/sf2/TimGM6mb.sf2"};
  write_settings("0 0 0");
  Image shot;
  ASSERT_TRUE(reach_title(Shown::window, shot));
  choose(1);
  ASSERT_TRUE(screenshot_until(shot, shows_options, "the options"));
  sleep_ms(menu_ready_ms);
  tap("Down");
  auto music_on = [](const Image& s) { return shows_centred_line(s, "Music: +", 260); };
  auto music_off = [](const Image& s) { return shows_centred_line(s, "Music: -", 260); };

  // On: the line says so at once, and the cursor goes on moving, while the
  // SoundFont is still being read.
  long long switched = now_ms();
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, music_on, "music on"));
  EXPECT_TRUE(holds_open("TimGM6mb.sf2")) << "no load under way";
  tap("Up");
  ASSERT_TRUE(screenshot(shot));
  EXPECT_EQ(options_cursor(shot), 244);
  tap("Down");
  ASSERT_TRUE(screenshot(shot));
  EXPECT_EQ(options_cursor(shot), 264);
  EXPECT_TRUE(holds_open("TimGM6mb.sf2")) << "the menu answered only once the load was over";

  // The tune, once loaded.
  double tune = 0;
  for (long long until = now_ms() + 40000; tune <= 200 && now_ms() < until;) tune = sink_rms(500);
  EXPECT_GT(tune, 200) << "no tune after the load; stderr:\n" << game_stderr();
  long long heard = now_ms();

  // Off and on again, then leave and quit in the middle of that load: the
  // game ends without waiting for it.
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, music_off, "music off"));
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, music_on, "music on again"));
  tap("Escape");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after Esc"));
  sleep_ms(menu_ready_ms);
  EXPECT_TRUE(holds_open("TimGM6mb.sf2")) << "the load was over before the game was asked to quit";
  long long quit = now_ms();
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
  printf("switch to the tune heard over the slow disk: %lld ms; Quit to the end: %lld ms\n",
         heard - switched, now_ms() - quit);
  EXPECT_EQ(game_stderr(), "");
}

TEST_F(OptionsWindow, TuneOutlivesARestartOfItsSoundServerAndMuteServersHoldUpNoExit) {
  ASSERT_TRUE(start_pulse());
  write_settings("0 1 0");
  Image shot;
  ASSERT_TRUE(reach_title(Shown::window, shot));
  EXPECT_GT(sink_rms(500), 200) << "no tune on the title; stderr:\n" << game_stderr();

  // Killed, said within a second, started again on the same socket: heard again.
  kill_pulse();
  long long lost = now_ms();
  while (game_stderr().find("went away") == std::string::npos && now_ms() - lost < 1000) sleep_ms(10);
  long long noticed = now_ms() - lost;
  ASSERT_TRUE(start_pulse());
  long long back = now_ms();
  double heard = -1;
  while (heard <= 200 && now_ms() - back < 6000) heard = sink_rms(250);
  printf("sound server killed: said after %lld ms; started again: tune heard %lld ms later (RMS %.0f)\n",
         noticed, now_ms() - back, heard);
  EXPECT_LT(noticed, 1000);
  EXPECT_GT(heard, 200) << "the tune did not come back; stderr:\n" << game_stderr();
  std::string said = game_stderr();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
  EXPECT_NE(said.find("went away"), std::string::npos) << said;
  EXPECT_NE(said.find("answers"), std::string::npos) << said;
  choose(2);
  EXPECT_TRUE(wait_exit_ok(2000));

  // A sound server and a session bus that take the connection and never
  // answer: SIGTERM in a run still ends the game at once.
  kill_pulse();
  ASSERT_TRUE(start_mute_servers());
  ASSERT_TRUE(reach_title(Shown::window, shot));
  tap("space");
  sleep_ms(500);
  long long asked = now_ms();
  kill(game_pid, SIGTERM);
  EXPECT_TRUE(wait_exit_ok(1000)) << "stderr:\n" << game_stderr();
  printf("SIGTERM to the end with a mute sound server: %lld ms\n", now_ms() - asked);
}
