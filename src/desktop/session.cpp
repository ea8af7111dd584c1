#include "desktop/session.h"

#include <allegro.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <unistd.h>
#include <xalleg.h>

#include "desktop/display.h"

std::atomic<bool> quit_asked{false};
std::atomic<bool> window_focused{true};  // a window comes up with it, or the player gives it

static void say(const char* line) {
  // write() is safe where stdio is not: inside a signal handler, or with
  // another thread stopped in the middle of Xlib.
  ssize_t n = write(2, line, strlen(line));
  (void)n;
}

void ask_quit_signal(int sig) {
  quit_asked = true;
  // A second one of the same kind ends the game at once, should the orderly
  // way ever hang.
  signal(sig, SIG_DFL);
}

// A crash: Allegro's own handler would shut the library down here, joining
// threads and freeing the synthesizer inside the handler. Nothing needs
// undoing that the end of the process does not undo (the display mode is
// never changed), so the signal takes its default course.
static void crashed(int sig) {
  say(sig == SIGQUIT ? "plu-vesk: quit by signal\n" : "plu-vesk: crashed\n");
  signal(sig, SIG_DFL);
  raise(sig);
}

static void handle(int sig, void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(sig, &action, nullptr);
}

void catch_signals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) handle(sig, ask_quit_signal);
  handle(SIGPIPE, SIG_IGN);
}

void close_button() { quit_asked = true; }
void focus_lost() { window_focused = false; }
void focus_gained() {
  window_focused = true;
  whole_frame_wanted = true;  // a compositor may have dropped the window's picture meanwhile
}

// Xlib's own handler calls exit(), and the exit handlers then shut Allegro
// down against a dead connection, which can hang or abort. The files the game
// writes are replaced by renaming, so stopping at once leaves none torn.
static int display_lost(Display*) {
  say("plu-vesk: the display has gone away (X connection lost); stopping\n");
  _exit(1);
}

void watch_session() {
  catch_signals();
  for (int sig : {SIGSEGV, SIGABRT, SIGFPE, SIGILL, SIGQUIT}) handle(sig, crashed);
  XSetIOErrorHandler(display_lost);
  set_close_button_callback(close_button);
  set_display_switch_callback(SWITCH_OUT, focus_lost);
  set_display_switch_callback(SWITCH_IN, focus_gained);
}
