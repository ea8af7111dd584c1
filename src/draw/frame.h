// How a frame reaches the display, and how long it lasts.
#pragma once

#include <allegro.h>

extern int start_time;  // ms clock at the top of the current play frame

int sky_colour();       // the background of every screen

// buffer -> buffer2 -> screen: both whole frames, the second at the display's
// scale and place.
void present();

// Brings a 640x480 32-bit picture to dst with its top-left corner at (x, y),
// each pixel as a k x k square; dst must hold it whole.
void scale_blit(BITMAP* src, BITMAP* dst, int x, int y, int k);

// Waits until the ms clock is no longer less than start_time + 20.
void wait_play_frame();

// The end of a menu frame: present, rest 50 ms, count the frame.
void end_menu_frame();
