// The real game under Xvfb: display mode at start-up, the screenshot hot key,
// the ways start-up can fail, and the desktop around the window: a window
// manager's close button, the keyboard focus, signals, a lost display and
// the screensaver.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <functional>
#include <csignal>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "support/window.h"

static const char* const settings = "PV settings.dat";
static const char* const shot_file = "Plu Vesk screenshot.bmp";

struct ShellWindow : WindowTest {};

TEST_F(ShellWindow, SavedWindowModeOpensA640x480Window) {
  write_settings("0 0 1234");
  ASSERT_TRUE(launch());
  ASSERT_TRUE(wait_shown(Shown::window));
  Image shot;
  ASSERT_TRUE(wait_first_frame(shot));
  EXPECT_EQ(shown(), Shown::window) << describe_windows();
  EXPECT_EQ(window_w, 640);
  EXPECT_EQ(window_h, 480);

  // Quitting writes nothing: the file keeps its bytes.
  sleep_ms(menu_ready_ms);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
  EXPECT_EQ(read_game_file(settings), "0 0 1234");
}

TEST_F(ShellWindow, NoSettingsOpensFullScreenAndTabSavesTheLastFrame) {
  ASSERT_TRUE(launch());
  ASSERT_TRUE(wait_shown(Shown::full_screen));
  Image shot;
  ASSERT_TRUE(wait_first_frame(shot));

  struct stat st;
  ASSERT_EQ(stat((dir + "/" + shot_file).c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 921654);  // 54-byte header and 640x480 pixels of 3 bytes
  ASSERT_EQ(shot.width, 640);
  ASSERT_EQ(shot.height, 480);

  // The title frame: sky in every corner, white name, black entries, the
  // cursor cloud on "Start game" and nothing between the menu and the credit.
  EXPECT_EQ(shot.at(0, 0), sky_rgb);
  EXPECT_EQ(shot.at(639, 0), sky_rgb);
  EXPECT_EQ(shot.at(0, 479), sky_rgb);
  EXPECT_EQ(shot.at(639, 479), sky_rgb);
  EXPECT_EQ(ink_missing(shot, title_text_ink("Plu", 190, 120, Align::left), white_rgb), 0);
  EXPECT_EQ(ink_missing(shot, title_text_ink("Vesk", 320, 120, Align::left), white_rgb), 0);
  EXPECT_GT(cloud_pixels(shot, 320, 244, 45), 300);
  const struct {
    const char* text;
    int top;
  } entries[] = {{"Start game", 240}, {"Options", 260}, {"Quit", 280}};
  for (const auto& entry : entries) {
    TextInk ink = small_text_ink(entry.text, 320, entry.top, Align::centre);
    EXPECT_EQ(ink_missing(shot, ink, black_rgb), 0) << entry.text;
    EXPECT_EQ(ink_stray(shot, ink, black_rgb), 0) << entry.text;
  }
  EXPECT_GT(shot.count(0, 470, 639, 477, black_rgb), 0) << "no credit line";
  EXPECT_EQ(shot.count(0, 300, 639, 460, sky_rgb), 640 * 161);

  // The display shows the same frame, in the middle of the larger screen.
  EXPECT_TRUE(display_shows(shot));

  // Quitting writes no settings file.
  sleep_ms(menu_ready_ms);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
  EXPECT_FALSE(game_file_exists(settings));
}

TEST_F(ShellWindow, OnABigScreenTheWindowAndFullScreenShowThePictureScaled) {
  screen_w = 1920;
  screen_h = 1080;
  write_settings("0 0 0");

  // The window at twice the size, every game pixel a sharp 2x2 square, its
  // far corner sky; the screenshot is still the game's own 640x480.
  Image shot, display;
  ASSERT_TRUE(reach_title(Shown::window, shot));
  EXPECT_EQ(window_w, 1280);
  EXPECT_EQ(window_h, 960);
  EXPECT_EQ(shot.width, 640);
  EXPECT_EQ(shot.height, 480);
  EXPECT_TRUE(display_shows(shot));

  // Another window over a part of it and gone again: the part it uncovers
  // is drawn again. The pointer, and so the keyboard focus, stays on the game.
  auto expose = [&] {
    ASSERT_TRUE(start_client({"xlogo", "-geometry", "600x400+" + std::to_string(window_x + 20) + "+" + std::to_string(window_y + 20)}));
    ASSERT_EQ(run_tool({"xdotool", "search", "--sync", "--name", "^xlogo$"}, nullptr), 0);
    sleep_ms(300);
    stop_client();
    sleep_ms(300);
    EXPECT_TRUE(display_shows(shot)) << "after an Expose";
  };
  expose();

  // Full screen: the picture at 2x in the middle, black at the sides; and
  // back to the window.
  ASSERT_TRUE(switch_display(Shown::full_screen, shot, true));
  EXPECT_EQ(shot.width, 640);
  EXPECT_TRUE(display_shows(shot)) << "full screen";
  ASSERT_TRUE(grab_display(display));
  const int ox = (1920 - 1280) / 2, oy = (1080 - 960) / 2;
  EXPECT_EQ(display.count(0, 0, ox - 1, 1079, black_rgb), ox * 1080) << "left margin";
  EXPECT_EQ(display.count(ox + 1280, 0, 1919, 1079, black_rgb), ox * 1080) << "right margin";
  EXPECT_EQ(display.count(ox, 0, ox + 1279, oy - 1, black_rgb), 1280 * oy) << "top margin";
  sleep_ms(menu_ready_ms);
  ASSERT_TRUE(switch_display(Shown::window, shot, false));
  EXPECT_TRUE(display_shows(shot)) << "back in the window";
  tap("Escape");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after Esc"));
  kill(game_pid, SIGTERM);
  ASSERT_TRUE(wait_exit_ok(1000));

  // --scale 1: the window of old.
  arguments = {"--scale", "1"};
  ASSERT_TRUE(reach_title(Shown::window, shot));
  EXPECT_EQ(window_w, 640);
  EXPECT_EQ(window_h, 480);
  EXPECT_TRUE(display_shows(shot));
  expose();
  kill(game_pid, SIGTERM);
  ASSERT_TRUE(wait_exit_ok(1000));
}

TEST_F(ShellWindow, MissingOrDamagedFontStopsWithAMessageNamingIt) {
  std::string font = read_game_file("bubble.pcx"), tall = font, narrow = font;
  tall[10] = tall[11] = char(0xFF);  // 65536 rows, of which the file holds 343
  narrow[8] = 99, narrow[9] = 0;     // 100 columns: a few glyphs, not every character's
  for (const std::string& bytes : {std::string(), font.substr(0, 3000), tall, narrow}) {
    SCOPED_TRACE(bytes.size());
    if (bytes.empty()) remove_from_game_dir("bubble.pcx");
    else write_game_file("bubble.pcx", bytes);
    ASSERT_TRUE(launch());
    int status = 0;
    ASSERT_TRUE(wait_exit(2000, &status));
    ASSERT_TRUE(WIFEXITED(status)) << describe_status(status);
    EXPECT_NE(WEXITSTATUS(status), 0);
    EXPECT_NE(game_stderr().find("cannot load the title font \"bubble.pcx\""), std::string::npos) << game_stderr();
  }
}

TEST_F(ShellWindow, NoDisplayStopsWithAMessage) {
  ASSERT_TRUE(launch(false));
  int status = 0;
  ASSERT_TRUE(wait_exit(5000, &status));
  ASSERT_TRUE(WIFEXITED(status)) << describe_status(status);
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_FALSE(game_stderr().empty());
}

TEST_F(ShellWindow, CommandLineAnswersWithoutADisplayOrRefusesInOneLine) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* out;  // the start of what it prints on stdout
    const char* err;  // something its one line on stderr says
  } cases[] = {
      {{"--help"}, 0, "Usage: plu-vesk [--window | --fullscreen] [--scale N]\n", nullptr},
      {{"--version"}, 0, "Plu Vesk 1.", nullptr},
      {{"--window", "--help"}, 0, "Usage:", nullptr},
      {{"--bogus"}, 2, nullptr, "unknown option --bogus"},
      {{"stray"}, 2, nullptr, "unexpected argument stray"},
      {{"--scale", "9"}, 2, nullptr, "not 9"},
      {{"--scale=0"}, 2, nullptr, "not 0"},
      {{"--scale", "2x"}, 2, nullptr, "not 2x"},
      {{"--scale"}, 2, nullptr, "not nothing"},
      {{"--window", "--fullscreen"}, 2, nullptr, "both"},
      {{"--replay"}, 2, nullptr, "no file after --replay"},
      {{"--replay", "a", "--verify-replay", "b"}, 2, nullptr, "one replay at a time"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    arguments = c.args;
    ASSERT_TRUE(launch(false));  // no display: none is needed
    int status = 0;
    ASSERT_TRUE(wait_exit(5000, &status));
    ASSERT_TRUE(WIFEXITED(status)) << describe_status(status);
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    std::string out = game_stdout(), err = game_stderr();
    if (c.out) {
      EXPECT_EQ(out.rfind(c.out, 0), 0u) << out;
      EXPECT_EQ(err, "");
    } else {
      EXPECT_EQ(out, "");
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
      EXPECT_NE(err.find(c.err), std::string::npos) << err;
      EXPECT_NE(err.find("usage: plu-vesk"), std::string::npos) << err;
    }
    EXPECT_FALSE(game_file_exists(settings));
  }
}

TEST_F(ShellWindow, WindowOrFullScreenAskedOnTheCommandLineHoldsForThisRunOnly) {
  // Saved full screen, asked for a window: a run's new best keeps the
  // file's mode; "Return" in the options saves the mode in force.
  write_settings("1 0 0");
  arguments = {"--window"};
  Image shot;
  ASSERT_TRUE(reach_title(Shown::window, shot));
  tap("space");
  EXPECT_EQ(wait_game_file_change(settings, "1 0 0", 20000), "1 0 15");
  sleep_ms(800);
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after the run"));
  sleep_ms(menu_ready_ms);
  choose(1);
  ASSERT_TRUE(screenshot_until(shot, shows_options, "the options"));
  EXPECT_TRUE(shows_centred_line(shot, "Fullscreen: -", 240));
  sleep_ms(menu_ready_ms);
  tap("Up");
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after \"Return\""));
  EXPECT_EQ(read_game_file(settings), "0 0 15");
  kill(game_pid, SIGTERM);
  ASSERT_TRUE(wait_exit_ok(1000));

  // Saved in a window, asked for full screen; quitting leaves the file be.
  arguments = {"--fullscreen"};
  ASSERT_TRUE(reach_title(Shown::full_screen, shot));
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
  EXPECT_EQ(read_game_file(settings), "0 0 15");

  // Once the player switches the mode in the options, the last choice there
  // is what saves keep, a new best after leaving with Esc included.
  write_settings("1 0 0");
  arguments = {"--window"};
  ASSERT_TRUE(reach_title(Shown::window, shot));
  ASSERT_TRUE(switch_display(Shown::full_screen, shot, true));
  sleep_ms(menu_ready_ms);
  ASSERT_TRUE(switch_display(Shown::window, shot, false));
  tap("Escape");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after Esc"));
  EXPECT_EQ(read_game_file(settings), "1 0 0");
  sleep_ms(menu_ready_ms);
  tap("space");
  EXPECT_EQ(wait_game_file_change(settings, "1 0 0", 20000), "0 0 15");
  kill(game_pid, SIGTERM);
  ASSERT_TRUE(wait_exit_ok(1000));
}

// ---------------------------------------------------------------- the desktop around

static int lines_with(const std::string& text, const std::string& what) {
  int n = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) n += line.find(what) != std::string::npos;
  return n;
}

struct DesktopWindow : WindowTest {
  std::string id;  // the game's window

  // Launches the game and waits for its window and its title menu.
  ::testing::AssertionResult up_on_title() {
    ::testing::AssertionResult r = launch();
    long long deadline = now_ms() + 5000;
    while (r && (id = game_window()).empty()) {
      if (now_ms() > deadline || !running())
        return ::testing::AssertionFailure() << "no window titled \"Plu Vesk\"; stderr:\n"
                                             << game_stderr();
      sleep_ms(50);
    }
    Image shot;
    if (r) r = wait_first_frame(shot);
    if (r) sleep_ms(menu_ready_ms);
    return r;
  }

  std::string active_window() {
    std::string out;
    run_tool({"xdotool", "getactivewindow"}, &out);
    return out.substr(0, out.find('\n'));
  }
};

TEST_F(DesktopWindow, NamedWithItsIconAndEndedInOrderByCloseButtonOrSignal) {
  write_settings("0 0 0");
  ASSERT_TRUE(start_window_manager());
  ASSERT_TRUE(up_on_title());

  // The window says what it is, as the desktop entry expects.
  std::string props;
  ASSERT_EQ(run_tool({"xprop", "-id", id, "WM_NAME", "WM_CLASS", "WM_HINTS"}, &props), 0);
  EXPECT_NE(props.find("WM_NAME(STRING) = \"Plu Vesk\""), std::string::npos) << props;
  EXPECT_NE(props.find("WM_CLASS(STRING) = \"plu-vesk\", \"plu-vesk\""), std::string::npos) << props;
  EXPECT_NE(props.find("bitmap id # to use for icon"), std::string::npos) << props;
  EXPECT_NE(props.find("bitmap id # of mask for icon"), std::string::npos) << props;
  std::ifstream entry(PV_ASSET_DIR "/plu-vesk.desktop");
  std::string entry_text((std::istreambuf_iterator<char>(entry)), std::istreambuf_iterator<char>());
  EXPECT_NE(entry_text.find("\nStartupWMClass=plu-vesk\n"), std::string::npos) << entry_text;

  // The close button, as the window manager sends it, on the title menu.
  ASSERT_EQ(run_tool({"wmctrl", "-c", "Plu Vesk"}, nullptr), 0);
  ASSERT_TRUE(wait_exit_ok(1000));

  // Alt+F4 during a run: the run is dropped as Esc drops it, nothing saved.
  ASSERT_TRUE(up_on_title());
  tap("space");
  sleep_ms(1000);
  ASSERT_EQ(run_tool({"xdotool", "key", "alt+F4"}, nullptr), 0);
  ASSERT_TRUE(wait_exit_ok(1000));
  EXPECT_EQ(read_game_file(settings), "0 0 0");

  // SIGTERM, as at logout, and SIGINT, as Ctrl+C: the same orderly end.
  for (int sig : {SIGTERM, SIGINT}) {
    ASSERT_TRUE(up_on_title());
    tap("space");
    sleep_ms(1000);
    kill(game_pid, sig);
    ASSERT_TRUE(wait_exit_ok(1000)) << "signal " << sig;
    EXPECT_EQ(game_stderr().find("Shutting down Allegro"), std::string::npos) << game_stderr();
    EXPECT_EQ(read_game_file(settings), "0 0 0");
  }
}

TEST_F(DesktopWindow, RunAndTuneHoldStillWhileAnotherWindowHasTheFocus) {
  ASSERT_TRUE(start_window_manager());
  ASSERT_TRUE(start_pulse());
  for (std::string saved : {"0 1 0", "1 1 0"}) {  // in a window, then full screen
    SCOPED_TRACE(saved);
    write_settings(saved);
    ASSERT_TRUE(up_on_title());
    tap("space");
    sleep_ms(1000);
    EXPECT_GT(sink_rms(500), 200) << "no tune in the run; stderr:\n" << game_stderr();

    // Another client takes the focus for longer than an untouched run lasts.
    ASSERT_TRUE(start_client({"xlogo"}));
    long long deadline = now_ms() + 5000;
    while (active_window() == id && now_ms() < deadline) sleep_ms(50);
    ASSERT_NE(active_window(), id) << "xlogo never took the focus";
    sleep_ms(300);  // the last notes' release
    EXPECT_LT(sink_rms(2000), 20) << "the tune played on";
    sleep_ms(3700);
    EXPECT_TRUE(running());
    EXPECT_EQ(read_game_file(settings), saved) << "the run went on without the player";

    // Given the focus back, the tune and the run go on to the run's usual
    // end and total.
    ASSERT_EQ(run_tool({"wmctrl", "-a", "Plu Vesk"}, nullptr), 0);
    EXPECT_GT(sink_rms(1000), 200) << "the tune did not come back";
    std::string total = saved.substr(0, 4) + "15";
    EXPECT_EQ(wait_game_file_change(settings, saved, 10000), total);
    EXPECT_TRUE(running());
    stop_client();
    kill(game_pid, SIGTERM);
    ASSERT_TRUE(wait_exit_ok(1000));
  }
}

TEST_F(DesktopWindow, LostDisplayEndsTheGameAtOnceWithOneLine) {
  std::mt19937 rng(2718);
  for (int trial = 0; trial < 4; trial++) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    std::string saved = trial % 2 ? "1 0 0" : "0 0 0";  // full screen and window
    write_settings(saved);
    ASSERT_TRUE(up_on_title());
    if (trial >= 2) tap("space");  // in a run
    sleep_ms(rng() % 800);
    kill_display();
    int status = 0;
    ASSERT_TRUE(wait_exit(1000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << describe_status(status);
    std::string err = game_stderr();
    EXPECT_EQ(lines_with(err, "display"), 1) << err;
    EXPECT_EQ(lines_with(err, "plu-vesk: ") - lines_with(err, "plu-vesk: no music"), 1) << err;
    EXPECT_EQ(read_game_file(settings), saved);
  }
}

static bool eventually(const std::function<bool()>& holds, int timeout_ms) {
  long long deadline = now_ms() + timeout_ms;
  while (!holds()) {
    if (now_ms() > deadline) return false;
    sleep_ms(50);
  }
  return true;
}

TEST_F(DesktopWindow, ScreensaverHeldOffOnlyWhileARunIsInPlay) {
  write_settings("0 0 0");
  ASSERT_TRUE(trace_x_requests());
  ASSERT_TRUE(start_session_bus());
  const char* const suspend = "Suspend suspend=true";
  const char* const resume = "Suspend suspend=false";
  const char* const reset = "ForceScreenSaver mode=Reset";
  auto x_count = [&](const char* what) { return lines_with(x_requests(), what); };
  // Calls whose line starts with `what`.
  auto calls = [&](const std::string& what) {
    std::string text = "\n" + screensaver_calls(), start = "\n" + what;
    int n = 0;
    for (size_t at = text.find(start); at != std::string::npos; at = text.find(start, at + 1)) n++;
    return n;
  };
  // The cookie the service gave last, -1 for none.
  auto last_cookie = [&]() {
    std::string text = screensaver_calls();
    size_t at = text.rfind("\" \"Playing\" ");
    return at == std::string::npos ? -1 : atoi(text.c_str() + at + 12);
  };

  // The title asks nothing of either.
  ASSERT_TRUE(up_on_title());
  sleep_ms(1000);
  EXPECT_EQ(x_count("MIT-SCREEN-SAVER-Request") + x_count("ForceScreenSaver"), 0);
  EXPECT_EQ(screensaver_calls(), "ready\n");

  // A run left untouched: the server's screensaver suspended and its idle
  // time reset, the service asked to hold off, for as long as the ball lives.
  long long started = now_ms();
  tap("space");
  ASSERT_TRUE(eventually([&] { return calls("Inhibit") == 1; }, 3000)) << screensaver_calls();
  EXPECT_EQ(calls("Inhibit \"Plu Vesk\" \"Playing\" "), 1) << screensaver_calls();
  EXPECT_EQ(calls("Other"), 0) << screensaver_calls();
  EXPECT_EQ(x_count(suspend), 1);
  EXPECT_GE(x_count(reset), 1);
  sleep_ms(1500);
  EXPECT_EQ(x_count(resume) + calls("UnInhibit"), 0) << "let go in the middle of the run";

  // The ball lost, the game-over panel up: both let go, with the cookie given.
  int cookie = last_cookie();
  ASSERT_TRUE(eventually([&] { return x_count(resume) == 1 && calls("UnInhibit") == 1; }, 8000))
      << screensaver_calls();
  EXPECT_GT(now_ms() - started, 3000) << "let go before the ball was lost";
  EXPECT_EQ(calls("UnInhibit " + std::to_string(cookie) + "\n"), 1) << screensaver_calls();
  EXPECT_TRUE(running());

  // The next run, held while another window has the focus and taken up again.
  sleep_ms(800);
  tap("space");
  Image shot;
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after the run"));
  sleep_ms(menu_ready_ms);
  tap("space");
  ASSERT_TRUE(eventually([&] { return calls("Inhibit") == 2 && x_count(suspend) == 2; }, 3000))
      << screensaver_calls();
  ASSERT_TRUE(start_client({"xlogo"}));
  std::string other;
  ASSERT_TRUE(eventually([&] {
    run_tool({"xdotool", "search", "--class", "xlogo"}, &other);
    return !other.empty();
  }, 3000));
  run_tool({"xdotool", "windowfocus", other.substr(0, other.find('\n'))}, nullptr);
  EXPECT_TRUE(eventually([&] { return x_count(resume) == 2 && calls("UnInhibit") == 2; }, 3000))
      << "not let go while held; " << screensaver_calls();
  run_tool({"xdotool", "windowfocus", id}, nullptr);
  EXPECT_TRUE(eventually([&] { return calls("Inhibit") == 3 && x_count(suspend) == 3; }, 3000))
      << "not taken up again; " << screensaver_calls();

  // Quitting mid-run lets go before the game ends.
  cookie = last_cookie();
  kill(game_pid, SIGTERM);
  ASSERT_TRUE(wait_exit_ok(2000));
  EXPECT_EQ(x_count(resume), 3);
  EXPECT_EQ(calls("UnInhibit " + std::to_string(cookie) + "\n"), 1) << screensaver_calls();
  EXPECT_EQ(x_count(suspend), 3);
  EXPECT_EQ(game_stderr(), "");  // the bus and the X extension said nothing either
}
