#include "draw/frame.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <sys/prctl.h>

#include "core/clock.h"
#include "core/globals.h"
#include "desktop/display.h"
#include "draw/damage.h"

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

// Only what drawing may have touched is compared (draw/damage.h): the sky is
// one colour and only the clouds, orbs, ball and texts move, so most of a
// frame is what the display already shows. At 2x, a whole frame is 4.9 MB
// for the X server to take.
namespace {
struct region {
  int x, y, w, h;  // in the 640x480 picture
};
region changed[480];  // at most one a row
// A row joins the region above it unless that would send this many pixels
// more than the two apart: about what the X server spends on a request of
// its own.
const int merge_waste = 1024;
}  // namespace

// Copies row from into row to where they differ in the blocks m; returns
// the first column that differed and leaves the last in *last (first > *last
// when none did).
static int copy_differences(const uint32_t* from, uint32_t* to, blocks m, int* last) {
  int first = 640;
  *last = -1;
  for (int x0, x1; take_run(m, &x0, &x1);) {
    if (memcmp(from + x0, to + x0, (x1 - x0) * 4) == 0) continue;
    while (from[x0] == to[x0]) x0++;
    while (from[x1 - 1] == to[x1 - 1]) x1--;
    memcpy(to + x0, from + x0, (x1 - x0) * 4);
    first = std::min(first, x0);
    *last = x1 - 1;
  }
  return first;
}

// Copies buffer into buffer2 where they may differ, noting what did; rows
// that differed become regions, a row joining the one above when that
// wastes little. Returns how many.
static int copy_noting_changes() {
  // Nothing drawn into either frame since they were last made equal (a
  // still title): equal still
  static unsigned long equal_at = ~0ul;
  if (frame_drawings() == equal_at) return 0;
  int n = 0;
  region* open = nullptr;  // the last region, while the rows above belong to it
  for (int y = 0; y < 480; y++) {
    const uint32_t* from = (const uint32_t*)buffer->line[y];
    uint32_t* to = (uint32_t*)buffer2->line[y];
    int last, first = copy_differences(from, to, may_differ(y), &last);
    if (first > last) {
      open = nullptr;
      continue;
    }
    if (open) {
      int x0 = std::min(open->x, first), x1 = std::max(open->x + open->w - 1, last);
      int waste = (x1 - x0 + 1) * (open->h + 1) - open->w * open->h - (last - first + 1);
      if (waste <= merge_waste) {
        open->x = x0, open->w = x1 - x0 + 1, open->h++;
        continue;
      }
    }
    changed[n] = region{first, y, last - first + 1, 1};
    open = &changed[n++];
  }
  frames_copied();
  equal_at = frame_drawings();
  return n;
}

void present() {
  watch_frames();
  int n;
  bool shared;  // at 1x the X server reads buffer2 itself
  {
    std::lock_guard<std::mutex> hold(frame_lock);
    shared = scale == 1 && is_video_bitmap(screen) && share_frame(buffer2);
    n = copy_noting_changes();
  }
  if (whole_frame_wanted.exchange(false)) {
    changed[0] = region{0, 0, 640, 480};
    n = 1;
  }
  // Only this thread writes buffer2, so it is read here without the lock.
  for (int i = 0; i < n; i++) {
    const region& r = changed[i];
    if (shared) send_shared(r.x, r.y, r.w, r.h);
    else scale_blit(buffer2, screen, frame_x, frame_y, scale, r.x, r.y, r.w, r.h);
  }
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
