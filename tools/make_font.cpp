// make_font: draws the game's big bubbly font and writes it as "bubble.pcx",
// the 8-bit grid image that Allegro's load_bitmap_font reads (glyph boxes for
// space to tilde, separated by colour 255, background 0, ink 1, so it loads as
// a mono font that textout_ex paints in any colour). It then loads the file
// back through Allegro, checks every box came through, and renders the game's
// texts, at their places on the 640x480 screen, into a PNG preview.
//
// Every letter is a few strokes (lines, arcs, dots) in a small design grid
// (baseline 0, x-height 7.1, cap height 10) swept by a round pen, so ends and
// joins come out round like the rest of the game's circle-painted look.
//
// Rerun after changing a letter (output is byte-for-byte deterministic):
//   cmake --build build --target make_font
//   build/tools/make_font assets/bubble.pcx docs/title-font.png

#include <allegro.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "png.h"

namespace {

// ---------------------------------------------------------------------------
// Size of the letters in pixels.

const double pen = 5.0;      // pen radius: strokes are 10 px thick
const double unit = 3.2;     // pixels per design unit: caps 10 units, 42 px of ink
const double contrast = 0.2; // how much thinner an E arc runs where it is level
const double bearing = 4.0;  // default blank on each side of a letter
const int space_width = 14;  // the word gap
const int ss = 4;            // samples per pixel along each axis

// ---------------------------------------------------------------------------
// The letters. A path is a list of strokes in design units, y up, baseline 0:
//   L x0 y0 x1 y1           line
//   P x y                   line on from where the last stroke ended
//   A cx cy rx ry a0 a1     elliptic arc from angle a0 to a1 (degrees, ccw)
//   E cx cy rx ry a0 a1     the same, its pen a little thinner where it runs level
//   T x0 y0 x1 y1 w0 w1     line whose pen widens or narrows from w0 to w1
//   D x y w                 a dot, w times the pen
//   W w                     pen width for the strokes that follow (1 normal)
//   V w0 w1                 the next stroke's pen goes from w0 to w1 along it
//   I c                     the strokes of letter c
//   M c                     the strokes of letter c, mirrored left to right
//   R c cy                  the strokes of letter c, turned half round about y cy
// lsb and rsb are added to the default side bearings, in pixels.

struct letter {
  char ch;
  double lsb, rsb;
  const char* path;
};

const letter letters[] = {
    {' ', 0, 0, ""},
    {'!', 0, 0, "T 0 10 0 3.5 1.1 0.8 D 0 0 1.05"},
    {'"', 0, 0, "T 0 10 0 7.2 1 0.8 T 3.6 10 3.6 7.2 1 0.8"},
    {'#', 0, 0, "W 0.7 L 2.5 9.5 1.5 0.5 L 6 9.5 5 0.5 L -0.1 6.5 7.1 6.5 L -0.3 3.5 6.9 3.5"},
    {'$', 0, 0, "W 0.8 E 3 7.15 2.7 2.05 20 270 E 3 3.05 2.9 2.05 90 -160 L 3 9.2 3 10.3 L 3 1 3 -0.3"},
    {'%', 0, 0, "W 0.62 A 2 7.8 2 2.2 0 360 A 6.8 2.2 2 2.2 0 360 L 7.6 10 1.2 0"},
    {'&', 0, -0.5, "W 0.7 A 3.2 7.8 2.2 2.2 -40 220 P 8 0 L 4.89 6.39 0.62 3.7 A 3.3 2.45 3.1 2.5 150 390"},
    {'\'', 0, 0, "T 0 10 0 7.2 1 0.8"},
    {'(', 0, 0, "A 4.3 4.3 4.3 6.6 118 242"},
    {')', 0, 0, "M ("},
    {'*', 0, 0, "W 0.7 L 2.6 10.2 2.6 5.2 L 0.43 8.95 4.77 6.45 L 0.43 6.45 4.77 8.95"},
    {'+', 0, 0, "L 0 4 6.4 4 L 3.2 0.8 3.2 7.2"},
    {',', 0, 0, "D 0.8 0.1 1.05 T 0.9 0 0 -2.6 1 0.6"},
    {'-', 0, 0, "L 0 3.8 3.6 3.8"},
    {'.', 0, 0, "D 0 0 1.05"},
    {'/', 0, 0, "L 0 -1.3 4.8 10.3"},
    {'0', 0, 0, "A 3.7 5 3.7 5.15 0 360"},
    {'1', 0, 0, "L 0 7.8 2.8 10 P 2.8 0"},
    {'2', 0, 0, "A 3.3 7 3.3 3 165 -38 P 0 0 P 6.6 0"},
    {'3', 0, 0, "A 3.2 7.55 2.9 2.45 155 -90 A 3.2 2.55 3.4 2.6 90 -155 L 1.9 5.1 3.2 5.1"},
    {'4', 0, 0, "L 4 10 0 3.2 P 7 3.2 L 5.2 7.4 5.2 0"},
    {'5', 0, 0, "L 5.9 10 1.2 10 P 1.15 5.49 A 3.3 3.05 3.5 3.1 128 -150"},
    {'6', 0, 0, "A 3.5 3.25 3.5 3.3 0 360 A 7 3.25 7 6.8 180 108"},
    {'7', 0, 0, "L 0 10 6.4 10 P 2.4 0"},
    {'8', 0, 0, "A 3.4 7.55 2.8 2.45 0 360 A 3.4 2.55 3.3 2.6 0 360"},
    {'9', 0, 0, "R 6 5"},
    {':', 0, 0, "D 0 0 1.05 D 0 6 1.05"},
    {';', 0, 0, "D 0.8 6 1.05 I ,"},
    {'<', 0, 0, "L 5.6 7.6 0 4 P 5.6 0.4"},
    {'=', 0, 0, "L 0 6 5.8 6 L 0 2 5.8 2"},
    {'>', 0, 0, "M <"},
    {'?', 0, 0, "A 3.1 7.4 3.1 2.6 160 -90 V 1 0.9 P 3.1 3.9 D 3.1 0 1.05"},
    {'@', 0, 0, "W 0.6 A 5 4.4 1.95 2.15 0 360 L 6.95 6.55 6.95 3.4 A 8.45 3.4 1.5 1.4 180 360 A 5.2 4.4 4.8 5.2 -10 300"},
    {'A', -1.5, -1.5, "L 0 0 3.9 10 P 7.8 0 W 0.85 L 1.17 3 6.63 3"},
    {'B', 0, 0, "L 0 0 0 10 P 3.2 10 A 3.2 7.55 2.7 2.45 90 -90 L 0 5.1 3.5 5.1 A 3.5 2.55 3 2.55 90 -90 P 0 0"},
    {'C', -0.7, 0, "A 4.8 5 4.8 5.15 46 314"},
    {'D', 0, -0.7, "L 0 0 0 10 P 2.1 10 A 2.1 5 4.7 5 90 -90 P 0 0"},
    {'E', 0, 0, "L 5.5 10 0 10 P 0 0 P 5.5 0 L 0 5.05 4.8 5.05"},
    {'F', 0, -1, "L 5.5 10 0 10 P 0 0 L 0 5.05 4.8 5.05"},
    {'G', -0.7, 0, "A 4.9 5 4.9 5.15 46 358 L 5.8 4.6 9.8 4.6"},
    {'H', 0, 0, "L 0 0 0 10 L 6.8 0 6.8 10 L 0 5.05 6.8 5.05"},
    {'I', 0, 0, "L 0 0 0 10"},
    {'J', -1, 0, "L 4.5 10 4.5 3.5 A 2.25 3.5 2.25 3.55 0 -165"},
    {'K', 0, -1.5, "L 0 0 0 10 L 6 10 0.5 4.2 L 2.5 6.3 6.3 0"},
    {'L', 0, -1.5, "L 0 10 0 0 P 5.3 0"},
    {'M', 0, 0, "L 0 0 0 10 P 4.2 3.4 P 8.4 10 P 8.4 0"},
    {'N', 0, 0, "L 0 0 0 10 P 6.8 0 P 6.8 10"},
    {'O', -0.7, -0.7, "A 5.2 5 5.2 5.15 0 360"},
    {'P', 0, -0.5, "L 0 0 0 10 P 3.3 10 A 3.3 7.25 3.2 2.75 90 -90 P 0 4.5"},
    {'Q', -0.7, -0.5, "I O L 6.9 2.5 10.2 -0.6"},
    {'R', 0, 0, "I P L 3.5 4.5 6.7 0"},
    {'S', -0.3, -0.3, "E 3.3 7.55 3.1 2.45 22 270 E 3.3 2.55 3.4 2.6 90 -158"},
    {'T', -1.5, -1.5, "L 0 10 6.8 10 L 3.4 10 3.4 0"},
    {'U', 0, 0, "L 0 10 0 3.5 A 3.4 3.5 3.4 3.6 180 360 P 6.8 10"},
    {'V', -1.5, -1.5, "L 0 10 3.5 0 P 7 10"},
    {'W', -1, -1, "L 0 10 2.6 0 P 5.2 8.4 P 7.8 0 P 10.4 10"},
    {'X', -1, -1, "L 0 10 6.8 0 L 0 0 6.8 10"},
    {'Y', -1.5, -1.5, "L 0 10 3.5 5 P 7 10 L 3.5 5 3.5 0"},
    {'Z', -0.5, -0.5, "L 0 10 6.4 10 P 0 0 P 6.4 0"},
    {'[', 0, 0, "L 2.7 10.3 0 10.3 P 0 -1.6 P 2.7 -1.6"},
    {'\\', 0, 0, "L 0 10.3 4.8 -1.3"},
    {']', 0, 0, "M ["},
    {'^', 0, 0, "L 0 6.6 2.8 10 P 5.6 6.6"},
    {'_', 0, 0, "L 0 -2.2 6.4 -2.2"},
    {'`', 0, 0, "L 0 10.2 1.8 8.6"},
    {'a', -0.7, 0, "A 3.55 3.55 3.55 3.65 0 360 L 7.1 7.1 7.1 0"},
    {'b', 0, -0.7, "L 0 10.3 0 0 A 3.55 3.55 3.55 3.65 0 360"},
    {'c', -0.7, 0, "A 3.7 3.55 3.7 3.65 46 314"},
    {'d', -0.7, 0, "M b"},
    {'e', -0.7, -0.7, "W 0.55 L 0.3 3.7 7.4 3.7 W 1 E 3.8 3.55 3.8 3.65 0 322"},
    {'f', -1, -1.5, "L 1.6 0 1.6 7.9 V 1 0.85 A 4 7.9 2.4 2.4 180 50 W 0.75 L 0 6.8 4 6.8"},
    {'g', -0.7, 0, "A 3.55 3.6 3.55 3.55 0 360 L 7.1 7.1 7.1 -1.1 E 3.8 -1.1 3.3 3.1 0 -130"},
    {'h', 0, 0, "L 0 10.3 0 0 A 3.4 3.75 3.4 3.35 180 0 P 6.8 0"},
    {'i', 0, 0, "L 0 0 0 6.5 D 0 10.38 0.95"},
    {'j', -1, 0, "L 2.1 6.5 2.1 -1.1 E 0 -1.1 2.1 3.1 0 -150 D 2.1 10.38 0.95"},
    {'k', 0, -1, "L 0 10.3 0 0 L 5.3 7.1 0.5 3.1 L 2.3 4.6 5.6 0"},
    {'l', 0, 0, "L 0 10.3 0 2.2 A 2.2 2.2 2.2 2.25 180 285"},
    {'m', 0, 0, "L 0 7.1 0 0 A 2.75 3.85 2.75 3.25 180 0 P 5.5 0 A 8.25 3.85 2.75 3.25 180 0 P 11 0"},
    {'n', 0, 0, "L 0 7.1 0 0 A 3.4 3.85 3.4 3.25 180 0 P 6.8 0"},
    {'o', -0.7, -0.7, "A 3.7 3.55 3.7 3.65 0 360"},
    {'p', 0, -0.7, "L 0 7.1 0 -3.9 A 3.55 3.55 3.55 3.65 0 360"},
    {'q', -0.7, 0, "M p"},
    {'r', 0, -1.5, "L 0 7.1 0 0 A 3.4 3.75 3.4 3.35 180 62"},
    {'s', -0.3, -0.3, "W 0.92 E 3 5.35 2.7 1.75 16 270 E 3 1.8 2.95 1.85 90 -162"},
    {'t', -0.5, -1, "L 1.6 9.5 1.6 2.3 A 3.8 2.3 2.2 2.35 180 285 W 0.75 L 0 6.8 4.3 6.8"},
    {'u', 0, 0, "L 0 7.1 0 3.4 A 3.4 3.4 3.4 3.45 180 360 L 6.8 7.1 6.8 0"},
    {'v', -1.5, -1.5, "L 0 7.1 3.3 0 P 6.6 7.1"},
    {'w', -1, -1, "L 0 7.1 2.4 0 P 4.8 5.8 P 7.2 0 P 9.6 7.1"},
    {'x', -1, -1, "L 0 7.1 6 0 L 0 0 6 7.1"},
    {'y', -1.5, -1.5, "L 0 7.1 3.3 0 L 6.6 7.1 1.63 -3.6"},
    {'z', -0.5, -0.5, "L 0 7.1 5.6 7.1 P 0 0 P 5.6 0"},
    {'{', 0, 0, "W 0.8 A 3.2 8.8 1.4 1.5 90 180 L 1.8 8.8 1.8 6.3 A 0 6.3 1.8 1.3 0 -90 A 0 3.7 1.8 1.3 90 0 L 1.8 3.7 1.8 -0.1 A 3.2 -0.1 1.4 1.5 180 270"},
    {'|', 0, 0, "L 0 10.3 0 -2.6"},
    {'}', 0, 0, "M {"},
    {'~', 0, 0, "W 0.85 A 1.7 3.9 1.7 1.3 180 0 A 5.1 3.9 1.7 1.3 180 360"},
};
const int letter_count = sizeof letters / sizeof letters[0];

// ---------------------------------------------------------------------------
// Strokes flattened to polylines: each point carries the pen radius there.

struct pt {
  double x, y, r;  // design units; r in pixels
};
typedef std::vector<pt> polyline;

const letter* find_letter(char c) {
  for (int i = 0; i < letter_count; i++)
    if (letters[i].ch == c) return &letters[i];
  fprintf(stderr, "make_font: no letter '%c'\n", c);
  exit(1);
}

// Steps fine enough that the polyline stays well within a tenth of a pixel.
int steps_for(double length_units) {
  return std::max(1, (int)std::ceil(length_units * unit / 0.25));
}

// Reads the path of one letter into polylines.
void parse_path(const char* path, std::vector<polyline>& out) {
  std::vector<std::string> tok;
  {
    const char* p = path;
    while (*p) {
      while (*p == ' ') p++;
      if (!*p) break;
      const char* q = p;
      while (*q && *q != ' ') q++;
      tok.push_back(std::string(p, q));
      p = q;
    }
  }
  size_t i = 0;
  auto num = [&]() {
    if (i >= tok.size()) {
      fprintf(stderr, "make_font: path too short: %s\n", path);
      exit(1);
    }
    return atof(tok[i++].c_str());
  };
  double w = 1;             // pen scale
  double v0 = -1, v1 = -1;  // taper of the next stroke, if any
  double lx = 0, ly = 0;    // where the last stroke ended
  while (i < tok.size()) {
    std::string op = tok[i++];
    polyline pl;
    double r = pen * w;
    if (op == "L" || op == "P") {
      double x0 = lx, y0 = ly;
      if (op == "L") { x0 = num(); y0 = num(); }
      double x1 = num(), y1 = num();
      pl.push_back({x0, y0, r});
      pl.push_back({x1, y1, r});
    } else if (op == "T") {
      double x0 = num(), y0 = num(), x1 = num(), y1 = num();
      double w0 = num(), w1 = num();
      pl.push_back({x0, y0, pen * w0});
      pl.push_back({x1, y1, pen * w1});
    } else if (op == "A" || op == "E") {
      double cx = num(), cy = num(), rx = num(), ry = num();
      double a0 = num() * M_PI / 180, a1 = num() * M_PI / 180;
      int n = steps_for(std::fabs(a1 - a0) * std::max(rx, ry));
      for (int k = 0; k <= n; k++) {
        double a = a0 + (a1 - a0) * k / n;
        double level = 0;  // 1 where the arc runs level
        if (op == "E") {
          double hx = rx * std::sin(a), vy = ry * std::cos(a);
          level = hx * hx / (hx * hx + vy * vy);
        }
        pl.push_back({cx + rx * std::cos(a), cy + ry * std::sin(a), r * (1 - contrast * level)});
      }
    } else if (op == "D") {
      double x = num(), y = num();
      pl.push_back({x, y, pen * num()});
    } else if (op == "W") {
      w = num();
      continue;
    } else if (op == "V") {
      v0 = num();
      v1 = num();
      continue;
    } else if (op == "I" || op == "M" || op == "R") {
      if (i >= tok.size()) break;
      const letter* src = find_letter(tok[i++][0]);
      std::vector<polyline> sub;
      parse_path(src->path, sub);
      double lo = 1e9, hi = -1e9;
      for (const polyline& s : sub)
        for (const pt& p : s) { lo = std::min(lo, p.x); hi = std::max(hi, p.x); }
      double cy = op == "R" ? num() : 0;
      for (polyline& s : sub) {
        for (pt& p : s) {
          if (op != "I") p.x = lo + hi - p.x;
          if (op == "R") p.y = 2 * cy - p.y;
        }
        out.push_back(s);
      }
      continue;
    } else {
      fprintf(stderr, "make_font: unknown stroke '%s' in %s\n", op.c_str(), path);
      exit(1);
    }
    if (v0 >= 0) {
      for (size_t k = 0; k < pl.size(); k++)
        pl[k].r = pen * (v0 + (v1 - v0) * k / std::max<size_t>(1, pl.size() - 1));
      v0 = v1 = -1;
    }
    lx = pl.back().x;
    ly = pl.back().y;
    out.push_back(pl);
  }
}

// ---------------------------------------------------------------------------
// Glyph boxes.

struct glyph {
  int w;                     // box width in pixels
  std::vector<uint8_t> ink;  // w * box_h, 1 where inked
};

int box_h;         // height of every box
double base_row;   // pixel row of the baseline (centre of the pen on it)

struct extent {
  double left, right, top, bottom;  // pixels from the stroke origin, y down
};

extent measure(const std::vector<polyline>& strokes) {
  extent e = {1e9, -1e9, 1e9, -1e9};
  for (const polyline& s : strokes)
    for (const pt& p : s) {
      e.left = std::min(e.left, p.x * unit - p.r);
      e.right = std::max(e.right, p.x * unit + p.r);
      e.top = std::min(e.top, -p.y * unit - p.r);
      e.bottom = std::max(e.bottom, -p.y * unit + p.r);
    }
  return e;
}

// Sweeps the pen along every stroke; a pixel is ink when at least half of
// its samples lie under the pen.
glyph render(const letter& l, const std::vector<polyline>& strokes) {
  glyph g;
  if (strokes.empty()) {
    g.w = space_width;
    g.ink.assign(g.w * box_h, 0);
    return g;
  }
  extent e = measure(strokes);
  double lsb = std::round(bearing + l.lsb);
  g.w = (int)std::round(lsb + (e.right - e.left) + bearing + l.rsb);
  double ox = lsb - e.left;  // pixel column of design x 0
  int sw = g.w * ss, sh = box_h * ss;
  std::vector<uint8_t> cover(sw * sh, 0);
  for (const polyline& s : strokes) {
    for (size_t k = 0; k < s.size(); k++) {
      const pt& a = s[k];
      const pt& b = s[k + 1 < s.size() ? k + 1 : k];
      double ax = ox + a.x * unit, ay = base_row - a.y * unit;
      double bx = ox + b.x * unit, by = base_row - b.y * unit;
      double rmax = std::max(a.r, b.r);
      int x0 = std::max(0, (int)std::floor((std::min(ax, bx) - rmax) * ss));
      int x1 = std::min(sw - 1, (int)std::ceil((std::max(ax, bx) + rmax) * ss));
      int y0 = std::max(0, (int)std::floor((std::min(ay, by) - rmax) * ss));
      int y1 = std::min(sh - 1, (int)std::ceil((std::max(ay, by) + rmax) * ss));
      double dx = bx - ax, dy = by - ay, len2 = dx * dx + dy * dy;
      for (int sy = y0; sy <= y1; sy++) {
        double py = (sy + 0.5) / ss;
        for (int sx = x0; sx <= x1; sx++) {
          double px = (sx + 0.5) / ss;
          double t = len2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / len2 : 0;
          t = std::min(1.0, std::max(0.0, t));
          double cx = ax + t * dx - px, cy = ay + t * dy - py;
          double r = a.r + (b.r - a.r) * t;
          if (cx * cx + cy * cy <= r * r) cover[sy * sw + sx] = 1;
        }
      }
    }
  }
  g.ink.assign(g.w * box_h, 0);
  for (int y = 0; y < box_h; y++)
    for (int x = 0; x < g.w; x++) {
      int n = 0;
      for (int j = 0; j < ss; j++)
        for (int i = 0; i < ss; i++) n += cover[(y * ss + j) * sw + x * ss + i];
      g.ink[y * g.w + x] = n * 2 >= ss * ss;
    }
  return g;
}

// ---------------------------------------------------------------------------
// The grid image and its PCX file.

const int sheet_w = 640;  // widest row of boxes, borders included

struct sheet {
  int w, h;
  std::vector<uint8_t> px;
};

sheet lay_out(const std::vector<glyph>& gl) {
  // Rows of boxes, each box framed by colour 255 shared with its neighbours.
  std::vector<int> row_of(gl.size());
  int rows = 1, x = 1;
  for (size_t i = 0; i < gl.size(); i++) {
    if (x + gl[i].w + 1 > sheet_w) { rows++; x = 1; }
    row_of[i] = rows - 1;
    x += gl[i].w + 1;
  }
  sheet s;
  s.w = sheet_w;
  s.h = rows * (box_h + 1) + 1;
  s.px.assign(s.w * s.h, 255);
  int row = -1;
  for (size_t i = 0; i < gl.size(); i++) {
    if (row_of[i] != row) { row = row_of[i]; x = 1; }
    int top = row * (box_h + 1) + 1;
    for (int yy = 0; yy < box_h; yy++)
      for (int xx = 0; xx < gl[i].w; xx++) s.px[(top + yy) * s.w + x + xx] = gl[i].ink[yy * gl[i].w + xx];
    x += gl[i].w + 1;
  }
  return s;
}

void put16(std::vector<uint8_t>& v, int n) {
  v.push_back(n & 255);
  v.push_back((n >> 8) & 255);
}

// 8-bit run-length PCX with its 256-colour palette at the end.
std::vector<uint8_t> pcx_bytes(const sheet& s) {
  std::vector<uint8_t> v;
  v.push_back(10);  // maker
  v.push_back(5);   // version with 256-colour palette
  v.push_back(1);   // run-length coding
  v.push_back(8);   // bits per pixel per plane
  put16(v, 0);
  put16(v, 0);
  put16(v, s.w - 1);
  put16(v, s.h - 1);
  put16(v, 72);
  put16(v, 72);
  v.resize(v.size() + 48, 0);  // 16-colour palette, unused
  v.push_back(0);
  v.push_back(1);  // planes
  put16(v, s.w);   // bytes per line (even: sheet_w is)
  put16(v, 1);     // colour palette
  put16(v, 0);
  put16(v, 0);
  v.resize(128, 0);
  for (int y = 0; y < s.h; y++) {
    const uint8_t* row = &s.px[y * s.w];
    for (int x = 0; x < s.w;) {
      int n = 1;
      while (x + n < s.w && n < 63 && row[x + n] == row[x]) n++;
      if (n > 1 || row[x] >= 0xC0) v.push_back(0xC0 | n);
      v.push_back(row[x]);
      x += n;
    }
  }
  v.push_back(12);
  for (int c = 0; c < 256; c++) {
    // Black ground, white ink, yellow frames: readable in any image viewer.
    uint8_t r = 0, g = 0, b = 0;
    if (c == 1) r = g = b = 255;
    if (c == 255) r = g = 255;
    v.push_back(r);
    v.push_back(g);
    v.push_back(b);
  }
  return v;
}

// ---------------------------------------------------------------------------
// The preview: the game's big texts at their x places, one screen. Each line
// is packed under the ones above it as closely as its ink allows, except the
// title line, which keeps the title menu's y 120.

struct preview_text {
  const char* str;
  int x;           // left edge, or right edge when right is set
  bool right;
  bool same_line;  // on the line of the text before
  int y;           // top fixed by the game, or -1 to pack
};

const preview_text game_texts[] = {
    {"Options", 200, false, false, -1},
    {"Ready?", 220, false, false, -1},
    {"Plu", 190, false, false, 120},
    {"Vesk", 320, false, true, 120},
    {"Game", 310, true, false, -1},
    {"Over", 330, false, true, -1},
    {"Start!", 220, false, false, -1},
};

int ink_floor[640];  // per column: first row under the preview's ink so far

void put_line(BITMAP* bmp, BITMAP* line, int& y, int fixed_y) {
  const int gap = 4, reach = 2;  // clear rows, and columns either side
  int top[640];
  for (int x = 0; x < 640; x++) {
    top[x] = line->h;
    for (int r = 0; r < line->h; r++)
      if (getpixel(line, x, r) != bitmap_mask_color(line)) { top[x] = r; break; }
  }
  int at = y;
  for (int x = 0; x < 640; x++) {
    if (top[x] == line->h) continue;
    for (int n = std::max(0, x - reach); n <= std::min(639, x + reach); n++)
      at = std::max(at, ink_floor[n] + gap - top[x]);
  }
  if (fixed_y >= 0 && at > fixed_y) fprintf(stderr, "make_font: preview line pushed below y %d\n", fixed_y);
  if (fixed_y >= 0) at = std::max(at, fixed_y);
  masked_blit(line, bmp, 0, 0, 0, at, 640, line->h);
  for (int x = 0; x < 640; x++)
    for (int r = line->h - 1; r >= 0; r--)
      if (getpixel(line, x, r) != bitmap_mask_color(line)) { ink_floor[x] = std::max(ink_floor[x], at + r + 1); break; }
  y = at;
}

void draw_preview(BITMAP* bmp, FONT* f) {
  int white = makecol(255, 255, 255);
  clear_to_color(bmp, makecol(0, 96, 192));
  BITMAP* line = create_bitmap(640, text_height(f));
  for (int x = 0; x < 640; x++) ink_floor[x] = 2;
  int y = 0;
  int n = sizeof game_texts / sizeof game_texts[0];
  for (int i = 0; i < n; i++) {
    clear_to_color(line, bitmap_mask_color(line));
    int j = i;
    do {
      const preview_text& t = game_texts[j];
      if (t.right)
        textout_right_ex(line, f, t.str, t.x, 0, white, -1);
      else
        textout_ex(line, f, t.str, t.x, 0, white, -1);
      j++;
    } while (j < n && game_texts[j].same_line);
    put_line(bmp, line, y, game_texts[i].y);
    i = j - 1;
  }
  // The rest of the set wrapped to the screen, capitals aside: there is no
  // room for them, and the texts above show their style.
  std::vector<std::string> rows(1);
  for (int c = 33; c <= 126; c++) {
    if (c >= 'A' && c <= 'Z') continue;
    std::string next = rows.back() + (char)c;
    if (text_length(f, next.c_str()) > 632)
      rows.push_back(std::string(1, (char)c));
    else
      rows.back() = next;
  }
  for (const std::string& r : rows) {
    clear_to_color(line, bitmap_mask_color(line));
    textout_ex(line, f, r.c_str(), 4, 0, white, -1);
    put_line(bmp, line, y, -1);
  }
  destroy_bitmap(line);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: make_font <out.pcx> <out.png>\n");
    return 2;
  }
  const char* pcx_path = argv[1];
  const char* png_path = argv[2];

  // Vertical metrics: the box just holds the tallest and deepest strokes.
  std::vector<std::vector<polyline>> strokes(letter_count);
  double top = 0, bottom = 0;
  for (int i = 0; i < letter_count; i++) {
    if (letters[i].ch != 32 + i) {
      fprintf(stderr, "make_font: letter %d out of order\n", i);
      return 1;
    }
    parse_path(letters[i].path, strokes[i]);
    if (strokes[i].empty()) continue;
    extent e = measure(strokes[i]);
    top = std::min(top, e.top);
    bottom = std::max(bottom, e.bottom);
  }
  // The baseline's ink edge falls on a pixel boundary, so flat feet are crisp.
  base_row = std::ceil(-top + pen - 0.02) - pen;
  box_h = (int)std::ceil(base_row + bottom - 0.02);

  std::vector<glyph> gl;
  for (int i = 0; i < letter_count; i++) gl.push_back(render(letters[i], strokes[i]));
  sheet s = lay_out(gl);
  if (!write_file(pcx_path, pcx_bytes(s))) {
    fprintf(stderr, "make_font: cannot write %s\n", pcx_path);
    return 1;
  }

  // Load it back the way the game does and check every box arrived.
  if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) {
    fprintf(stderr, "make_font: cannot start Allegro\n");
    return 1;
  }
  set_color_depth(32);
  FONT* f = load_bitmap_font(pcx_path, NULL, NULL);
  if (!f) {
    fprintf(stderr, "make_font: Allegro cannot load %s\n", pcx_path);
    return 1;
  }
  if (text_height(f) != box_h) {
    fprintf(stderr, "make_font: height %d, drew %d\n", text_height(f), box_h);
    return 1;
  }
  for (int i = 0; i < letter_count; i++) {
    char str[2] = {letters[i].ch, 0};
    if (text_length(f, str) != gl[i].w) {
      fprintf(stderr, "make_font: '%s' is %d wide, drew %d\n", str, text_length(f, str), gl[i].w);
      return 1;
    }
  }

  BITMAP* bmp = create_bitmap(640, 480);
  draw_preview(bmp, f);
  std::vector<uint32_t> rgb(640 * 480);
  for (int y = 0; y < 480; y++)
    for (int x = 0; x < 640; x++) {
      int c = getpixel(bmp, x, y);
      rgb[y * 640 + x] = (getr(c) << 16) | (getg(c) << 8) | getb(c);
    }
  if (!write_file(png_path, png_indexed(640, 480, rgb, PNG_STORED))) {
    fprintf(stderr, "make_font: cannot write %s\n", png_path);
    return 1;
  }
  // The figures that matter to the screens.
  const glyph& h = gl['H' - 32];
  int cap_top = box_h, cap_bottom = 0;
  for (int y = 0; y < box_h; y++)
    for (int x = 0; x < h.w; x++)
      if (h.ink[y * h.w + x]) { cap_top = std::min(cap_top, y); cap_bottom = y + 1; }
  int right = 0;
  for (const preview_text& t : game_texts) right = std::max(right, t.right ? t.x : t.x + text_length(f, t.str));
  printf("box height %d, cap height %d, \"Plu\" %d wide, texts end by x %d\n", box_h, cap_bottom - cap_top,
         text_length(f, "Plu"), right);
  destroy_bitmap(bmp);
  destroy_font(f);
  return 0;
}
