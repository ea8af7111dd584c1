// The globals every screen shares, and the library's resources they draw with.
#pragma once

#include <allegro.h>
#include <atomic>
#include <mutex>

// The screens, in the order the stage loop shows them.
enum { STAGE_TITLE = 0, STAGE_PLAY = 1, STAGE_OPTIONS = 2, STAGE_QUIT = 3 };

extern std::atomic<int> stage;  // current screen, one of the STAGE_ values
extern int loop_num;            // frames completed on the current screen
extern int menu_selection;      // highlighted entry of the menu that is running
extern bool step_latch;         // menu stepping latch, carried from menu to menu

extern int screen_mode[2];      // graphics driver for mode 0 (window) and 1 (full screen)
extern const char* on_off[2];   // marks shown for a 0/1 setting

extern FONT* title;             // big white texts, from "bubble.pcx"
extern FONT* text;              // small black texts: the library's default font
extern BITMAP* buffer;          // draw target of every frame
extern BITMAP* buffer2;         // last presented frame, source of the screenshot
// Held around the copy into buffer2 and around the screenshot's copy of it,
// so a saved picture is always one whole frame.
extern std::mutex frame_lock;

// Where Allegro stores its error numbers. Not errno: the library also runs on
// its own thread, and would write the main thread's errno from there.
extern int allegro_errnum;
