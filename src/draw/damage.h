// Where the frame bitmaps may hold anything but their background. Drawing
// into buffer or buffer2 goes through a copy of Allegro's drawing table whose
// entries first note, row by row, the columns they may touch: a clear then
// refills only those, and a presentation compares and copies only those.
#pragma once

#include <allegro.h>
#include <cstdint>

// Columns are noted in blocks: a bit of a row's mask for each 16.
const int block_w = 16;
typedef uint64_t blocks;

// Takes the leftmost run of blocks out of m: columns from *x0 up to, not
// including, *x1. False when m has none.
inline bool take_run(blocks& m, int* x0, int* x1) {
  if (!m) return false;
  int first = __builtin_ctzll(m), end = first + __builtin_ctzll(~(m >> first));
  *x0 = first * block_w, *x1 = end * block_w;
  m &= ~0ull << end;
  return true;
}

// From here on, drawing into buffer and buffer2 is noted; a bitmap not
// watched before (just made) counts as drawn all over.
void watch_frames();

// The blocks of row y in which buffer and buffer2 may differ.
blocks may_differ(int y);

// After buffer2 was made equal to buffer.
void frames_copied();

// Counts the drawings into buffer or buffer2: while it stands, they hold
// what they held.
unsigned long frame_drawings();
