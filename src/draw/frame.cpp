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

void scale_blit(BITMAP* src, BITMAP* dst, int x, int y, int k) {
  if (k == 1) {
    blit(src, dst, 0, 0, x, y, 640, 480);
    return;
  }
  // Straight into the screen's own memory: a scaled copy made elsewhere and
  // blitted would cost a second pass over k * k times the pixels.
  const size_t row_bytes = (size_t)640 * k * 4;
  acquire_bitmap(dst);
  for (int sy = 0; sy < 480; sy++) {
    const uint32_t* from = (const uint32_t*)src->line[sy];
    uint32_t* first = (uint32_t*)dst->line[y + sy * k] + x;
    uint32_t* to = first;
    if (k == 2) {
      for (int sx = 0; sx < 640; sx++, to += 2) to[0] = to[1] = from[sx];
    } else {
      for (int sx = 0; sx < 640; sx++)
        for (int i = 0; i < k; i++) *to++ = from[sx];
    }
    for (int j = 1; j < k; j++) memcpy((uint32_t*)dst->line[y + sy * k + j] + x, first, row_bytes);
  }
  release_bitmap(dst);
  if (is_video_bitmap(dst)) show_written_region(x, y, 640 * k, 480 * k);
}

void present() {
  {
    std::lock_guard<std::mutex> hold(frame_lock);
    blit(buffer, buffer2, 0, 0, 0, 0, 640, 480);
  }
  // Only this thread writes buffer2, so it is read here without the lock.
  scale_blit(buffer2, screen, frame_x, frame_y, scale);
  if (is_video_bitmap(screen)) send_to_display();
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
