// Gamepads, through SDL2's game controllers: SDL's mapping database (and any
// mapping in SDL_GAMECONTROLLERCONFIG, as Steam sets for its virtual pads)
// gives every common pad the same layout. A pad only adds another way to hold
// a control down: the D-pad and the left stick past half its travel are the
// arrows, A (south) is Space, Back is Esc, and Start is Space in the menus
// and on the game-over panel and the pause key in a run. SDL is opened at run
// time, so the game runs keyboard-only where it is not installed.
#pragma once

#include <atomic>

extern const char* pads_library;        // the SDL2 library, "libSDL2-2.0.so.0"
extern bool pads_on;                    // SDL's game controllers are up
extern int pads_connected;              // pads open now
extern char pads_problem[256];          // why there are no pads, empty when there are
extern std::atomic<bool> pads_loading;  // SDL is being loaded and started on its own thread

extern const char* input_devices_file;  // the kernel's list of input devices

const int stick_half = 16384;  // a stick further out than this holds its arrow
// While no pad is open SDL looks for one only this often, and devices that
// did not open (no mapping, or the open failed) are tried again this often:
// a look costs a frame far more than reading open pads.
const int pad_look_ms = 500;

// Loads the library and starts only SDL's joystick and game-controller
// subsystems: no window, no video, no signal handlers. Returns false, with
// pads_problem set, when it cannot. Waits for it: the game itself goes
// through look_for_pads.
bool start_pads(const char* library);

// True when a list of input devices in the kernel's format holds one with
// joystick or gamepad buttons.
bool lists_a_pad(const char* devices);

// Once a frame, on the main thread: once a pad may be there (one in
// input_devices_file, or a device named in SDL_JOYSTICK_DEVICE; it looks every
// second), starts SDL on a thread of its own, since loading it takes most of a
// frame; takes SDL up on the first call after that thread is done; says once
// on stderr when SDL cannot come up. SDL and the libraries it brings take
// 3.5 MB, which a player without a pad keeps.
void look_for_pads();

// Once a frame, on the main thread: opens every pad SDL lists that is not
// open yet, closes those pulled out, and reads them all into pad_held
// (core/controls.h), pad_pause and pad_escape (core/hotkeys.h). Start counts
// as the confirm key when start_confirms is true; nothing counts while heed
// is false (the window is away from the keyboard). Without SDL it clears them.
void read_pads(bool start_confirms, bool heed);

// Shut-down: closes the pads and SDL. A load still under way gets a moment to
// finish; one that takes longer is left to itself, and SDL is not touched.
void stop_pads();
