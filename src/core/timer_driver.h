// Allegro's timer, driven by the game: one thread calls each installed
// handler on its period, and sleeps outright while every handler given a
// rest test would do nothing if called. A still screen then costs the
// desktop no wake-ups at all for handlers that only watch keys.
#pragma once

// Makes install_timer() take this driver. Call after install_allegro().
void use_own_timer();

// From now on proc, installed with install_int(), is skipped while
// nothing_to_do() holds; its calls keep their places on the period's grid.
// nothing_to_do runs on both threads, so it may read only what
// wake_timer()'s callers write.
void let_timer_rest(void (*proc)(), bool (*nothing_to_do)());

// On the thread that changes what a rest test reads, after changing it:
// ends the rest of any handler that now has something to do.
void wake_timer();
