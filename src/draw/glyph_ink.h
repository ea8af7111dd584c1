// Allegro draws its monochrome glyphs (both fonts' here) bit by bit; into a
// 32-bit memory bitmap they are drawn here instead as the runs of set pixels
// of each row, found once per glyph. Main thread only.
#pragma once

#include <allegro.h>

#include <vector>

struct ink_run {
  short row, x0, x1;  // columns x0 up to, not including, x1 of a glyph's row
};

struct glyph_ink {
  int w, h;                          // the glyph's size
  std::vector<unsigned char> bits;   // its rows as they were read
  std::vector<short> first, last;    // a row's first and last inked column (first > last: none)
  std::vector<ink_run> runs;         // in row order
};

// The ink of g, read again whenever g no longer holds what was read.
const glyph_ink& ink_of(const FONT_GLYPH* g);

// True when b is drawn into here rather than by Allegro.
bool ink_drawable(BITMAP* b);

// Draws k at (x, y) exactly as Allegro's draw_glyph draws its glyph: within
// b's clipping rectangle, bg (unless negative) wherever the glyph has no ink.
void draw_ink(BITMAP* b, const glyph_ink& k, int x, int y, int colour, int bg);
