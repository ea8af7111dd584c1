// replay [runs] [seed]: plays runs headless under player-like input through
// the game's own recording, and prints what replays cost: their size per
// minute of play, the time to verify one per minute of play (the rules in
// this process, and the whole plu-vesk --verify-replay), and what recording
// adds to a frame's update.
//
// The player: reacts every 8 frames (160 ms), steering for the nearest cloud
// below with a dead zone and holding the arrows until it looks again; jumps from a cloud now and then, holding the key
// 5 to 30 frames; dives now and then while falling. After three minutes a
// run is let go, so that it ends.
#include <allegro.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "soak_run.h"
#include "core/game_random.h"
#include "play/replay.h"
#include "play/screen.h"
#include "core/replay_file.h"

extern char** environ;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct player {
  unsigned noise;
  int jump_left = 0, rest_left = 0, dive_left = 0, target = 320;
};

// One frame's keys, as a player would hold them.
void play_keys(player& p, long frame, bool let_go) {
  if (frame % 8 == 0) {
    p.target = soak_target();
    int ahead = x + (int)(p_spd * 6);
    key[b[LEFT]] = !let_go && ahead > p.target + 12;
    key[b[RIGHT]] = !let_go && ahead < p.target - 12;
  }
  if (p.jump_left > 0) p.jump_left--;
  else if (p.rest_left > 0) p.rest_left--;
  else if (!jump && frame % 8 == 0) {
    unsigned r = soak_next(p.noise);
    p.jump_left = 5 + (int)(r % 26);
    p.rest_left = 10 + (int)((r >> 8) % 60);
  }
  key[b[JUMP]] = p.jump_left > 0;
  if (p.dive_left > 0) p.dive_left--;
  else if (jump && jumpforce < 0 && frame % 8 == 0 && (soak_next(p.noise) & 7) == 0) p.dive_left = 8;
  key[b[DOWN]] = p.dive_left > 0;
}

// One run recorded as the stage loop records it, kept as "PV last run.replay":
// its frames. The panel stands 40 frames.
long recorded_run(player& p) {
  unsigned seed = game_rand();
  game_srand(seed);
  start_recording(seed);
  reset_play();
  long f = 0;
  for (int dead = 0; dead < 40; f++) {
    play_keys(p, f, f > 3 * 3000);
    update_play();
    end_play_frame();
    loop_num += 1;
    dead += !alive;
  }
  for (int c = 0; c < 5; c++) key[b[c]] = 0;
  end_recording();
  return f;
}

long bytes_of(const char* name) {
  struct stat st;
  return stat(name, &st) == 0 ? (long)st.st_size : -1;
}

// The whole game verifying a file: seconds from spawn to exit, or -1.
double run_verify(const char* file) {
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  const char* argv[] = {PV_GAME, "--verify-replay", file, nullptr};
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  int err = posix_spawn(&pid, PV_GAME, &quiet, nullptr, (char**)argv, environ);
  posix_spawn_file_actions_destroy(&quiet);
  int status = 0;
  if (err != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return seconds_since(t0);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 40;
  unsigned seed = argc > 2 ? (unsigned)atol(argv[2]) : 1;
  if (runs < 1) {
    fprintf(stderr, "usage: replay [runs] [seed]\n");
    return 2;
  }
  // Only the key array is needed: no display, no keyboard driver
  if (install_allegro(SYSTEM_NONE, &allegro_errnum, atexit) != 0) {
    fprintf(stderr, "cannot start Allegro\n");
    return 2;
  }
  char dir[] = "/tmp/pv-replay-bench-XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0) return 2;

  // Size: every run's file, against the minutes it played
  game_srand(seed);
  player p{seed * 2654435761u + 1};
  long frames = 0, bytes = 0, longest = 0, control_runs = 0;
  std::string longest_file;
  for (int i = 0; i < runs; i++) {
    long f = recorded_run(p);
    long size = bytes_of(last_run_file);
    if (size < 0) {
      fprintf(stderr, "run %d was not kept\n", i + 1);
      return 1;
    }
    replay r;
    if (!read_replay(last_run_file, &r)) control_runs += r.run_count;
    frames += f;
    bytes += size;
    std::string kept = "run " + std::to_string(i) + ".replay";
    rename(last_run_file, kept.c_str());
    if (f > longest) longest = f, longest_file = kept;
  }
  double minutes = frames / 3000.0, longest_minutes = longest / 3000.0;

  // Verification: the rules alone over every run, then the whole game
  auto t0 = std::chrono::steady_clock::now();
  int quiet = dup(1);
  if (!freopen("/dev/null", "w", stdout)) return 2;
  int status = 0;
  for (int i = 0; i < runs; i++) status |= verify_replay(("run " + std::to_string(i) + ".replay").c_str());
  double in_process = seconds_since(t0);
  fflush(stdout);
  dup2(quiet, 1);
  double whole = 1e9;
  for (int i = 0; i < 5; i++) {
    double t = run_verify(longest_file.c_str());
    if (t < 0) status = 1;
    else if (t < whole) whole = t;
  }

  // Recording's cost: the same frames of update with and without it, by turns
  const long block = 20000;
  double with = 0, without = 0;
  for (int round = 0; round < 20; round++) {
    for (int recording = 0; recording < 2; recording++) {
      game_srand(seed + round);
      player q{seed + round + 7};
      if (recording) start_recording(seed);
      reset_play();
      auto t = std::chrono::steady_clock::now();
      for (long f = 0; f < block; f++) {
        play_keys(q, f, false);
        update_play();
        if (y > -16) hit -= 1;
        loop_num += 1;
        if (!alive) reset_play();
      }
      (recording ? with : without) += seconds_since(t);
      alive = true;  // an abandoned run: nothing kept
      end_recording();
    }
  }
  double per_frame_ns = (with - without) / (20.0 * block) * 1e9;

  printf("Replays, %d runs of player-like input (seed %u), %.1f minutes of play in all:\n\n", runs, seed, minutes);
  printf("| figure | value | target |\n|---|---|---|\n");
  printf("| replay size per minute of play | %.0f bytes (%ld bytes over %.1f min) | under 2 KB |\n",
         bytes / minutes, bytes, minutes);
  printf("| longest run's replay | %ld bytes for %.2f min | |\n", bytes_of(longest_file.c_str()), longest_minutes);
  printf("| runs of frames held alike, per minute of play | %.0f (the controls change every %.2f s) | |\n",
         control_runs / minutes, minutes * 60 / control_runs);
  printf("| verification per minute of play, the rules in this process | %.4f s (%.4f s for all %.1f min) | under 0.2 s |\n",
         in_process / minutes, in_process, minutes);
  printf("| verification per minute of play, plu-vesk --verify-replay on the longest run (best of 5) | %.4f s (%.4f s "
         "for %.2f min, the process's start included) | under 0.2 s |\n",
         whole / longest_minutes, whole, longest_minutes);
  printf("| recording's cost per frame of update | %+.1f ns (%.1f ns a frame without) | nothing measurable |\n",
         per_frame_ns, without / (20.0 * block) * 1e9);
  std::string cmd = std::string("rm -rf '") + dir + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir);
  return status == 0 ? 0 : 1;
}
