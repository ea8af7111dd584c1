// soak [frames] [seeds]: runs the play simulation for `frames` frames in all,
// split over `seeds` seeds, under random key input, checks the run state after
// every frame and prints what it saw. Exits 1 when any check failed.
#include <allegro.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "soak_run.h"

int main(int argc, char** argv) {
  long frames = argc > 1 ? atol(argv[1]) : 200000;
  long seeds = argc > 2 ? atol(argv[2]) : 8;
  if (frames < 1 || seeds < 1) {
    fprintf(stderr, "usage: soak [frames] [seeds]\n");
    return 2;
  }
  // Only the key array is needed: no display, no keyboard driver
  if (install_allegro(SYSTEM_NONE, &allegro_errnum, atexit) != 0) {
    fprintf(stderr, "cannot start Allegro\n");
    return 2;
  }

  soak_stats st{};
  auto t0 = std::chrono::steady_clock::now();
  for (long s = 0; s < seeds; s++) {
    long share = frames / seeds + (s < frames % seeds ? 1 : 0);
    soak_run(1000u + (unsigned)s, share, st);
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  printf("frames run:      %ld over %ld seeds\n", st.frames, seeds);
  printf("runs started:    %ld\n", st.runs);
  printf("deaths:          %ld\n", st.deaths);
  printf("landings:        %ld (%ld jumps with the landing bonus)\n", st.landings, st.high_jumps);
  printf("pick-up frames:  %ld\n", st.pickups);
  printf("top-speed orbs:  %ld\n", st.top_pickups);
  printf("best speed_up:   %d\n", st.best_speed_up);
  printf("best score:      %d\n", st.best_score);
  printf("failures:        %ld\n", st.failures);
  if (st.failures > 0) printf("first failure:   %s\n", st.first_failure);
  printf("frames/s:        %.0f (%.3f s)\n", secs > 0 ? st.frames / secs : 0.0, secs);
  return st.failures > 0 ? 1 : 0;
}
