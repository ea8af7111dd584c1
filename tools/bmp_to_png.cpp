// bmp_to_png: converts the game's screenshot (or any picture Allegro loads)
// to a PNG, indexed when it has at most 256 colours, as the game's flat
// colours always do.
//   bmp_to_png "Plu Vesk screenshot.bmp" docs/screenshot-play.png

#include <allegro.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "png.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: bmp_to_png <in.bmp> <out.png>\n");
    return 2;
  }
  if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) {
    fprintf(stderr, "bmp_to_png: cannot start Allegro\n");
    return 1;
  }
  set_color_depth(32);
  BITMAP* bmp = load_bitmap(argv[1], NULL);
  if (!bmp) {
    fprintf(stderr, "bmp_to_png: cannot load %s\n", argv[1]);
    return 1;
  }
  int depth = bitmap_color_depth(bmp);
  std::vector<uint32_t> rgb(bmp->w * bmp->h);
  for (int y = 0; y < bmp->h; y++)
    for (int x = 0; x < bmp->w; x++) {
      int c = getpixel(bmp, x, y);
      rgb[y * bmp->w + x] = getr_depth(depth, c) << 16 | getg_depth(depth, c) << 8 | getb_depth(depth, c);
    }
  std::vector<uint32_t> colours = rgb;
  std::sort(colours.begin(), colours.end());
  size_t count = std::unique(colours.begin(), colours.end()) - colours.begin();
  std::vector<uint8_t> png;
  if (count <= 256) {
    png = png_indexed(bmp->w, bmp->h, rgb, PNG_DEFLATED);
  } else {
    for (uint32_t& c : rgb) c |= 0xFF000000u;
    png = png_truecolour(bmp->w, bmp->h, rgb, false);
  }
  if (!write_file(argv[2], png)) {
    fprintf(stderr, "bmp_to_png: cannot write %s\n", argv[2]);
    return 1;
  }
  printf("%s: %dx%d, %zu colours, %zu bytes\n", argv[2], bmp->w, bmp->h, count, png.size());
  destroy_bitmap(bmp);
  return 0;
}
