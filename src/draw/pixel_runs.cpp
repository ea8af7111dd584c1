#include "draw/pixel_runs.h"

#include <allegro/internal/aintern.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <unordered_map>

namespace {
std::unordered_map<const FONT_GLYPH*, glyph_ink> inks;  // by glyph

// A glyph's rows are whole bytes, its leftmost pixel bit 7 of the first.
void read_ink(glyph_ink& k, const FONT_GLYPH* g, int stride) {
  k.w = g->w, k.h = g->h;
  k.bits.assign(g->dat, g->dat + stride * g->h);
  k.first.assign(g->h, 1), k.last.assign(g->h, 0);
  k.runs.clear();
  for (int r = 0; r < g->h; r++) {
    const unsigned char* row = g->dat + r * stride;
    for (int c = 0; c < g->w;) {
      if (!(row[c / 8] & 0x80 >> c % 8)) {
        c++;
        continue;
      }
      int end = c;
      while (end < g->w && row[end / 8] & 0x80 >> end % 8) end++;
      if (k.first[r] > k.last[r]) k.first[r] = c;
      k.last[r] = end - 1;
      k.runs.push_back({(short)r, (short)c, (short)end});
      c = end;
    }
  }
}

// Circles up to this radius, as Allegro itself fills them into a scratch bitmap.
const int largest_disc = 64;
std::unique_ptr<std::vector<pixel_run>> discs[largest_disc + 1];

void read_disc(std::vector<pixel_run>& runs, int r) {
  BITMAP* scratch = create_bitmap_ex(8, 2 * r + 1, 2 * r + 1);
  clear_to_color(scratch, 0);
  circlefill(scratch, r, r, r, 1);
  for (int y = 0; y < scratch->h; y++)
    for (int x = 0; x < scratch->w;) {
      if (!scratch->line[y][x]) {
        x++;
        continue;
      }
      int end = x;
      while (end < scratch->w && scratch->line[y][end]) end++;
      runs.push_back({(short)(y - r), (short)(x - r), (short)(end - r)});
      x = end;
    }
  destroy_bitmap(scratch);
}
}  // namespace

bool runs_drawable(BITMAP* b) {
  return _drawing_mode == DRAW_MODE_SOLID && is_memory_bitmap(b) && bitmap_color_depth(b) == 32;
}

namespace {
struct bounds {
  int left, top, right, bottom;  // what may be written: columns left to right - 1, rows top to bottom - 1
};

bounds bounds_of(BITMAP* b) {
  if (b->clip) return {b->cl, b->ct, b->cr, b->cb};
  return {0, 0, b->w, b->h};
}

void fill_clipped(BITMAP* b, const bounds& c, int x0, int y, int x1, uint32_t colour) {
  x0 = std::max(x0, c.left), x1 = std::min(x1, c.right - 1);
  if (x0 <= x1 && y >= c.top && y < c.bottom)
    wmemset((wchar_t*)b->line[y] + x0, (wchar_t)colour, x1 - x0 + 1);  // 32 bits wide here
}
}  // namespace

void fill_row(BITMAP* b, int x0, int y, int x1, uint32_t colour) { fill_clipped(b, bounds_of(b), x0, y, x1, colour); }

const glyph_ink& ink_of(const FONT_GLYPH* g) {
  int stride = (g->w + 7) / 8;
  auto [at, fresh] = inks.try_emplace(g);
  glyph_ink& k = at->second;
  if (fresh || k.w != g->w || k.h != g->h || (stride * g->h > 0 && memcmp(k.bits.data(), g->dat, stride * g->h) != 0))
    read_ink(k, g, stride);
  return k;
}

void draw_ink(BITMAP* b, const glyph_ink& k, int x, int y, int colour, int bg) {
  int top = std::max(y, b->ct), bottom = std::min(y + k.h, b->cb);
  int left = std::max(x, b->cl), right = std::min(x + k.w, b->cr);
  if (top >= bottom || left >= right) return;
  if (bg >= 0)
    for (int r = top; r < bottom; r++) fill_row(b, left, r, right - 1, bg);
  for (const pixel_run& run : k.runs) {
    int r = y + run.row;
    if (r < top) continue;
    if (r >= bottom) break;
    int x0 = std::max(x + run.x0, left), x1 = std::min(x + run.x1, right);
    if (x0 < x1) fill_row(b, x0, r, x1 - 1, colour);
  }
}

const std::vector<pixel_run>* disc_of(int r) {
  if (r < 0 || r > largest_disc) return nullptr;
  if (!discs[r]) {
    discs[r] = std::make_unique<std::vector<pixel_run>>();
    read_disc(*discs[r], r);
  }
  return discs[r].get();
}

void draw_runs(BITMAP* b, const std::vector<pixel_run>& runs, int x, int y, uint32_t colour) {
  bounds c = bounds_of(b);
  for (const pixel_run& run : runs) fill_clipped(b, c, x + run.x0, y + run.row, x + run.x1 - 1, colour);
}
