// Sprites painted from filled circles and ellipses, afresh at every call.
#pragma once

#include <allegro.h>

void cloud_line(BITMAP* bmp, int x, int y);
void draw_cloud(BITMAP* bmp, int x, int y, int w);
void draw_star(BITMAP* bmp, int x, int y, int type);
void blue_ball(BITMAP* bmp, int x, int y);
void squish_ball(BITMAP* bmp, int x, int y);
void stretch_ball(BITMAP* bmp, int x, int y);
void big_ball(BITMAP* bmp, int x, int y);
