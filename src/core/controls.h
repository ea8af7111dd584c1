// The controls, read only through the binding table.
#pragma once

// The five of play, then the title's key that watches the best run.
enum { LEFT = 0, RIGHT = 1, DOWN = 2, UP = 3, JUMP = 4, REPLAY = 5 };

extern const int b[6];  // key code of each control
extern bool pad_held[6];  // each control held on a connected gamepad, as last sampled (never REPLAY)

// True while the control is held: its key, or its input on a pad.
bool held(int control);

// One frame of menu stepping over menu_selection and step_latch, then the wrap
// into first..last. Returns true when the confirm key may act on this frame.
bool menu_step(int first, int last);
