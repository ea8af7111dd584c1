#include "draw/title_font.h"

#include <cstdlib>

#include "core/asset_file.h"

static int little_endian16(const unsigned char* d) { return d[0] | d[1] << 8; }

const char* pcx_problem(const unsigned char* d, long size) {
  const long header = 128, palette = 769;  // the palette: a 12, then 256 RGB triples
  if (size < header + palette) return "shorter than a header and a palette";
  if (d[0] != 10 || d[2] != 1) return "not a run-length PCX image";
  if (d[3] != 8 || d[65] != 1) return "not an 8-bit image of one plane";
  int width = little_endian16(d + 8) - little_endian16(d + 4) + 1;
  int height = little_endian16(d + 10) - little_endian16(d + 6) + 1;
  int line = little_endian16(d + 66);
  if (width < 1 || height < 1) return "its corners are the wrong way round";
  if (width > pcx_side_max || height > pcx_side_max) return "larger than 4096 pixels a side";
  if (line < width) return "its lines hold fewer bytes than its width";
  // The runs Allegro's loader reads, which it would take from past the end
  // of the pixels as readily as from the palette.
  long p = header, end = size - palette;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < line;) {
      int run = 1;
      if (p < end && (d[p] & 0xC0) == 0xC0) run = d[p++] & 0x3F;
      if (p >= end) return "its pixels run into the palette or past the end";
      if (run == 0) return "a run of no pixels";
      if (x + run > line) return "a run crosses the end of a line";
      p++;
      x += run;
    }
  }
  if (p != end || d[end] != 12) return "no 256-colour palette right after the pixels";
  return nullptr;
}

FONT* load_title_font(const char* name) {
  long size = 0;
  const char* why;
  unsigned char* bytes = read_asset(name, &size, &why);
  if (!bytes) return nullptr;
  FONT* f = nullptr;
  PACKFILE* file = pcx_problem(bytes, size) ? nullptr : open_asset_bytes(bytes, size);
  if (file) {
    // As load_bitmap_font does: the 8-bit image stays 8-bit, which makes a
    // one-colour font of it.
    int conversion = get_color_conversion();
    set_color_conversion(COLORCONV_MOST | COLORCONV_KEEP_TRANS);
    BITMAP* sheet = load_pcx_pf(file, nullptr);
    set_color_conversion(conversion);
    pack_fclose(file);
    if (sheet) f = grab_font_from_bitmap(sheet);
    if (sheet) destroy_bitmap(sheet);
  }
  free(bytes);
  // The game's texts need every character from space to '~', and Allegro
  // reads past the glyphs of a font that has none at all.
  if (f && (get_font_range_begin(f, -1) != ' ' || get_font_range_end(f, -1) < '~')) {
    destroy_font(f);
    f = nullptr;
  }
  return f;
}
