// How a frame reaches the display, and how long it lasts.
#pragma once

#include <allegro.h>

extern int start_time;  // ms clock at the top of the current play frame

int sky_colour();       // the background of every screen

// buffer -> buffer2 -> screen: buffer2 takes the whole frame, and the screen
// only the parts that changed since the last presentation, at the display's
// scale and place (all of it when whole_frame_wanted). At 1x on a display
// that shares memory the X server reads them from buffer2 itself.
void present();

// Brings the part (sx, sy, sw, sh) of a 640x480 32-bit picture whose top-left
// corner goes to (x, y) on dst, each pixel as a k x k square; dst must hold
// the whole picture.
void scale_blit(BITMAP* src, BITMAP* dst, int x, int y, int k, int sx = 0, int sy = 0, int sw = 640,
                int sh = 480);

// Waits until the ms clock is no longer less than start_time + 20.
void wait_play_frame();

// The end of a menu frame: present, rest 50 ms, count the frame.
void end_menu_frame();
