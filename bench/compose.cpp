// Cost of composing one busy play frame on memory bitmaps, headless: the whole
// draw_play with every cloud and orb slot in view, plus both copies of present().
// The parts are timed alone as well, to show where the time goes.
#include <benchmark/benchmark.h>

#include <allegro.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "draw/frame.h"
#include "draw/sprites.h"
#include "play/pools.h"
#include "play/screen.h"
#include "play/update.h"
#include "busy_frame.h"
#include "core/globals.h"

namespace {

void start() {
  static bool started = false;
  if (started) return;
  started = true;
  if (install_allegro(SYSTEM_NONE, &allegro_errnum, atexit) != 0) {
    fprintf(stderr, "cannot start Allegro headless\n");
    exit(1);
  }
  set_color_depth(32);
  buffer = create_bitmap(640, 480);
  buffer2 = create_bitmap(640, 480);
  screen = create_bitmap(640, 480);
  title = load_bitmap_font(PV_ASSET_DIR "/bubble.pcx", NULL, NULL);
  if (!title) {
    fprintf(stderr, "cannot load %s\n", PV_ASSET_DIR "/bubble.pcx");
    exit(1);
  }
  text = font;
  set_busy_frame();
}

// draw_play counts hit down every frame; keep the ball standing and the prompt up.
void hold_state() {
  hit = 0;
  loop_num = 0;
}

void BusyPlayFrame(benchmark::State& state) {
  start();
  for (auto _ : state) {
    draw_play();
    present();
    hold_state();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BusyPlayFrame)->Unit(benchmark::kMicrosecond);

void DrawPlayOnly(benchmark::State& state) {
  start();
  for (auto _ : state) {
    draw_play();
    hold_state();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(DrawPlayOnly)->Unit(benchmark::kMicrosecond);

void ClearOnly(benchmark::State& state) {
  start();
  for (auto _ : state) {
    clear_to_color(buffer, makecol(0, 96, 192));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(ClearOnly)->Unit(benchmark::kMicrosecond);

void EighteenWidestClouds(benchmark::State& state) {
  start();
  for (auto _ : state) {
    for (const platform& p : land) draw_cloud(buffer, p.x, p.y, p.w);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(EighteenWidestClouds)->Unit(benchmark::kMicrosecond);

void TwentyOrbs(benchmark::State& state) {
  start();
  for (auto _ : state) {
    for (const bonus& s : star) draw_star(buffer, s.x, s.y, s.type);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(TwentyOrbs)->Unit(benchmark::kMicrosecond);

void BallPanelAndPrompt(benchmark::State& state) {
  start();
  for (auto _ : state) {
    blue_ball(buffer, 320, 200);
    big_ball(buffer, 35, 28);
    textprintf_ex(buffer, text, 36, 20, makecol(0, 0, 0), -1, "%i orbs", 1230);
    textprintf_ex(buffer, text, 36, 30, makecol(0, 0, 0), -1, "%i meters", 1522);
    textout_ex(buffer, title, "Ready?", 220, 150, makecol(255, 255, 255), -1);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BallPanelAndPrompt)->Unit(benchmark::kMicrosecond);

void PresentOnly(benchmark::State& state) {
  start();
  for (auto _ : state) {
    present();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(PresentOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
