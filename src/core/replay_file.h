// Replay files: what a run needs to be played again (its seed, the state it
// began from and the controls of each frame), in a small binary format of
// the game's own, checked whole by a CRC-32. The manual page gives it byte
// by byte.
#pragma once

#include <cstddef>

extern const char* const last_run_file;  // "PV last run.replay": the last run that ended on its panel
extern const char* const best_run_file;  // "PV best run.replay": the last run that set a best total

const int replay_version = 1;            // the format written and the newest read
const int replay_most_frames = 1 << 26;  // 15 days of play; a longer run is not kept
const size_t replay_most_bytes = 1 << 20;  // the largest file read or written

// One replay, the controls still coded. Plain data: the play layer fills it
// from its state and puts it back.
struct replay {
  unsigned seed;     // what game_srand was given just before the run's reset
  char libc[64];     // the C library whose rand made the run, "glibc 2.36"
  // The play state that the reset leaves as it was
  int jump, jumpforce, hit, add_delay, star_delay, bob;
  int captions[10][4];  // x, y, timer, value of each caption
  int clouds[17][2];    // x, w of each cloud the reset parks
  int best_before;      // the best total as the run began
  const unsigned char* runs;  // the controls: runs of frames held alike
  size_t runs_size;           // their bytes
  int run_count;
  int frames;  // frames the run updated
  int total;   // its total at its end
};

// Codes `length` frames (1 to replay_most_frames) of the controls in mask
// (bit c for control c) at `at`: at most 5 bytes, whose count it returns.
size_t put_run(unsigned char* at, int mask, int length);
// The run at `at` in runs a decode has checked; returns where the next begins.
const unsigned char* take_run(const unsigned char* at, int* mask, int* length);

// The file's bytes, into out; 0 when they need more than room.
size_t encode_replay(const replay& r, unsigned char* out, size_t room);
// Checks every byte, length, count and value: nullptr, or the fault in a
// few words ("is damaged: its CRC-32 does not match"). out->runs then
// points into bytes.
const char* decode_replay(const unsigned char* bytes, size_t size, replay* out);

// Reads and decodes a file into a buffer of its own, which out->runs points
// into until the next read: nullptr, or the fault.
const char* read_replay(const char* name, replay* out);
// Replaces the file whole, through the player's own links as the settings
// are saved; false when it could not, as said on stderr.
bool write_replay(const char* name, const unsigned char* bytes, size_t size);
// A file stands there to be read.
bool replay_kept(const char* name);

// The C library this game runs on, as the files name it.
const char* this_libc();
