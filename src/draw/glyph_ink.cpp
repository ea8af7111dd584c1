#include "draw/glyph_ink.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
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
}  // namespace

const glyph_ink& ink_of(const FONT_GLYPH* g) {
  int stride = (g->w + 7) / 8;
  auto [at, fresh] = inks.try_emplace(g);
  glyph_ink& k = at->second;
  if (fresh || k.w != g->w || k.h != g->h || (stride * g->h > 0 && memcmp(k.bits.data(), g->dat, stride * g->h) != 0))
    read_ink(k, g, stride);
  return k;
}

bool ink_drawable(BITMAP* b) { return b->clip && is_memory_bitmap(b) && bitmap_color_depth(b) == 32; }

void draw_ink(BITMAP* b, const glyph_ink& k, int x, int y, int colour, int bg) {
  int top = std::max(y, b->ct), bottom = std::min(y + k.h, b->cb);
  int left = std::max(x, b->cl), right = std::min(x + k.w, b->cr);
  if (top >= bottom || left >= right) return;
  if (bg >= 0)
    for (int r = top; r < bottom; r++) std::fill((uint32_t*)b->line[r] + left, (uint32_t*)b->line[r] + right, (uint32_t)bg);
  for (const ink_run& run : k.runs) {
    int r = y + run.row;
    if (r < top) continue;
    if (r >= bottom) break;
    int x0 = std::max(x + run.x0, left), x1 = std::min(x + run.x1, right);
    if (x0 < x1) std::fill((uint32_t*)b->line[r] + x0, (uint32_t*)b->line[r] + x1, (uint32_t)colour);
  }
}
