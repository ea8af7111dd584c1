#include "draw/damage.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/globals.h"
#include "draw/pixel_runs.h"

namespace {
const int rows = 480, cols = 640;  // the frames' size

const blocks all_blocks = (1ull << cols / block_w) - 1;

struct damage {
  BITMAP* bmp;        // the frame watched
  int colour;         // what it holds outside its blocks
  blocks row[rows];   // where drawing since its last clear may have left anything else
};
damage frames[2];  // buffer's, then buffer2's

GFX_VTABLE* allegro_table;  // Allegro's own for the frames, which draws
GFX_VTABLE watching;        // the same, each drawing entry noting first where it draws

damage* record_of(BITMAP* b) {
  for (damage& d : frames)
    if (d.bmp == b) return &d;
  return nullptr;
}

void set_rows(damage& d, blocks b) {
  for (blocks& r : d.row) r = b;
}

// Entries under way: Allegro's circles, rectangles and the like draw through
// the table's lines and pixels, inside the bounds their caller noted.
int depth;
unsigned long drawings;  // into either frame, through the table or past it

template <auto entry, typename... A>
void draw(A... a) {
  depth++;
  (allegro_table->*entry)(a...);
  depth--;
}

// The blocks of columns x0 to x1 (x0 <= x1), clipped to the frame.
blocks blocks_of(int x0, int x1) {
  if (x1 < 0 || x0 >= cols) return 0;
  x0 = std::max(x0, 0), x1 = std::min(x1, cols - 1);
  return (all_blocks >> (cols / block_w - 1 - x1 / block_w)) & (all_blocks << x0 / block_w);
}

// Where b's drawing is noted; null inside an entry under way, whose bounds
// are noted already.
damage* noting(BITMAP* b) {
  if (depth > 0) return nullptr;
  drawings++;
  damage* d = record_of(b);
  if (!d)  // a sub-bitmap of a frame, which shares its table: of which, unknown
    for (damage& f : frames) set_rows(f, all_blocks);
  return d;
}

// Corners in any order, clipped to the frame.
void mark(BITMAP* b, int x0, int y0, int x1, int y1) {
  damage* d = noting(b);
  if (!d) return;
  if (x0 > x1) std::swap(x0, x1);
  if (y0 > y1) std::swap(y0, y1);
  blocks across = blocks_of(x0, x1);
  for (int y = std::max(y0, 0); y <= std::min(y1, rows - 1); y++) d->row[y] |= across;
}

void mark_whole(BITMAP* b) { mark(b, 0, 0, cols - 1, rows - 1); }

// The entries, each with its bounds. Those that take a picture (sprites,
// glyphs, characters) are bounded by its size at (x, y).
template <auto entry, typename S, typename... A>
void sized(BITMAP* b, S* s, int x, int y, A... a) {
  mark(b, x, y, x + s->w - 1, y + s->h - 1);
  draw<entry>(b, s, x, y, a...);
}

template <auto entry>
void blit_into(BITMAP* s, BITMAP* d, int sx, int sy, int dx, int dy, int w, int h) {
  mark(d, dx, dy, dx + w - 1, dy + h - 1);
  draw<entry>(s, d, sx, sy, dx, dy, w, h);
}

template <auto entry>
void cornered(BITMAP* b, int x1, int y1, int x2, int y2, int c) {
  mark(b, x1, y1, x2, y2);
  draw<entry>(b, x1, y1, x2, y2, c);
}

template <auto entry>
void oval(BITMAP* b, int x, int y, int rx, int ry, int c) {
  mark(b, x - abs(rx), y - abs(ry), x + abs(rx), y + abs(ry));
  draw<entry>(b, x, y, rx, ry, c);
}

template <auto entry>
void circular(BITMAP* b, int x, int y, int r, int c) {
  mark(b, x - abs(r), y - abs(r), x + abs(r), y + abs(r));
  draw<entry>(b, x, y, r, c);
}

// Anything bounded no better: the whole frame.
template <auto entry, typename... A>
void anywhere(BITMAP* b, A... a) {
  mark_whole(b);
  draw<entry>(b, a...);
}

void putpixel_noted(BITMAP* b, int x, int y, int c) {
  mark(b, x, y, x, y);
  draw<&GFX_VTABLE::putpixel>(b, x, y, c);
}

void vline_noted(BITMAP* b, int x, int y1, int y2, int c) {
  mark(b, x, y1, x, y2);
  draw<&GFX_VTABLE::vline>(b, x, y1, y2, c);
}

// Allegro's circles and rectangles draw with these, row after row: inside
// them, straight on.
template <auto entry>
void across(BITMAP* b, int x1, int y, int x2, int c) {
  if (depth == 0) mark(b, x1, y, x2, y);
  if (runs_drawable(b)) fill_row(b, std::min(x1, x2), y, std::max(x1, x2), c);
  else if (depth > 0) (allegro_table->*entry)(b, x1, y, x2, c);
  else draw<entry>(b, x1, y, x2, c);
}

// A glyph with no background touches only its ink: each row from its first
// inked column to its last.
void glyph_noted(BITMAP* b, const FONT_GLYPH* g, int x, int y, int colour, int bg) {
  const glyph_ink& k = ink_of(g);
  if (bg >= 0) {
    mark(b, x, y, x + g->w - 1, y + g->h - 1);
  } else if (damage* d = noting(b)) {
    for (int r = std::max(0, -y); r < g->h && y + r < rows; r++)
      if (k.first[r] <= k.last[r]) d->row[y + r] |= blocks_of(x + k.first[r], x + k.last[r]);
  }
  if (runs_drawable(b) && b->clip) draw_ink(b, k, x, y, colour, bg);
  else draw<&GFX_VTABLE::draw_glyph>(b, g, x, y, colour, bg);
}

void circlefill_noted(BITMAP* b, int x, int y, int r, int c) {
  mark(b, x - abs(r), y - abs(r), x + abs(r), y + abs(r));
  const std::vector<pixel_run>* disc = disc_of(r);
  if (disc && runs_drawable(b)) draw_runs(b, *disc, x, y, c);
  else draw<&GFX_VTABLE::circlefill>(b, x, y, r, c);
}

void triangle_noted(BITMAP* b, int x1, int y1, int x2, int y2, int x3, int y3, int c) {
  mark(b, std::min({x1, x2, x3}), std::min({y1, y2, y3}), std::max({x1, x2, x3}), std::max({y1, y2, y3}));
  draw<&GFX_VTABLE::triangle>(b, x1, y1, x2, y2, x3, y3, c);
}

// Points as x, y pairs; a pixel's margin for the rounding of the curves.
void mark_points(BITMAP* b, int n, const int* p) {
  int x0 = cols, y0 = rows, x1 = -1, y1 = -1;
  for (int i = 0; i < n; i++) {
    x0 = std::min(x0, p[2 * i]), x1 = std::max(x1, p[2 * i]);
    y0 = std::min(y0, p[2 * i + 1]), y1 = std::max(y1, p[2 * i + 1]);
  }
  if (n > 0) mark(b, x0 - 1, y0 - 1, x1 + 1, y1 + 1);
}

void polygon_noted(BITMAP* b, int n, const int* points, int c) {
  mark_points(b, n, points);
  draw<&GFX_VTABLE::polygon>(b, n, points, c);
}

void spline_noted(BITMAP* b, const int points[8], int c) {
  mark_points(b, 4, points);
  draw<&GFX_VTABLE::spline>(b, points, c);
}

void arc_noted(BITMAP* b, int x, int y, fixed a1, fixed a2, int r, int c) {
  mark(b, x - abs(r) - 1, y - abs(r) - 1, x + abs(r) + 1, y + abs(r) + 1);
  draw<&GFX_VTABLE::arc>(b, x, y, a1, a2, r, c);
}

// Allegro's routines that write a frame other than through its table (its
// stretch_blit into a memory bitmap, _putpixel and the like) reach each row
// through the bitmap's bank switcher: the whole row, when no entry of the
// table is under way.
typedef uintptr_t (*row_finder)(BITMAP* b, int y);
row_finder allegro_row;  // Allegro's own, shared by its memory bitmaps

uintptr_t row_written(BITMAP* b, int y) {
  damage* d = noting(b);
  if (d && y >= 0 && y < rows) d->row[y] = all_blocks;
  return allegro_row(b, y);
}

// Outside its blocks a frame already holds its colour: a clear in the same
// colour refills only those, which spares most of a frame.
void clear_noted(BITMAP* b, int c) {
  damage* d = record_of(b);
  drawings++;
  bool whole = b->cl == 0 && b->ct == 0 && b->cr == b->w && b->cb == b->h;
  if (d && whole && c == d->colour) {
    for (int y = 0; y < rows; y++) {
      uint32_t* line = (uint32_t*)b->line[y];
      blocks m = d->row[y];
      for (int x0, x1; take_run(m, &x0, &x1);) std::fill(line + x0, line + x1, (uint32_t)c);
    }
  } else {
    draw<&GFX_VTABLE::clear_to_color>(b, c);
    if (!d || !whole) {
      mark(b, b->cl, b->ct, b->cr - 1, b->cb - 1);
      return;
    }
    d->colour = c;
  }
  set_rows(*d, 0);
}

void make_watching_table() {
  GFX_VTABLE& t = watching;
  t = *allegro_table;
  t.putpixel = putpixel_noted;
  t.vline = vline_noted;
  t.hline = across<&GFX_VTABLE::hline>;
  t.hfill = across<&GFX_VTABLE::hfill>;
  t.line = cornered<&GFX_VTABLE::line>;
  t.fastline = cornered<&GFX_VTABLE::fastline>;
  t.rectfill = cornered<&GFX_VTABLE::rectfill>;
  t.rect = cornered<&GFX_VTABLE::rect>;
  t.triangle = triangle_noted;
  t.draw_sprite = sized<&GFX_VTABLE::draw_sprite>;
  t.draw_256_sprite = sized<&GFX_VTABLE::draw_256_sprite>;
  t.draw_sprite_v_flip = sized<&GFX_VTABLE::draw_sprite_v_flip>;
  t.draw_sprite_h_flip = sized<&GFX_VTABLE::draw_sprite_h_flip>;
  t.draw_sprite_vh_flip = sized<&GFX_VTABLE::draw_sprite_vh_flip>;
  t.draw_trans_sprite = sized<&GFX_VTABLE::draw_trans_sprite>;
  t.draw_trans_rgba_sprite = sized<&GFX_VTABLE::draw_trans_rgba_sprite>;
  t.draw_lit_sprite = sized<&GFX_VTABLE::draw_lit_sprite>;
  t.draw_rle_sprite = sized<&GFX_VTABLE::draw_rle_sprite>;
  t.draw_trans_rle_sprite = sized<&GFX_VTABLE::draw_trans_rle_sprite>;
  t.draw_trans_rgba_rle_sprite = sized<&GFX_VTABLE::draw_trans_rgba_rle_sprite>;
  t.draw_lit_rle_sprite = sized<&GFX_VTABLE::draw_lit_rle_sprite>;
  t.draw_character = sized<&GFX_VTABLE::draw_character>;
  t.draw_glyph = glyph_noted;
  t.draw_gouraud_sprite = sized<&GFX_VTABLE::draw_gouraud_sprite>;
  t.draw_sprite_ex = sized<&GFX_VTABLE::draw_sprite_ex>;
  t.blit_from_memory = blit_into<&GFX_VTABLE::blit_from_memory>;
  t.blit_to_memory = blit_into<&GFX_VTABLE::blit_to_memory>;
  t.blit_from_system = blit_into<&GFX_VTABLE::blit_from_system>;
  t.blit_to_system = blit_into<&GFX_VTABLE::blit_to_system>;
  t.blit_to_self = blit_into<&GFX_VTABLE::blit_to_self>;
  t.blit_to_self_forward = blit_into<&GFX_VTABLE::blit_to_self_forward>;
  t.blit_to_self_backward = blit_into<&GFX_VTABLE::blit_to_self_backward>;
  t.blit_between_formats = blit_into<&GFX_VTABLE::blit_between_formats>;
  t.masked_blit = blit_into<&GFX_VTABLE::masked_blit>;
  t.clear_to_color = clear_noted;
  t.circle = circular<&GFX_VTABLE::circle>;
  t.circlefill = circlefill_noted;
  t.ellipse = oval<&GFX_VTABLE::ellipse>;
  t.ellipsefill = oval<&GFX_VTABLE::ellipsefill>;
  t.arc = arc_noted;
  t.spline = spline_noted;
  t.polygon = polygon_noted;
  t.floodfill = anywhere<&GFX_VTABLE::floodfill>;
  t.pivot_scaled_sprite_flip = anywhere<&GFX_VTABLE::pivot_scaled_sprite_flip>;
  t.polygon3d = anywhere<&GFX_VTABLE::polygon3d>;
  t.polygon3d_f = anywhere<&GFX_VTABLE::polygon3d_f>;
  t.triangle3d = anywhere<&GFX_VTABLE::triangle3d>;
  t.triangle3d_f = anywhere<&GFX_VTABLE::triangle3d_f>;
  t.quad3d = anywhere<&GFX_VTABLE::quad3d>;
  t.quad3d_f = anywhere<&GFX_VTABLE::quad3d_f>;
}

void watch(damage& d, BITMAP* b) {
  if (d.bmp == b && b->vtable == &watching) return;
  if (b->vtable != &watching) {
    allegro_table = b->vtable;
    make_watching_table();
    b->vtable = &watching;
    allegro_row = (row_finder)b->write_bank;
    b->write_bank = (void*)row_written;
  }
  d.bmp = b;
  set_rows(d, all_blocks);
  drawings++;
}
}  // namespace

void watch_frames() {
  watch(frames[0], buffer);
  watch(frames[1], buffer2);
}

blocks may_differ(int y) {
  if (frames[0].colour != frames[1].colour) return all_blocks;
  return frames[0].row[y] | frames[1].row[y];
}

void frames_copied() {
  frames[1].colour = frames[0].colour;
  memcpy(frames[1].row, frames[0].row, sizeof frames[0].row);
}

unsigned long frame_drawings() { return drawings; }
