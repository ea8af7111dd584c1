// Allegro draws its monochrome glyphs bit by bit and fills a circle row by
// row through its drawing table, a pixel at a time. Into a 32-bit memory
// bitmap in solid mode, glyphs and filled circles (the clouds are a few
// hundred a frame) are drawn here instead as runs of pixels, found once per
// glyph or radius, to the very same pixels. Main thread only.
#pragma once

#include <allegro.h>

#include <cstdint>
#include <vector>

struct pixel_run {
  short row, x0, x1;  // columns x0 up to, not including, x1 of a row, from the shape's origin
};

struct glyph_ink {
  int w, h;                          // the glyph's size
  std::vector<unsigned char> bits;   // its rows as they were read
  std::vector<short> first, last;    // a row's first and last inked column (first > last: none)
  std::vector<pixel_run> runs;       // in row order
};

// True when b is drawn into here rather than by Allegro.
bool runs_drawable(BITMAP* b);

// Fills columns x0 to x1 (x0 <= x1) of row y of b, clipped as Allegro clips
// (to b's edges while a routine has turned its clipping off).
void fill_row(BITMAP* b, int x0, int y, int x1, uint32_t colour);

// The ink of g, read again whenever g no longer holds what was read.
const glyph_ink& ink_of(const FONT_GLYPH* g);

// Draws k at (x, y) exactly as Allegro's draw_glyph draws its glyph: within
// b's clipping rectangle, bg (unless negative) wherever the glyph has no ink.
void draw_ink(BITMAP* b, const glyph_ink& k, int x, int y, int colour, int bg);

// The runs of Allegro's filled circle of radius r about (0, 0), or null for
// a radius it is not kept for.
const std::vector<pixel_run>* disc_of(int r);

// Draws runs about (x, y), clipped to b's clipping rectangle.
void draw_runs(BITMAP* b, const std::vector<pixel_run>& runs, int x, int y, uint32_t colour);
