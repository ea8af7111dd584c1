// Play-frame pacing and presentation in a real window.
//
// Pacing: a busy frame composed, presented and waited for, frame after frame,
// with the wait switched between blocks so that every kind sees the same
// machine noise: the game's own (a sleep to the deadline with the thread's
// timer slack lowered), the same sleep with the kernel's default slack, and a
// pure spin on the clock. Prints, per kind, the frame period (from
// steady_clock, not the millisecond clock the wait uses) and the processor
// time the process and its main thread burn per second of play.
//
// Presentation: the cost of present() alone (the copy into buffer2 and the
// picture brought to the window) in windows at 1x, 2x and 3x, and at 1x while
// Tab is held and a screenshot is taken every 10 ms.
//
//   pacing [frames per kind, default 600]      (needs DISPLAY; see pacing.sh)
#include <allegro.h>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "busy_frame.h"
#include "draw/frame.h"
#include "play/screen.h"
#include "core/clock.h"
#include "desktop/display.h"
#include "core/globals.h"
#include "core/hotkeys.h"
#include "core/screenshot.h"

namespace {

using steady = std::chrono::steady_clock;

const int block_frames = 50;   // frames in a row of one kind
const int warm_up_frames = 100;

double cpu_seconds(clockid_t which) {
  timespec t;
  clock_gettime(which, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

double ms_between(steady::time_point a, steady::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

enum wait_kind { game_wait, default_slack, spin };

struct kind_result {
  const char* label;
  wait_kind kind;
  std::vector<double> periods;  // ms
  double work_ms = 0;           // compose + present, summed
  double wall = 0, cpu = 0, main_cpu = 0;  // seconds, summed over its blocks
};

// One play frame as the game runs it, minus the update.
void play_frame() {
  start_time = ms_clock();
  draw_play();
  present();
}

void wait(wait_kind kind) {
  if (kind == spin) {
    while (ms_clock() < start_time + 20) {
    }
  } else {
    wait_play_frame();
  }
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, (size_t)(v.size() * p))];
}

double mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return sum / v.size();
}

}  // namespace

int main(int argc, char** argv) {
  int frames = argc > 1 ? atoi(argv[1]) : 600;
  if (frames < block_frames) frames = block_frames;

  if (install_allegro(SYSTEM_AUTODETECT, &allegro_errnum, atexit) != 0) {
    fprintf(stderr, "pacing: cannot start Allegro (DISPLAY=%s)\n", getenv("DISPLAY") ? getenv("DISPLAY") : "");
    return 1;
  }
  install_keyboard();
  install_timer();
  set_color_depth(32);
  if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 640, 480, 0, 0) != 0) {
    fprintf(stderr, "pacing: cannot open a 640x480 window: %s\n", allegro_error);
    return 1;
  }
  title = load_bitmap_font(PV_ASSET_DIR "/bubble.pcx", NULL, NULL);
  if (!title) {
    fprintf(stderr, "pacing: cannot load %s\n", PV_ASSET_DIR "/bubble.pcx");
    return 1;
  }
  text = font;
  buffer = create_bitmap(640, 480);
  buffer2 = create_bitmap(640, 480);
  start_screenshots();
  // The hot keys run on the timer as in the game.
  install_int(global_keys, 10);
  set_busy_frame();

  std::vector<kind_result> results = {{"game", game_wait, {}},
                                      {"default slack", default_slack, {}},
                                      {"spin", spin, {}}};
  for (auto& r : results) r.periods.reserve(frames + block_frames);

  // Warm-up: the window, the caches and the clock settle.
  for (int i = 0; i < warm_up_frames; i++) {
    play_frame();
    wait_play_frame();
    hit = 0;
  }

  // Round robin over the kinds, a block at a time.  A frame's period runs from
  // its top to the next frame's top, so it belongs to the kind of its own wait.
  steady::time_point top = steady::now();
  for (int done = 0; done < frames; done += block_frames) {
    for (auto& r : results) {
      prctl(PR_SET_TIMERSLACK, r.kind == default_slack ? 0 : 1);  // 0: the thread's default
      double cpu0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID), main0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
      steady::time_point block_start = top;
      for (int i = 0; i < block_frames; i++) {
        play_frame();
        r.work_ms += ms_between(top, steady::now());
        wait(r.kind);
        hit = 0;
        steady::time_point next = steady::now();
        r.periods.push_back(ms_between(top, next));
        top = next;
      }
      r.wall += ms_between(block_start, top) / 1000;
      r.cpu += cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
      r.main_cpu += cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - main0;
    }
  }
  prctl(PR_SET_TIMERSLACK, 1);

  printf("Play-frame pacing, busy frame in a 640x480 window, %d frames per kind of wait\n\n", frames);
  printf("| wait | mean ms | p50 ms | p99 ms | max ms | CPU s/s | main s/s | work ms |\n");
  printf("|---|---|---|---|---|---|---|---|\n");
  for (auto& r : results) {
    printf("| %s | %.3f | %.3f | %.3f | %.3f | %.4f | %.4f | %.3f |\n", r.label, mean(r.periods),
           percentile(r.periods, 0.5), percentile(r.periods, 0.99), percentile(r.periods, 1.0),
           r.cpu / r.wall, r.main_cpu / r.wall, r.work_ms / r.periods.size());
  }
  printf("\nGoals for the game's wait: mean 20.00 +- 0.02 ms, p99 <= 20.1 ms.\n");

  // Presentation alone at each scale, in a window of the scaled picture's
  // size: a frame like the last (nothing to send), and a whole frame sent,
  // as after a new mode or an Expose (every frame before changes were sought).
  printf("\npresent(): copy into buffer2 and bring it to the window, %d frames per scale\n\n", frames);
  printf("| scale | window | unchanged mean ms | unchanged p99 ms | whole mean ms | whole p99 ms |\n"
         "|---|---|---|---|---|---|\n");
  for (int k = 1; k <= 3; k++) {
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 640 * k, 480 * k, 0, 0) != 0) {
      printf("| %dx | cannot open: %s | | | | |\n", k, allegro_error);
      continue;
    }
    scale = k;
    frame_x = frame_y = 0;
    draw_play();
    std::vector<double> costs[2];
    for (int i = 0; i < 2 * (frames + warm_up_frames); i++) {
      bool whole = i % 2;
      whole_frame_wanted = whole;
      steady::time_point before = steady::now();
      present();
      if (i >= 2 * warm_up_frames) costs[whole].push_back(ms_between(before, steady::now()));
      rest(2);
    }
    printf("| %dx | %dx%d | %.3f | %.3f | %.3f | %.3f |\n", k, 640 * k, 480 * k, mean(costs[0]),
           percentile(costs[0], 0.99), mean(costs[1]), percentile(costs[1], 0.99));
  }

  // present() while Tab is held: a screenshot every 10 ms, as the hot key
  // takes them, against the copy into buffer2 they share a lock with.
  set_gfx_mode(GFX_AUTODETECT_WINDOWED, 640, 480, 0, 0);
  scale = 1;
  char shots[] = "/tmp/pv-pacing-XXXXXX";
  if (mkdtemp(shots)) {
    std::string shot = std::string(shots) + "/shot.bmp";
    printf("\npresent() at 1x while a screenshot is taken every 10 ms (Tab held), %d frames:\n"
           "its wait for the lock the screenshot's copy holds, and the whole of it; the writer\n"
           "writes the latest frame taken, dropping any it had no time for\n\n", frames);
    printf("| Tab | wait p50 ms | wait p99 ms | wait max ms | present mean ms | present p99 ms | screenshots |\n"
           "|---|---|---|---|---|---|---|\n");
    for (bool held : {false, true}) {
      std::atomic<bool> stop{false};
      int written = screenshots_written;
      std::thread tab([&] {
        while (held && !stop) {
          take_screenshot(shot.c_str());
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      });
      std::vector<double> waits, costs;
      for (int i = 0; i < frames; i++) {
        draw_play();
        // present(), step by step, to time the lock on its own.
        steady::time_point before = steady::now();
        {
          std::lock_guard<std::mutex> hold(frame_lock);
          waits.push_back(ms_between(before, steady::now()));
          blit(buffer, buffer2, 0, 0, 0, 0, 640, 480);
        }
        scale_blit(buffer2, screen, frame_x, frame_y, scale);
        costs.push_back(ms_between(before, steady::now()));
        rest(20);
      }
      stop = true;
      tab.join();
      wait_screenshots_idle();
      written = screenshots_written - written;
      printf("| %s | %.3f | %.3f | %.3f | %.3f | %.3f | %d |\n", held ? "held" : "up", percentile(waits, 0.5),
             percentile(waits, 0.99), percentile(waits, 1.0), mean(costs), percentile(costs, 0.99),
             written);
    }
    unlink(shot.c_str());
    rmdir(shots);
  }

  remove_int(global_keys);
  stop_screenshots();
  destroy_bitmap(buffer);
  destroy_bitmap(buffer2);
  destroy_font(title);
  return 0;
}
