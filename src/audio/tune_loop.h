// The tune rendered once into memory and played from it in a loop. It is
// kept without loss in about half the room of plain samples: each block of
// frames, per channel, as its first two samples and then each sample's
// difference from the straight line through the two before it, in Rice
// codes. On every pass after the first, the tails of the last notes sound
// over the start, as they would from a synthesizer that played on. The
// render thread adds block after block and publishes how far it has come;
// the music thread reads behind that.
#pragma once

#include <atomic>
#include <cstdint>

const int loop_rate = 44100;                // frames a second, each two 16-bit samples
const int loop_block = 4096;                // frames coded together
const int loop_tail_limit = 4 * loop_rate;  // the longest tail kept

// Where one coded block begins, and what its codes need to start from.
struct loop_block_start {
  uint64_t bit;              // of the coded stream, on a word boundary
  short first[2][2];         // each channel's first two samples
  unsigned char rice[2];     // each channel's Rice parameter
};

struct tune_loop {
  uint64_t* codes = nullptr;           // the coded blocks, one after the other
  loop_block_start* blocks = nullptr;  // one for each block of the tune
  int64_t frames = 0;                  // the tune's length
  short* tail = nullptr;               // what sounds on after the end, plain interleaved stereo
  int tail_frames = 0;                 // its length, set once the render is complete
  std::atomic<int64_t> rendered{0};    // frames ready: the tune's, then the tail's after them
  std::atomic<bool> complete{false};   // the render has ended, tail_frames is final
};

extern tune_loop music_loop;         // the loop; codes null when there is none
extern int64_t loop_position;        // where the next frame is taken from: passes * frames + frame
extern std::atomic<bool> loop_held;  // set, nothing is taken: the tune holds still

// Makes room for a loop of the tune's length, nothing in it yet; false when
// there is no memory for it.
bool make_loop(int64_t frames);
void free_loop();
// On the render thread: the tune's next block, loop_block interleaved stereo
// frames (fewer only at its end).
void add_to_loop(const short* frames, int count);
// Frames from the loop at position `at` into out, up to count; fewer where
// the render has not come that far. The number copied.
int read_loop(int64_t at, short* out, int count);
// Takes frames at loop_position and moves it on; none while loop_held is set.
int take_from_loop(short* out, int count);
