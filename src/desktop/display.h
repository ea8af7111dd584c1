// The display: the game's window or full screen at a whole-number scale of
// the 640x480 picture, and how the desktop knows the window.
#pragma once

#include <allegro.h>
#include <atomic>

extern const char* const window_title;  // "Plu Vesk"
extern const char* const window_class;  // WM_CLASS, matched by the desktop entry

extern int forced_scale;   // the window's scale asked for on the command line, 0 for the default
extern int forced_mode;    // the mode asked for on the command line, -1 for the saved one
extern int scale;          // each game pixel is shown as a scale x scale square
extern int frame_x;        // the picture's top-left corner on the screen
extern int frame_y;
extern std::atomic<bool> whole_frame_wanted;  // the next presentation sends the whole picture (new mode, Expose, focus back)

const int max_scale = 8;

// The largest whole scale whose window stays within 90% of a w x h desktop
// (at least 1), and the largest whose picture fits a w x h screen.
int window_scale(int w, int h);
int full_screen_scale(int w, int h);

// Before install_allegro: the window's class and icon, which Allegro reads
// only when it makes the window.
void name_window();
// The game reads keys, never typed text, so the compose sequences of
// Allegro's input method are of no use: without this, Xlib parses the
// locale's whole table (half a megabyte) when Allegro opens it. Call before
// install_allegro.
void skip_compose_table();

// Shows mode m: 0 a window of the picture's size at the scale, 1 the whole
// monitor with the scaled picture centred on black. When m cannot be set,
// tries the other and leaves mode on the one that worked. Returns false when
// neither can be set.
bool set_display(int m);

// Before each frame reads the keys, on the main thread: the X events already
// queued, handled by Allegro's own input handler under its lock. A key tapped
// since the last read shows as down to this frame.
void read_queued_input();

// Allegro's background thread wakes every millisecond and handles X input
// every 10 ms, each time with a round trip to the X server. As the main
// thread handles the input itself, the game holds that thread asleep from
// its first frame on (it waits for Allegro's interrupts to be enabled
// again); it must be let go before Allegro shuts down, which waits for it.
void hold_allegro_thread();
void let_go_allegro_thread();

// Once a frame on the main thread: for a few frames after set_display, lets
// go of keys whose release the window may have missed while it was made.
void settle_keys();

// At 1x: moves frame's rows (a 640x480 32-bit bitmap) into memory the X
// server reads, once, so that its changed parts go to the window straight
// from there rather than through a copy in Allegro's image of the screen.
// False when the display shares no memory or has another pixel format.
// Call with frame_lock held: the rows move.
bool share_frame(BITMAP* frame);
// Sends the part (x, y, w, h) of the shared frame to the picture's place.
void send_shared(int x, int y, int w, int h);

// After a picture was written straight into the screen bitmap's memory:
// brings that region to the window.
void show_written_region(int x, int y, int w, int h);
// Sends what was drawn on the screen to the X server now.
void send_to_display();
