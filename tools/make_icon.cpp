// make_icon: draws the game's icon, the blue ball resting on a cloud as it
// does in play, with the game's own sprite routines, and writes it on a
// transparent ground as "plu-vesk-<size>.png" for the usual icon sizes, and
// as "plu-vesk.xpm", the window's own icon, which the game compiles in.
//
// The sprites paint filled circles of fixed pixel sizes, too small for a
// 256-pixel icon and too big for a 16-pixel one. So the bitmap they paint into
// has its circle routines wrapped to note every circle too, and each icon is
// rendered from the noted circles, scaled to its size, with 8x8 samples a
// pixel so that edges fade smoothly into the transparent ground. Allegro's own
// painting is checked against the notes, so that a sprite drawing something
// the notes miss stops the tool rather than losing it from the icon.
//
// Rerun after changing a sprite (output is byte-for-byte deterministic):
//   cmake --build build --target make_icon && build/tools/make_icon assets/icons

#include <allegro.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "draw/sprites.h"
#include "png.h"

namespace {

const int sizes[] = {16, 32, 48, 64, 128, 256};
const int samples = 8;  // per pixel along each axis
const int window_icon_size = 48;

// The scene at the sprites' own size: a three-puff cloud, and the ball
// where a landing leaves it, 18 pixels above the cloud's line and a little
// sunk into it (the play screen paints clouds over the ball). The cloud's
// puffs run from x - w to x + w - 11, so the ball sits 5 pixels left of x.
const int scene_w = 64, scene_h = 64;
const int cloud_x = 34, cloud_y = 44, cloud_w = 16;
const int ball_x = cloud_x - 5, ball_y = cloud_y - 18;

// A filled ellipse as the sprites asked for it, in scene pixels.
struct shape {
  int x, y, rx, ry;
  uint32_t rgb;
};

std::vector<shape> shapes;  // in painting order
GFX_VTABLE noting_vtable;   // the scene bitmap's routines, circles noted
void (*allegro_circlefill)(BITMAP*, int, int, int, int);
void (*allegro_ellipsefill)(BITMAP*, int, int, int, int, int);

uint32_t rgb_of(int c) { return getr32(c) << 16 | getg32(c) << 8 | getb32(c); }

void noted_circlefill(BITMAP* bmp, int x, int y, int r, int c) {
  shapes.push_back({x, y, r, r, rgb_of(c)});
  allegro_circlefill(bmp, x, y, r, c);
}

void noted_ellipsefill(BITMAP* bmp, int x, int y, int rx, int ry, int c) {
  shapes.push_back({x, y, rx, ry, rgb_of(c)});
  allegro_ellipsefill(bmp, x, y, rx, ry, c);
}

// Whether the point (px, py), in scene pixels with pixel centres on the
// integers, lies in the shape. A circle of radius r covers 2r + 1 pixels
// across, so the ideal edge runs half a pixel beyond r.
bool inside(const shape& s, double px, double py) {
  double dx = (px - s.x) / (s.rx + 0.5), dy = (py - s.y) / (s.ry + 0.5);
  return dx * dx + dy * dy <= 1;
}

// The colour of the topmost shape at a point, or -1 where there is none.
long colour_at(double px, double py) {
  for (size_t i = shapes.size(); i-- > 0;)
    if (inside(shapes[i], px, py)) return shapes[i].rgb;
  return -1;
}

// Paints the scene into an Allegro bitmap while noting its shapes, and checks
// that the notes account for what Allegro painted. Returns false on a mismatch.
bool note_scene() {
  BITMAP* bmp = create_bitmap(scene_w, scene_h);
  int empty = bitmap_mask_color(bmp);
  clear_to_color(bmp, empty);
  GFX_VTABLE* own = bmp->vtable;
  noting_vtable = *own;
  allegro_circlefill = own->circlefill;
  allegro_ellipsefill = own->ellipsefill;
  noting_vtable.circlefill = noted_circlefill;
  noting_vtable.ellipsefill = noted_ellipsefill;
  bmp->vtable = &noting_vtable;

  blue_ball(bmp, ball_x, ball_y);
  draw_cloud(bmp, cloud_x, cloud_y, cloud_w);

  bmp->vtable = own;
  // Allegro's circles step a little differently from the ideal ones at their
  // rims, so a few rim pixels may differ; anything more is paint the notes
  // do not hold.
  int painted = 0, differ = 0;
  for (int y = 0; y < scene_h; y++)
    for (int x = 0; x < scene_w; x++) {
      int c = getpixel(bmp, x, y);
      long want = colour_at(x, y);
      if (c != empty) painted++;
      if ((c == empty ? -1 : (long)rgb_of(c)) != want) differ++;
      if (x == 0 || y == 0 || x == scene_w - 1 || y == scene_h - 1) {
        if (c != empty) {
          fprintf(stderr, "make_icon: the scene reaches the edge of its bitmap\n");
          return false;
        }
      }
    }
  destroy_bitmap(bmp);
  printf("%zu shapes, %d pixels painted, %d differ from the notes\n", shapes.size(), painted, differ);
  if (shapes.empty() || differ * 20 > painted) {
    fprintf(stderr, "make_icon: the sprites paint something besides filled circles and ellipses\n");
    return false;
  }
  return true;
}

// The icon of size n: the scene's shapes fitted into the square with a small
// margin, each pixel the average of its samples, transparent where none hit.
std::vector<uint32_t> render(int n) {
  double left = 1e9, top = 1e9, right = -1e9, bottom = -1e9;
  for (const shape& s : shapes) {
    left = std::min(left, s.x - s.rx - 0.5);
    right = std::max(right, s.x + s.rx + 0.5);
    top = std::min(top, s.y - s.ry - 0.5);
    bottom = std::max(bottom, s.y + s.ry + 0.5);
  }
  double margin = n / 32.0;
  double scale = (n - 2 * margin) / std::max(right - left, bottom - top);
  double ox = (n - (right - left) * scale) / 2 - left * scale;
  double oy = (n - (bottom - top) * scale) / 2 - top * scale;

  std::vector<uint32_t> argb(n * n);
  for (int y = 0; y < n; y++)
    for (int x = 0; x < n; x++) {
      int hits = 0, r = 0, g = 0, b = 0;
      for (int j = 0; j < samples; j++)
        for (int i = 0; i < samples; i++) {
          double px = (x + (i + 0.5) / samples - ox) / scale;
          double py = (y + (j + 0.5) / samples - oy) / scale;
          long c = colour_at(px, py);
          if (c < 0) continue;
          hits++;
          r += (c >> 16) & 255;
          g += (c >> 8) & 255;
          b += c & 255;
        }
      if (hits == 0) continue;
      uint32_t a = (hits * 255 + samples * samples / 2) / (samples * samples);
      argb[y * n + x] = a << 24 | (uint32_t)((r + hits / 2) / hits) << 16 |
                        (uint32_t)((g + hits / 2) / hits) << 8 | (uint32_t)((b + hits / 2) / hits);
    }
  return argb;
}

// The window's icon as XPM, which is C source: X icons have no soft edges, so
// a pixel at least half covered is solid and the rest transparent.
std::string xpm(int n, const std::vector<uint32_t>& argb) {
  const char* const digits = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+@";
  std::vector<uint32_t> colours;  // in order of first use, row by row
  std::vector<int> index(argb.size(), -1);
  for (size_t i = 0; i < argb.size(); i++) {
    if (argb[i] >> 24 < 128) continue;
    uint32_t rgb = argb[i] & 0xFFFFFF;
    size_t k = std::find(colours.begin(), colours.end(), rgb) - colours.begin();
    if (k == colours.size()) colours.push_back(rgb);
    index[i] = (int)k + 1;  // 0 is transparent
  }
  auto code = [&](int k) { return std::string{digits[k / 64], digits[k % 64]}; };
  char line[64];
  std::string out = "/* XPM */\n/* Made by tools/make_icon: the window's icon. */\n"
                    "static const char* plu_vesk_xpm[] = {\n";
  snprintf(line, sizeof line, "\"%d %d %zu 2\",\n", n, n, colours.size() + 1);
  out += line;
  out += "\"" + code(0) + " c None\",\n";
  for (size_t k = 0; k < colours.size(); k++) {
    snprintf(line, sizeof line, " c #%06X\",\n", (unsigned)colours[k]);
    out += "\"" + code((int)k + 1) + line;
  }
  for (int y = 0; y < n; y++) {
    out += "\"";
    for (int x = 0; x < n; x++) out += code(index[y * n + x] < 0 ? 0 : index[y * n + x]);
    out += y + 1 < n ? "\",\n" : "\"};\n";
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_icon <out-dir>\n");
    return 2;
  }
  if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) {
    fprintf(stderr, "make_icon: cannot start Allegro\n");
    return 1;
  }
  set_color_depth(32);
  if (!note_scene()) return 1;
  for (int n : sizes) {
    std::string path = std::string(argv[1]) + "/plu-vesk-" + std::to_string(n) + ".png";
    std::vector<uint8_t> png = png_truecolour(n, n, render(n), true);
    if (!write_file(path.c_str(), png)) {
      fprintf(stderr, "make_icon: cannot write %s\n", path.c_str());
      return 1;
    }
    printf("%s: %zu bytes\n", path.c_str(), png.size());
  }
  std::string path = std::string(argv[1]) + "/plu-vesk.xpm";
  std::string text = xpm(window_icon_size, render(window_icon_size));
  if (!write_file(path.c_str(), std::vector<uint8_t>(text.begin(), text.end()))) {
    fprintf(stderr, "make_icon: cannot write %s\n", path.c_str());
    return 1;
  }
  printf("%s: %zu bytes\n", path.c_str(), text.size());
  return 0;
}
