// The hot keys as the library's timer thread runs them, against the frame loop.
#include <atomic>
#include <chrono>
#include <sys/stat.h>
#include <thread>

#include "draw/frame.h"
#include "play/screen.h"
#include "play/update.h"
#include "core/globals.h"
#include "core/hotkeys.h"
#include "core/screenshot.h"
#include "support/headless.h"

static long bytes_in(const char* name) {
  struct stat st;
  return stat(name, &st) == 0 ? (long)st.st_size : -1;
}

struct HotKeys : HeadlessTest {};

TEST_F(HotKeys, EscAndTabTogetherReturnToTitleAndSaveTheLastFrame) {
  stage = 2;
  clear_to_color(buffer, makecol(10, 20, 30));
  present();
  clear_to_color(buffer, makecol(200, 0, 0));  // drawn but never presented
  key[KEY_ESC] = 1;
  key[KEY_TAB] = 1;
  global_keys();
  EXPECT_EQ(stage, 0);
  ASSERT_EQ(bytes_in(screenshot_file), 921654);
  BITMAP* shot = load_bitmap(screenshot_file, NULL);
  ASSERT_NE(shot, nullptr);
  EXPECT_EQ(rgb_at(shot, 0, 0), rgb(10, 20, 30));
  EXPECT_EQ(rgb_at(shot, 639, 479), rgb(10, 20, 30));
  destroy_bitmap(shot);
}

TEST_F(HotKeys, TimerThreadAgainstPlayFrames) {
  // Tab held from the start, Esc pressed after 30 ticks: the play loop must
  // end at a frame boundary with a whole screenshot behind it.
  key[KEY_TAB] = 1;
  reset_play();
  stage = 1;
  std::atomic<bool> done{false};
  std::thread timer([&] {
    for (int tick = 0; !done; tick++) {
      if (tick == 30) key[KEY_ESC] = 1;
      global_keys();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  int frames = 0;
  while (stage == 1) {
    update_play();
    draw_play();
    present();
    loop_num += 1;
    frames++;
  }
  done = true;
  timer.join();
  EXPECT_GT(frames, 0);
  EXPECT_EQ(stage, 0);
  EXPECT_EQ(bytes_in(screenshot_file), 921654);
}
