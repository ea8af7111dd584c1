// Headless test support: Allegro with no system driver, 640x480 32-bit memory
// bitmaps for buffer, buffer2 and screen, the real title font, and key presses
// written straight into the library's key[] array.
#pragma once

#include <allegro.h>
#include <atomic>
#include <gtest/gtest.h>
#include <string>

// Starts Allegro once per process; safe to call again.
void headless_start();

// Puts every piece of game state back as at program start.
void reset_game_state();

void press(int control);    // through the binding table
void release(int control);
void release_all();

// Pixel of a 32-bit bitmap as (r, g, b) packed 0xRRGGBB.
int rgb_at(BITMAP* bmp, int px, int py);
inline int rgb(int r, int g, int bl) { return (r << 16) | (g << 8) | bl; }

// A file's whole content, or "<missing>" when it cannot be read.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// Pixels that differ between two bitmaps in a box (the whole frame by default).
int differing_pixels(BITMAP* a, BITMAP* c, int x0 = 0, int y0 = 0, int w = 640, int h = 480);

// Pixels of colour ink (0xRRGGBB) in a box.
int count_ink(BITMAP* bmp, int x0, int y0, int w, int h, int ink);
// Pixels of a full-width band where one bitmap has the ink and the other has not.
int ink_mismatches(BITMAP* got, BITMAP* want, int y0, int h, int ink);

// While true, no new thread starts (EAGAIN), as on a machine out of threads.
extern std::atomic<bool> fail_thread_starts;

// A fresh empty directory under the test's temporary area, made the working
// directory for the test and removed afterwards by HeadlessTest.
std::string make_temp_dir();

struct HeadlessTest : ::testing::Test {
  void SetUp() override;
  void TearDown() override;
  std::string dir;      // the test's own working directory
  std::string old_cwd;
};
