// Play-frame pacing in a real window: a busy frame composed, presented and
// waited for, frame after frame, with the wait's spin margin switched between
// blocks so that every margin sees the same machine noise.  Prints, per margin,
// the frame period (from steady_clock, not the millisecond clock the wait uses)
// and the processor time the process burns per second of play.
//
//   pacing [frames per margin, default 600]      (needs DISPLAY; see pacing.sh)
#include <allegro.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "draw/frame.h"
#include "play/pools.h"
#include "play/screen.h"
#include "play/update.h"
#include "busy_frame.h"
#include "shell/app.h"
#include "shell/clock.h"
#include "shell/hotkeys.h"

namespace {

using steady = std::chrono::steady_clock;

const int block_frames = 50;   // frames in a row on one margin
const int warm_up_frames = 100;

double cpu_seconds(clockid_t which) {
  timespec t;
  clock_gettime(which, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

double ms_between(steady::time_point a, steady::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

struct margin_result {
  const char* label;
  int margin;
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

}  // namespace

int main(int argc, char** argv) {
  int frames = argc > 1 ? atoi(argv[1]) : 600;
  if (frames < block_frames) frames = block_frames;

  if (install_allegro(SYSTEM_AUTODETECT, &errno, atexit) != 0) {
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
  // The hot keys run on the timer as in the game; nothing presses them here.
  install_int(global_keys, 10);
  set_busy_frame();

  const int chosen = spin_margin_ms;
  std::vector<margin_result> results = {
      {"spin", 20, {}}, {"0 ms", 0, {}}, {"1 ms", 1, {}}, {"2 ms", 2, {}}, {"3 ms", 3, {}}};
  for (auto& r : results) r.periods.reserve(frames + block_frames);

  // Warm-up on the chosen margin: the window, the caches and the clock settle.
  spin_margin_ms = chosen;
  for (int i = 0; i < warm_up_frames; i++) {
    play_frame();
    wait_play_frame();
    hit = 0;
  }

  // Round robin over the margins, a block at a time.  A frame's period runs from
  // its top to the next frame's top, so it belongs to the margin of its own wait.
  steady::time_point top = steady::now();
  for (int done = 0; done < frames; done += block_frames) {
    for (auto& r : results) {
      spin_margin_ms = r.margin;
      double cpu0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID), main0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
      steady::time_point block_start = top;
      for (int i = 0; i < block_frames; i++) {
        play_frame();
        r.work_ms += ms_between(top, steady::now());
        wait_play_frame();
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
  spin_margin_ms = chosen;
  remove_int(global_keys);

  printf("Play-frame pacing, busy frame in a 640x480 window, %d frames per margin\n", frames);
  printf("(margin = the last stretch of the 20 ms wait that is spun; 'spin' never sleeps)\n\n");
  printf("%-7s %9s %9s %9s %9s %9s %10s %10s %9s\n", "margin", "mean ms", "p50 ms", "p99 ms",
         "max ms", ">20.5 ms", "CPU s/s", "main s/s", "work ms");
  double spin_cpu = 0;
  for (auto& r : results) {
    std::vector<double> p = r.periods;
    std::sort(p.begin(), p.end());
    double sum = 0;
    int late = 0;
    for (double v : p) {
      sum += v;
      if (v > 20.5) late++;
    }
    size_t n = p.size();
    double cpu_rate = r.cpu / r.wall;
    if (r.margin >= 20) spin_cpu = cpu_rate;
    printf("%-7s %9.3f %9.3f %9.3f %9.3f %9d %10.3f %10.3f %9.3f\n", r.label, sum / n, p[n / 2],
           p[std::min(n - 1, (size_t)(n * 0.99))], p[n - 1], late, cpu_rate, r.main_cpu / r.wall,
           r.work_ms / n);
  }
  printf("\nGoals: mean 20.00 +- 0.05 ms, p99 within 0.5 ms of 20, hybrid CPU <= spin CPU / 10 (%.3f s/s)\n",
         spin_cpu / 10);
  printf("The game's margin (spin_margin_ms) is %d ms.\n", chosen);

  destroy_bitmap(buffer);
  destroy_bitmap(buffer2);
  destroy_font(title);
  return 0;
}
