// The pause of a run, and the run held still while the window is away from
// the keyboard.
#pragma once

extern bool paused;  // the player paused the run

// The one place that decides whether the run holds still: paused, or the
// window away from the keyboard.
bool run_held();

// At the start of a run: not paused, and a key already down pauses nothing.
void start_pause_watch();

// Once a frame of a run, the keys and pads read: P, Pause or a pad's Start
// pauses it while the ball is alive, from its second frame on (buffer then
// holds a frame of this run to show); on the game-over panel Start is the
// confirm key.
void watch_pause_key();

// While the run is held no frame is run or counted, the tune pauses and the
// screensaver may come, until the same key resumes it, the focus comes back,
// or Esc or the game's end ends the run. A focus that comes and goes leaves a
// pause as it is.
void hold_run();
