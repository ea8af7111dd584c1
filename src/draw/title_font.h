// The title font, checked before Allegro's PCX loader and font grabber see
// it: they trust the image's size, runs and glyph grid, so a damaged file
// could crash the game.
#pragma once

#include <allegro.h>

const int pcx_side_max = 4096;  // pixels; far beyond any font sheet

// What is wrong with bytes[0, size) as an 8-bit run-length PCX image with
// its 256-colour palette at the end, as the title font is; null when nothing.
const char* pcx_problem(const unsigned char* bytes, long size);

// The font of the glyph grid in a PCX file, read from the checked bytes as
// load_bitmap_font would read the file. Null when the file is missing or
// damaged, or its grid lacks a glyph for any character from space to '~'.
FONT* load_title_font(const char* name);
