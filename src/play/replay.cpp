#include "play/replay.h"

#include <cstdio>

#include "play/pools.h"
#include "play/screen.h"
#include "play/update.h"
#include "core/controls.h"
#include "core/game_random.h"
#include "core/globals.h"
#include "core/replay_file.h"
#include "core/settings.h"

bool watching = false;

// The state a run begins from, between the play globals and a replay.
static void note_state(replay& r) {
  r.jump = jump;
  r.jumpforce = jumpforce;
  // Any count at or below zero acts alike until a landing sets it
  r.hit = hit < -(1 << 30) ? -(1 << 30) : hit;
  r.add_delay = add_delay;
  r.star_delay = star_delay;
  r.bob = bob;
  for (int i = 0; i < 10; i++) {
    const caption& c = got_points[i];
    r.captions[i][0] = c.x, r.captions[i][1] = c.y, r.captions[i][2] = c.timer, r.captions[i][3] = c.value;
  }
  for (int i = 0; i < 17; i++) r.clouds[i][0] = land[i].x, r.clouds[i][1] = land[i].w;
  r.best_before = high_score;
}

static void put_state(const replay& r) {
  jump = r.jump;
  jumpforce = r.jumpforce;
  hit = r.hit;
  add_delay = r.add_delay;
  star_delay = r.star_delay;
  bob = r.bob;
  for (int i = 0; i < 10; i++)
    got_points[i] = caption{r.captions[i][0], r.captions[i][1], r.captions[i][2], r.captions[i][3]};
  for (int i = 0; i < 17; i++) land[i].x = r.clouds[i][0], land[i].w = r.clouds[i][1];
  high_score = r.best_before;
}

// ---------------------------------------------------------------- recording

static bool recording = false;
static replay recorded;
// Room for the rest of a file beside the runs
static unsigned char recorded_runs[replay_most_bytes - 4096];
static unsigned char file_out[replay_most_bytes];
static int run_mask, run_length;  // the run of frames not yet coded

// Codes the run of frames so far; false when it finds no room.
static bool close_run() {
  if (run_length == 0) return true;
  if (recorded.runs_size + 5 > sizeof recorded_runs) return false;
  recorded.runs_size += put_run(recorded_runs + recorded.runs_size, run_mask, run_length);
  recorded.run_count += 1;
  run_length = 0;
  return true;
}

static void record(int mask) {
  // A run longer than a file holds is not kept
  bool changed = run_length > 0 && mask != run_mask;
  if (recorded.frames == replay_most_frames || (changed && !close_run())) {
    recording = false;
    return;
  }
  recorded.frames += 1;
  run_mask = mask;
  run_length += 1;
}

void start_recording(unsigned seed) {
  note_state(recorded);
  recorded.seed = seed;
  snprintf(recorded.libc, sizeof recorded.libc, "%s", this_libc());
  recorded.runs = recorded_runs;
  recorded.runs_size = 0;
  recorded.run_count = 0;
  recorded.frames = 0;
  run_length = 0;
  recording = true;
}

void end_recording() {
  // An abandoned run leaves nothing
  bool kept = recording && !alive && close_run();
  recording = false;
  if (!kept) return;
  recorded.total = total_score;
  size_t n = encode_replay(recorded, file_out, sizeof file_out);
  // Never a file the game itself would refuse
  replay check;
  if (n == 0 || decode_replay(file_out, n, &check)) return;
  write_replay(last_run_file, file_out, n);
  if (got_score) write_replay(best_run_file, file_out, n);
}

// ---------------------------------------------------------------- watching

static replay loaded;             // the run watched
static const char* loaded_file;
static replay before;             // the game's own state meanwhile
static unsigned next_seed;        // where the game's random sequence goes on from
static const unsigned char* next_run;
static int watched_mask, watched_left, watched_frames;
static int watched_total;
static bool missed_total;  // the whole run played, and its ball was not lost with the file's total

bool load_replay(const char* file) {
  const char* fault = read_replay(file, &loaded);
  if (fault) fprintf(stderr, "plu-vesk: \"%s\" %s\n", file, fault);
  loaded_file = file;
  return !fault;
}

void start_watching() {
  note_state(before);
  next_seed = game_rand();
  put_state(loaded);
  game_srand(loaded.seed);
  next_run = loaded.runs;
  watched_left = watched_frames = 0;
  watching = true;
}

bool replay_over() { return watched_frames >= loaded.frames; }

void stop_watching() {
  watched_total = run_total();
  missed_total = replay_over() && (alive || watched_total != loaded.total);
  put_state(before);
  game_srand(next_seed);
  watching = false;
}

int watched_status() {
  printf("total %d\n", watched_total);
  fflush(stdout);
  if (!missed_total) return 0;
  fprintf(stderr, "plu-vesk: \"%s\" reaches a total of %d, not the %d it records (recorded with %s; this is %s)\n",
          loaded_file, watched_total, loaded.total, loaded.libc, this_libc());
  return 3;
}

int verify_replay(const char* file) {
  if (!load_replay(file)) return 2;
  start_watching();
  reset_play();
  while (!replay_over()) {
    update_play();
    end_play_frame();
    loop_num += 1;
  }
  stop_watching();
  return watched_status();
}

int frame_controls() {
  if (watching) {
    if (replay_over()) return 0;
    if (watched_left == 0) next_run = take_run(next_run, &watched_mask, &watched_left);
    watched_left -= 1;
    watched_frames += 1;
    return watched_mask;
  }
  int mask = 0;
  for (int c = LEFT; c <= JUMP; c++)
    if (held(c)) mask |= 1 << c;
  if (recording) record(mask);
  return mask;
}
