// How a frame reaches the display, and how long it lasts.
#pragma once

extern int start_time;       // ms clock at the top of the current play frame
extern int spin_margin_ms;   // the play wait spins only this last stretch; it sleeps before

int sky_colour();            // the background of every screen

// buffer -> buffer2 -> screen, both whole frames.
void present();

// Waits until the ms clock is no longer less than start_time + 20.
void wait_play_frame();

// The end of a menu frame: present, rest 50 ms, count the frame.
void end_menu_frame();
