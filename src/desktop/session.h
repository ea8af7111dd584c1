// The desktop session around the game: the window's close button, the
// keyboard focus, signals that ask the game to end, and a display that goes
// away. Allegro reports the first two on its own thread and signals may come
// on any thread, so each only sets a flag that the stage loop reads.
#pragma once

#include <atomic>

extern std::atomic<bool> quit_asked;      // the close button or a signal asked the game to end
extern std::atomic<bool> window_focused;  // the game's window has the keyboard focus

// Before install_allegro: SIGINT, SIGTERM and SIGHUP only ask the game to
// end; SIGPIPE is ignored, so a lost display is an error, not a death.
void catch_signals();
// After install_allegro, which puts its own handlers in: ours back again, the
// crash signals' too; the close button, the focus callbacks and the handler
// of a lost display.
void watch_session();

// Handlers, reachable for tests.
void ask_quit_signal(int sig);
void close_button();
void focus_lost();
void focus_gained();
