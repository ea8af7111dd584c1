#include "draw/sprites.h"

// Colours go through makecol at every call: the screen's pixel format may change.

void cloud_line(BITMAP* bmp, int x, int y) {
  circlefill(bmp, x, y, 9, makecol(200, 200, 200));
  circlefill(bmp, x - 2, y - 1, 7, makecol(255, 255, 255));
}

void draw_cloud(BITMAP* bmp, int x, int y, int w) {
  // Each puff whole before the next: its grey covers the white edge on its left.
  for (int p = x - w; p < x + w; p += 11) cloud_line(bmp, p, y);
}

void draw_star(BITMAP* bmp, int x, int y, int type) {
  if (type <= 0) {
    circlefill(bmp, x, y, 10, makecol(192, 164, 0));
    circlefill(bmp, x - 2, y - 2, 7, makecol(255, 196, 0));
  } else {
    circlefill(bmp, x, y, 10, makecol(192, 0, 192));
    circlefill(bmp, x - 2, y - 2, 7, makecol(252, 0, 252));
  }
  circlefill(bmp, x - 4, y - 4, 2, makecol(255, 255, 255));
}

void blue_ball(BITMAP* bmp, int x, int y) {
  circlefill(bmp, x, y, 13, makecol(0, 128, 255));
  circlefill(bmp, x - 2, y - 2, 10, makecol(48, 160, 255));
  circlefill(bmp, x - 5, y - 5, 2, makecol(255, 255, 255));
}

void squish_ball(BITMAP* bmp, int x, int y) {
  ellipsefill(bmp, x, y, 15, 12, makecol(0, 128, 255));
  ellipsefill(bmp, x - 2, y - 2, 12, 9, makecol(48, 160, 255));
  circlefill(bmp, x - 6, y - 5, 2, makecol(255, 255, 255));
}

void stretch_ball(BITMAP* bmp, int x, int y) {
  ellipsefill(bmp, x, y, 12, 15, makecol(0, 128, 255));
  ellipsefill(bmp, x - 2, y - 2, 9, 12, makecol(48, 160, 255));
  circlefill(bmp, x - 5, y - 6, 2, makecol(255, 255, 255));
}

void big_ball(BITMAP* bmp, int x, int y) {
  circlefill(bmp, x, y, 20, makecol(0, 128, 255));
  circlefill(bmp, x - 3, y - 3, 16, makecol(48, 160, 255));
  circlefill(bmp, x - 7, y - 7, 4, makecol(255, 255, 255));
}
