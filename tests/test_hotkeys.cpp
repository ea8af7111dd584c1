// The hot keys as the game's timer thread runs them, against the frame
// loop, and the screenshot's writer behind them.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "audio/music.h"
#include "audio/tune_file.h"
#include "desktop/screensaver.h"
#include "draw/frame.h"
#include "play/screen.h"
#include "play/update.h"
#include "core/globals.h"
#include "core/hotkeys.h"
#include "core/screenshot.h"
#include "core/timer_driver.h"
#include "pads/pads.h"
#include "support/headless.h"

static long bytes_in(const char* name) {
  struct stat st;
  return stat(name, &st) == 0 ? (long)st.st_size : -1;
}

static int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

static void write_file(const std::string& name, const std::string& bytes) {
  FILE* f = fopen(name.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// One tick of the timer with Tab down, and the write it asked for finished.
static void tab_tick() {
  key[KEY_TAB] = 1;
  global_keys();
  wait_screenshots_idle();
}

struct HotKeys : HeadlessTest {};

TEST_F(HotKeys, EscAndTabTogetherReturnToTitleAndSaveTheLastFrame) {
  stage = 2;
  clear_to_color(buffer, makecol(10, 20, 30));
  putpixel(buffer, 1, 0, makecol(1, 2, 3));
  present();
  clear_to_color(buffer, makecol(200, 0, 0));  // drawn but never presented
  EXPECT_EQ(load_bitmap("not there.bmp", NULL), nullptr);  // sets Allegro's error number
  key[KEY_ESC] = 1;
  key[KEY_TAB] = 1;
  global_keys();
  EXPECT_EQ(stage, 0);
  wait_screenshots_idle();
  EXPECT_EQ(allegro_errnum, ENOENT);  // which the writer leaves to the main thread
  ASSERT_EQ(bytes_in(screenshot_file), 921654);
  // Byte for byte the file Allegro's own save_bitmap makes of the frame
  ASSERT_EQ(save_bitmap("by allegro.bmp", buffer2, NULL), 0);
  EXPECT_TRUE(read_file(screenshot_file) == read_file("by allegro.bmp"));
  BITMAP* shot = load_bitmap(screenshot_file, NULL);
  ASSERT_NE(shot, nullptr);
  EXPECT_EQ(rgb_at(shot, 0, 0), rgb(10, 20, 30));
  EXPECT_EQ(rgb_at(shot, 639, 479), rgb(10, 20, 30));
  destroy_bitmap(shot);
}

static std::atomic<int> ticks{0};

// Tab held from the start, Esc pressed on the 30th tick.
static void keys_then_global_keys() {
  if (++ticks == 30) key[KEY_ESC] = 1;
  global_keys();
}

TEST_F(HotKeys, TimerThreadAgainstPlayFrames) {
  // The game's own timer against the play loop: the loop must end at a
  // frame boundary with a whole screenshot behind it.
  use_own_timer();
  ASSERT_EQ(install_timer(), 0);
  key[KEY_TAB] = 1;
  reset_play();
  stage = 1;
  ticks = 0;
  install_int(keys_then_global_keys, 10);
  int frames = 0;
  while (stage == 1) {
    update_play();
    draw_play();
    present();
    // Allegro's palette and error number, written as a mode switch does.
    set_palette(default_palette);
    load_bitmap("not there.bmp", NULL);
    loop_num += 1;
    frames++;
  }
  remove_int(keys_then_global_keys);
  remove_timer();
  wait_screenshots_idle();
  EXPECT_GT(frames, 0);
  EXPECT_EQ(stage, 0);
  EXPECT_EQ(bytes_in(screenshot_file), 921654);
}

static bool waited_for(const std::function<bool()>& holds) {
  for (int ms = 0; ms < 2000 && !holds(); ms++) rest(1);
  return holds();
}

static std::atomic<bool> ticking_wanted{false}, in_slow_call{false};

TEST_F(HotKeys, TimerRestsWhileNoHotKeyIsDown) {
  use_own_timer();
  ASSERT_EQ(install_timer(), 0);
  // A handler with nothing to do is not called, until a wake finds it has.
  auto count = [] { ticks++; };
  install_int(count, 10);
  let_timer_rest(count, [] { return !ticking_wanted; });
  ticks = 0;
  rest(100);
  EXPECT_EQ(ticks, 0);
  ticking_wanted = true;
  wake_timer();
  EXPECT_TRUE(waited_for([] { return ticks >= 3; }));
  ticking_wanted = false;  // seen at the next look, with no wake
  rest(30);
  int at_rest = ticks;
  rest(100);
  EXPECT_EQ(ticks, at_rest);
  remove_int(count);

  // A pad's Back read by the main thread: the hot keys see it once it wakes the
  // timer. (Esc is left to the windows: key[] is shared with no lock at all.)
  stage = 1;
  install_int(global_keys, 10);
  let_timer_rest(global_keys, hot_keys_up);
  rest(30);  // its look with no key down
  pad_escape = true;
  rest(100);
  EXPECT_EQ(stage, 1);
  wake_timer();
  EXPECT_TRUE(waited_for([] { return stage == 0; }));
  remove_int(global_keys);
  pad_escape = false;

  // Removing a handler waits for its call in progress to return.
  auto slow = [] { in_slow_call = true; rest(50); in_slow_call = false; };
  install_int(slow, 10);
  ASSERT_TRUE(waited_for([] { return in_slow_call.load(); }));
  remove_int(slow);
  EXPECT_FALSE(in_slow_call);
  remove_timer();
}

TEST_F(HotKeys, FailedScreenshotIsSaidOnceUntilOneIsSaved) {
  present();
  const int failed = screenshots_failed, written = screenshots_written;
  // The working directory removed under the game: every tick fails.
  ASSERT_EQ(rmdir(dir.c_str()), 0);
  testing::internal::CaptureStderr();
  for (int tick = 0; tick < 5; tick++) tab_tick();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(screenshots_failed - failed, 5);
  EXPECT_EQ(occurrences(err, "\n"), 1) << err;
  EXPECT_EQ(occurrences(err, "screenshot not saved"), 1) << err;
  EXPECT_NE(err.find(screenshot_file), std::string::npos) << err;
  EXPECT_NE(err.find(strerror(ENOENT)), std::string::npos) << err;

  // A directory that is there: saved, and said nothing.
  std::string there = make_temp_dir();
  ASSERT_EQ(chdir(there.c_str()), 0);
  testing::internal::CaptureStderr();
  tab_tick();
  tab_tick();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(screenshots_written - written, 2);
  EXPECT_EQ(bytes_in(screenshot_file), 921654);

  // Gone again after a save: the failure is said once more.
  ASSERT_EQ(unlink(screenshot_file), 0);
  ASSERT_EQ(rmdir(there.c_str()), 0);
  testing::internal::CaptureStderr();
  for (int tick = 0; tick < 3; tick++) tab_tick();
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(occurrences(err, "screenshot not saved"), 1) << err;
  EXPECT_EQ(screenshots_failed - failed, 8);
}

TEST_F(HotKeys, WriterKeepsOnlyTheLatestFrame) {
  const int colours[3] = {makecol(255, 0, 0), makecol(0, 255, 0), makecol(0, 0, 255)};
  // Frames taken while no write can run: only the last is written.
  stop_screenshot_writer();
  int written = screenshots_written;
  for (int c : colours) {
    clear_to_color(buffer, c);
    present();
    take_screenshot("shot.bmp");
  }
  EXPECT_TRUE(write_waiting_screenshot());
  EXPECT_FALSE(write_waiting_screenshot());
  EXPECT_EQ(screenshots_written - written, 1);
  BITMAP* shot = load_bitmap("shot.bmp", NULL);
  ASSERT_NE(shot, nullptr);
  EXPECT_EQ(rgb_at(shot, 320, 240), rgb(0, 0, 255));
  destroy_bitmap(shot);

  // With the writer running, frames taken faster than it writes: the file
  // ends as the last of them, and older ones waiting were never written.
  start_screenshot_writer();
  written = screenshots_written;
  for (int i = 0; i < 30; i++) {
    clear_to_color(buffer, makecol(i, 100, 200));
    present();
    take_screenshot("shot.bmp");
  }
  wait_screenshots_idle();
  EXPECT_GE(screenshots_written - written, 1);
  EXPECT_LE(screenshots_written - written, 30);
  shot = load_bitmap("shot.bmp", NULL);
  ASSERT_NE(shot, nullptr);
  EXPECT_EQ(rgb_at(shot, 320, 240), rgb(29, 100, 200));
  destroy_bitmap(shot);
}

TEST_F(HotKeys, PlantedLinksNeverLeadTheScreenshotElsewhere) {
  // Links under the temporary names older games used and under guesses at
  // today's, each leading to a file of the player's, one to a file not there.
  const std::string file = screenshot_file, pid = std::to_string(getpid());
  const std::vector<std::string> planted = {
      file + "." + pid + ".tmp.bmp", file + "." + pid + ".tmp", file + ".tmp",
      file + "." + pid + ".00000000.tmp", file + "." + pid + ".aaaaaaaa.tmp"};
  for (size_t i = 0; i < planted.size(); i++) {
    write_file("target " + std::to_string(i), "the player's file " + std::to_string(i));
    ASSERT_EQ(symlink(("target " + std::to_string(i)).c_str(), planted[i].c_str()), 0);
  }
  ASSERT_EQ(symlink("made through a link", (file + "." + pid + ".tmp.bmp.new").c_str()), 0);
  // And one standing at the screenshot's own name.
  write_file("own picture.bmp", "the player's picture");
  ASSERT_EQ(symlink("own picture.bmp", screenshot_file), 0);

  present();
  for (int tick = 0; tick < 5; tick++) tab_tick();

  for (size_t i = 0; i < planted.size(); i++) {
    EXPECT_TRUE(read_file("target " + std::to_string(i)) == "the player's file " + std::to_string(i))
        << planted[i] << " was written through";
    struct stat st;
    EXPECT_TRUE(lstat(planted[i].c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << planted[i];
  }
  EXPECT_FALSE(file_exists("made through a link"));
  EXPECT_TRUE(read_file("own picture.bmp") == "the player's picture");
  // The link at the name was replaced by the screenshot itself.
  struct stat st;
  ASSERT_EQ(lstat(screenshot_file, &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 921654);
}

TEST_F(HotKeys, ThreadThatCannotStartCostsOnlyItsFeature) {
  // Each started and used twice with no thread to be had: said once, and the game goes on.
  ASSERT_TRUE(load_tune(PV_ASSET_DIR "/sky.mid"));
  const struct { const char* lost; void (*use)(); void (*end)(); } cases[] = {
      {"screenshots", [] { stop_screenshots(); EXPECT_TRUE(start_screenshots()); tab_tick(); tab_tick(); },
       stop_screenshots},
      {"music", [] { music_start(); music_switch(false); music_switch(true); music_update(); }, music_shut_down},
      {"screensaver hold on the session bus", [] { keep_screen_awake(true); keep_screen_awake(false); keep_screen_awake(true); },
       screensaver_shut_down},
      {"Esc and Tab keys", [] { use_own_timer(); install_timer(); install_int(global_keys, 10); install_int(global_keys, 10); },
       remove_timer},
      {"gamepads", [] { setenv("SDL_JOYSTICK_DEVICE", "/nonexistent", 1); look_for_pads(); look_for_pads(); },
       [] { unsetenv("SDL_JOYSTICK_DEVICE"); stop_pads(); }}};
  for (auto& c : cases) {
    testing::internal::CaptureStderr();
    fail_thread_starts = true;
    c.use();
    fail_thread_starts = false;
    c.end();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("plu-vesk: no ") + c.lost + ": cannot start a thread (" + strerror(EAGAIN) + ")\n");
  }
  EXPECT_FALSE(music_loading() || file_exists(screenshot_file));
  EXPECT_TRUE(start_screenshots());
}
