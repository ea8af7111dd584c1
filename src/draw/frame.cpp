#include "draw/frame.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <sys/prctl.h>

#include "core/clock.h"
#include "core/globals.h"
#include "desktop/display.h"

int start_time;

int sky_colour() { return makecol(0, 96, 192); }

void scale_blit(BITMAP* src, BITMAP* dst, int x, int y, int k, int sx, int sy, int sw, int sh) {
  // Straight into the screen's own memory: a scaled copy made elsewhere and
  // blitted would cost a second pass over k * k times the pixels.
  const int dx = x + sx * k, dy = y + sy * k;
  const size_t row_bytes = (size_t)sw * k * 4;
  acquire_bitmap(dst);
  for (int r = 0; r < sh; r++) {
    const uint32_t* from = (const uint32_t*)src->line[sy + r] + sx;
    uint32_t* first = (uint32_t*)dst->line[dy + r * k] + dx;
    uint32_t* to = first;
    if (k == 1) {
      memcpy(first, from, row_bytes);
    } else if (k == 2) {
      for (int c = 0; c < sw; c++, to += 2) to[0] = to[1] = from[c];
    } else {
      for (int c = 0; c < sw; c++)
        for (int i = 0; i < k; i++) *to++ = from[c];
    }
    for (int j = 1; j < k; j++) memcpy((uint32_t*)dst->line[dy + r * k + j] + dx, first, row_bytes);
  }
  release_bitmap(dst);
  if (is_video_bitmap(dst)) show_written_region(dx, dy, sw * k, sh * k);
}

// Frames are compared in tiles: the sky is one colour and only the clouds,
// orbs, ball and texts move, so most of a frame is what the display already
// shows. At 2x, a whole frame is 4.9 MB for the X server to take.
namespace {
const int tile_w = 32, tile_h = 16;
const int tiles_across = 640 / tile_w, tile_rows = 480 / tile_h;
struct region {
  int x, y, w, h;  // in the 640x480 picture
};
// Runs of changed tiles alternate with unchanged ones at worst.
region changed[tile_rows * (tiles_across + 1) / 2];
}  // namespace

// Copies buffer into buffer2 a row at a time, noting which tiles differed;
// each band's runs of changed tiles become regions, a run under one of the
// same columns in the band above lengthening it. Returns how many.
static int copy_noting_changes() {
  int n = 0;
  for (int band = 0; band < tile_rows; band++) {
    uint32_t tiles = 0;  // one bit per tile across the band
    for (int row = band * tile_h; row < (band + 1) * tile_h; row++) {
      const unsigned char* from = buffer->line[row];
      unsigned char* to = buffer2->line[row];
      if (memcmp(from, to, 640 * 4) == 0) continue;
      for (int t = 0; t < tiles_across; t++)
        if (!(tiles >> t & 1) && memcmp(from + t * tile_w * 4, to + t * tile_w * 4, tile_w * 4) != 0)
          tiles |= 1u << t;
      memcpy(to, from, 640 * 4);
    }
    for (int t = 0; t < tiles_across;) {
      if (!(tiles >> t & 1)) {
        t++;
        continue;
      }
      int first = t;
      while (t < tiles_across && tiles >> t & 1) t++;
      region run{first * tile_w, band * tile_h, (t - first) * tile_w, tile_h};
      int above = 0;
      while (above < n && !(changed[above].x == run.x && changed[above].w == run.w &&
                            changed[above].y + changed[above].h == run.y))
        above++;
      if (above < n) changed[above].h += tile_h;
      else changed[n++] = run;
    }
  }
  return n;
}

void present() {
  int n;
  {
    std::lock_guard<std::mutex> hold(frame_lock);
    n = copy_noting_changes();
  }
  if (whole_frame_wanted.exchange(false)) {
    changed[0] = region{0, 0, 640, 480};
    n = 1;
  }
  // Only this thread writes buffer2, so it is read here without the lock.
  for (int i = 0; i < n; i++)
    scale_blit(buffer2, screen, frame_x, frame_y, scale, changed[i].x, changed[i].y, changed[i].w, changed[i].h);
  if (n > 0 && is_video_bitmap(screen)) send_to_display();
}

void wait_play_frame() {
  // Sleeps to the very instant the frame ends, on the monotonic clock itself:
  // a relative sleep of whole milliseconds overshoots by up to one. The
  // kernel's default slack would add another 50 us to each wake.
  static thread_local bool slack_set = false;
  if (!slack_set) {
    prctl(PR_SET_TIMERSLACK, 1);
    slack_set = true;
  }
  int end = start_time + 20;
  timespec deadline = ms_clock_instant(end);
  while (ms_clock() < end) clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
}

void end_menu_frame() {
  present();
  rest(50);
  loop_num += 1;
}
