// Presentation and the play frame's wait.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "draw/frame.h"
#include "core/globals.h"
#include "core/clock.h"
#include "core/screenshot.h"
#include "desktop/display.h"
#include "support/headless.h"

namespace {

bool same_pixels(BITMAP* a, BITMAP* b) {
  for (int py = 0; py < 480; py++)
    if (memcmp(a->line[py], b->line[py], 640 * 4) != 0) return false;
  return true;
}

struct Frame : HeadlessTest {};

// Every kind of drawing into a frame, the game's and others, at a place and
// size from r (each in -40..699, r[3] a colour).
BITMAP* sprite;  // a picture with transparent parts, for the blits
typedef void (*drawing)(BITMAP* b, const int* r);
const drawing drawings[] = {
    [](BITMAP* b, const int* r) { circlefill(b, r[0], r[1], r[2] % 30, r[3]); },
    [](BITMAP* b, const int* r) { ellipsefill(b, r[0], r[1], r[2] % 30, r[4] % 20, r[3]); },
    [](BITMAP* b, const int* r) { triangle(b, r[0], r[1], r[0] - r[2] % 20, r[1] + 10, r[0] + r[4] % 20, r[1] + 10, r[3]); },
    [](BITMAP* b, const int* r) { hline(b, r[0], r[1], r[2], r[3]); },
    [](BITMAP* b, const int* r) { rectfill(b, r[0], r[1], r[0] + r[2] % 40, r[1] + r[4] % 40, r[3]); },
    [](BITMAP* b, const int* r) { textout_ex(b, title, "Paused", r[0], r[1], r[3], -1); },
    [](BITMAP* b, const int* r) { textprintf_centre_ex(b, font, r[0], r[1], r[3], -1, "+%i orbs", r[2]); },
    [](BITMAP* b, const int* r) { textout_ex(b, font, "Quit", r[0], r[1], r[3], r[4]); },
    [](BITMAP* b, const int* r) { putpixel(b, r[0], r[1], r[3]); },
    [](BITMAP* b, const int* r) { line(b, r[0], r[1], r[2], r[4], r[3]); },
    [](BITMAP* b, const int* r) { circle(b, r[0], r[1], r[2] % 40, r[3]); },
    [](BITMAP* b, const int* r) { arc(b, r[0], r[1], itofix(r[2] & 255), itofix(r[4] & 255), r[2] % 50, r[3]); },
    [](BITMAP* b, const int* r) { int p[8] = {r[0], r[1], r[2], r[4], r[1], r[0], r[4], r[2]}; spline(b, p, r[3]); },
    [](BITMAP* b, const int* r) { draw_sprite(b, sprite, r[0], r[1]); },
    [](BITMAP* b, const int* r) { masked_blit(sprite, b, 0, 0, r[0], r[1], 40, 30); },
    [](BITMAP* b, const int* r) { stretch_blit(sprite, b, 0, 0, 40, 30, r[0], r[1], r[2] % 90, r[4] % 70); },
    [](BITMAP* b, const int* r) { _putpixel32(b, r[0] & 511, r[1] & 255, r[3]); },  // past the table
    [](BITMAP* b, const int* r) { floodfill(b, r[0] & 511, r[1] & 255, r[3]); },  // bounded nowhere
    [](BITMAP* b, const int* r) {
      BITMAP* part = create_sub_bitmap(b, 100, 50, 300, 200);
      circlefill(part, r[0] % 300, r[1] % 200, 12, r[3]);
      destroy_bitmap(part);
    },
};

}  // namespace

TEST_F(Frame, PresentCopiesTheWholeFrameToBuffer2AndTheScreen) {
  // A picture that differs in every row and column, corners included
  for (int py = 0; py < 480; py++)
    for (int px = 0; px < 640; px++) putpixel(buffer, px, py, makecol(px & 255, py & 255, (px >> 8) * 64 + (py >> 8) * 16 + 1));
  putpixel(buffer, 0, 0, makecol(9, 9, 9));
  putpixel(buffer, 639, 479, makecol(7, 7, 7));
  clear_to_color(buffer2, makecol(255, 0, 0));
  clear_to_color(screen, makecol(0, 255, 0));

  present();

  EXPECT_TRUE(same_pixels(buffer2, buffer));
  EXPECT_TRUE(same_pixels(screen, buffer));
  EXPECT_EQ(rgb_at(screen, 0, 0), rgb(9, 9, 9));
  EXPECT_EQ(rgb_at(screen, 639, 479), rgb(7, 7, 7));
}

TEST_F(Frame, ScaledPictureFillsItsSquaresAndNothingElse) {
  for (int py = 0; py < 480; py++)
    for (int px = 0; px < 640; px++) putpixel(buffer2, px, py, makecol(px & 255, py & 255, (px >> 8) * 64 + (py >> 8) * 16 + 1));
  for (int k : {1, 2, 3}) {
    SCOPED_TRACE(testing::Message() << "scale " << k);
    // A screen with room round the picture, as full screen has.
    const int ox = 7, oy = 5, w = 640 * k + 2 * ox + 1, h = 480 * k + 2 * oy + 1;
    BITMAP* target = create_bitmap(w, h);
    const int margin = makecol(1, 2, 3);
    clear_to_color(target, margin);
    scale_blit(buffer2, target, ox, oy, k);
    int wrong = 0, outside = 0;
    for (int ty = 0; ty < h; ty++)
      for (int tx = 0; tx < w; tx++) {
        int px = tx - ox, py = ty - oy;
        bool in = px >= 0 && py >= 0 && px < 640 * k && py < 480 * k;
        int want = in ? getpixel(buffer2, px / k, py / k) : margin;
        if (getpixel(target, tx, ty) != want) (in ? wrong : outside)++;
      }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(outside, 0);
    destroy_bitmap(target);
  }
}

TEST_F(Frame, PresentShowsEachFrameAsDrawnFromNothingAndSendsNothingWhenNothingChanged) {
  BITMAP* memory_screen = screen;
  BITMAP* plain = create_bitmap(640, 480);  // the same frames drawn with Allegro's own table alone
  sprite = create_bitmap(40, 30);
  clear_to_color(sprite, makecol(200, 40, 9));
  circlefill(sprite, 20, 15, 9, bitmap_mask_color(sprite));
  std::mt19937 rng(7);
  for (int k : {1, 2}) {
    SCOPED_TRACE(testing::Message() << "scale " << k);
    screen = create_bitmap(640 * k + 6, 480 * k + 4);  // a margin round the picture
    scale = k, frame_x = 3, frame_y = 2, whole_frame_wanted = true;
    const uint32_t poison = makecol(255, 0, 255);
    auto off_picture = [&](auto want) {  // screen pixels that are not want(game x, game y)
      int n = 0;
      for (int sy = 0; sy < 480 * k; sy++)
        for (int sx = 0; sx < 640 * k; sx++) n += ((uint32_t*)screen->line[frame_y + sy])[frame_x + sx] != want(sx / k, sy / k);
      return n;
    };
    unsigned seed = 0;
    for (int frame = 0; frame < 160; frame++) {
      bool same = frame % 10 == 9;  // nothing changed: nothing is written
      if (same) rectfill(screen, 0, 0, screen->w, screen->h, poison);
      else seed = rng();
      if (frame % 10 == 4) rectfill(buffer2, 0, 300, 639, 309, poison);  // buffer2 written behind present's back
      std::mt19937 frame_rng(seed);
      int sky = frame_rng() % 13 == 5 ? makecol(1, 2, 3) : sky_colour();
      for (BITMAP* b : {buffer, plain}) clear_to_color(b, sky);
      for (int n = frame_rng() % 7; n-- > 0;) {
        int r[5];
        for (int& v : r) v = (int)(frame_rng() % 740) - 40;
        r[3] = makecol(r[3] & 255, 9, r[0] & 255);
        drawing d = drawings[frame_rng() % (sizeof drawings / sizeof *drawings)];
        for (BITMAP* b : {buffer, plain}) d(b, r);
      }
      present();
      ASSERT_TRUE(same_pixels(buffer, plain)) << "frame " << frame;
      ASSERT_TRUE(same_pixels(buffer2, plain)) << "frame " << frame;
      if (same) EXPECT_EQ(off_picture([&](int, int) { return poison; }), 0) << "frame " << frame;
      else ASSERT_EQ(off_picture([&](int px, int py) { return ((uint32_t*)plain->line[py])[px]; }), 0) << "frame " << frame;
      if (same) whole_frame_wanted = true;
    }
    destroy_bitmap(screen);
  }
  destroy_bitmap(sprite);
  destroy_bitmap(plain);
  screen = memory_screen;
  scale = 1, frame_x = frame_y = 0;
}

TEST_F(Frame, PlayWaitEndsAtTheDeadlineNeverBeforeAndAtOnceWhenOverrun) {
  using namespace std::chrono;
  for (int late : {0, 0, 15}) {
    auto real_before = steady_clock::now();
    start_time = ms_clock() - late;
    wait_play_frame();
    int now = ms_clock();
    double real_ms = duration<double, std::milli>(steady_clock::now() - real_before).count();
    EXPECT_GE(now, start_time + 20);
    // The clock itself must be real time in milliseconds
    EXPECT_GE(real_ms, 19.0 - late);
  }

  // An overrun frame: the next one follows at once.  The best of three tries
  // counts, so a busy machine pausing the test cannot fail it.
  for (int overrun : {20, 100, 5000}) {
    int quickest = 1 << 30;
    for (int attempt = 0; attempt < 3; attempt++) {
      start_time = ms_clock() - overrun;
      int before = ms_clock();
      wait_play_frame();
      quickest = std::min(quickest, ms_clock() - before);
    }
    EXPECT_LT(quickest, 20) << "overrun by " << overrun;
  }
}

TEST_F(Frame, ScreenshotsOnlyEverShowWholePresentedFrames) {
  using namespace std::chrono;
  const int colours[2] = {makecol(255, 0, 0), makecol(0, 255, 0)};
  // Each frame goes into buffer in strips, so a picture of a frame in the
  // making would show both colours.
  auto draw_frame = [&](int c) {
    for (int top = 0; top < 480; top += 16) rectfill(buffer, 0, top, 639, top + 15, c);
  };
  draw_frame(colours[0]);
  present();

  std::atomic<bool> stop{false};
  std::atomic<int> shots{0}, failed_saves{0}, mixed{0}, foreign{0};
  std::thread tab([&] {
    while (!stop) {
      int failed_before = screenshots_failed;
      take_screenshot("shot.bmp");
      wait_screenshots_idle();
      if (screenshots_failed != failed_before) {
        failed_saves++;
        continue;
      }
      BITMAP* shot = load_bitmap("shot.bmp", NULL);
      if (!shot) {
        failed_saves++;
        continue;
      }
      int depth = bitmap_color_depth(shot);
      int first = getpixel(shot, 0, 0);
      bool uniform = shot->w == 640 && shot->h == 480;
      for (int py = 0; py < shot->h && uniform; py++)
        for (int px = 0; px < shot->w && uniform; px++) uniform = getpixel(shot, px, py) == first;
      int r = getr_depth(depth, first), g = getg_depth(depth, first), bl = getb_depth(depth, first);
      if (!uniform) mixed++;
      else if (!((r == 255 && g == 0 && bl == 0) || (r == 0 && g == 255 && bl == 0))) foreign++;
      destroy_bitmap(shot);
      shots++;
    }
  });

  auto begin = steady_clock::now();
  int frame = 0;
  while (steady_clock::now() - begin < milliseconds(500) ||
         (shots < 3 && steady_clock::now() - begin < seconds(10))) {
    frame++;
    draw_frame(colours[frame & 1]);
    present();
  }
  stop = true;
  tab.join();

  EXPECT_GE(shots, 3);
  EXPECT_EQ(failed_saves, 0);
  EXPECT_EQ(mixed, 0) << "of " << shots << " screenshots over " << frame << " frames";
  EXPECT_EQ(foreign, 0);
}
