#include "desktop/display.h"

#include <allegro.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <xalleg.h>
#include <allegro/platform/aintunix.h>
#include <X11/Xatom.h>
#include <X11/keysym.h>
#include <X11/extensions/Xrandr.h>

#include "core/globals.h"
#include "core/settings.h"
#include "plu-vesk.xpm"

const char* const window_title = "Plu Vesk";
const char* const window_class = "plu-vesk";

int forced_scale = 0;
int forced_mode = -1;
int scale = 1;
int frame_x = 0;
int frame_y = 0;
std::atomic<bool> whole_frame_wanted{true};

// Not in Allegro's headers; the X11 driver makes the window's icon from it.
extern "C" void* allegro_icon;
// Allegro's X11 driver: shows a region of the screen bitmap after it was
// written directly. Exported by the library, though not in its headers.
extern "C" void _xwin_update_screen(int x, int y, int w, int h);

int window_scale(int w, int h) {
  int k = 1;
  while (k < max_scale && 640 * (k + 1) * 10 <= 9 * w && 480 * (k + 1) * 10 <= 9 * h) k++;
  return k;
}

int full_screen_scale(int w, int h) {
  int k = 1;
  while (640 * (k + 1) <= w && 480 * (k + 1) <= h) k++;
  return k;
}

void skip_compose_table() { setenv("XCOMPOSEFILE", "/dev/null", 1); }

void name_window() {
  xwin_set_window_name(window_class, window_class);
  allegro_icon = (void*)plu_vesk_xpm;
}

// The monitor to fill: the primary one, else the first, else the whole X
// screen. On several monitors the X screen spans them all.
static void find_monitor(int* x, int* y, int* w, int* h) {
  *x = *y = 0;
  get_desktop_resolution(w, h);
  XLOCK();
  Display* d = _xwin.display;
  int events, errors, n = 0;
  if (d && XRRQueryExtension(d, &events, &errors)) {
    XRRMonitorInfo* monitors = XRRGetMonitors(d, DefaultRootWindow(d), True, &n);
    for (int i = 0; i < n; i++) {
      if (i == 0 || monitors[i].primary) {
        *x = monitors[i].x, *y = monitors[i].y;
        *w = monitors[i].width, *h = monitors[i].height;
      }
    }
    if (monitors) XRRFreeMonitors(monitors);
  }
  XUNLOCK();
}

// Full screen is a window the size of the monitor that asks the window
// manager for the full-screen state (with no window manager it simply covers
// the monitor). Allegro's own full-screen driver instead grabs the keyboard
// and pointer, which locks the player out of the rest of the desktop, and
// spans every monitor. Set on the window before it first shows; asked of the
// window manager after every later switch, which makes the window anew.
static bool window_shown() {
  XLOCK();
  XWindowAttributes seen;
  bool shown = XGetWindowAttributes(_xwin.display, _xwin.wm_window, &seen) && seen.map_state != IsUnmapped;
  XUNLOCK();
  return shown;
}

static void ask_full_screen(bool on, int x, int y, bool shown) {
  XLOCK();
  Display* d = _xwin.display;
  Window w = _xwin.wm_window;
  Atom state = XInternAtom(d, "_NET_WM_STATE", False);
  Atom full = XInternAtom(d, "_NET_WM_STATE_FULLSCREEN", False);
  if (on) XMoveWindow(d, w, x, y);  // onto the monitor the window manager is to fill
  if (!shown) {
    if (on) XChangeProperty(d, w, state, XA_ATOM, 32, PropModeReplace, (unsigned char*)&full, 1);
    else XDeleteProperty(d, w, state);
  } else {
    XEvent e;
    memset(&e, 0, sizeof e);
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = state;
    e.xclient.format = 32;
    e.xclient.data.l[0] = on ? 1 : 0;  // add or remove
    e.xclient.data.l[1] = (long)full;
    e.xclient.data.l[3] = 1;  // from an application
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  }
  XFlush(d);
  XUNLOCK();
}

// A key let go while the window is being made again may reach it late or
// never, and stay down for good (a held space bar switches the display on
// every frame): for a while after a switch, whatever the X server says is up,
// is up. A key the player still holds stays down.
static int settling_frames = 0;
static const int frames_to_settle = 10;

static void forget_lost_key_releases() {
  static const struct {
    int allegro;
    KeySym x;
  } keys[] = {{KEY_LEFT, XK_Left}, {KEY_RIGHT, XK_Right}, {KEY_UP, XK_Up}, {KEY_DOWN, XK_Down},
              {KEY_SPACE, XK_space}, {KEY_ESC, XK_Escape}, {KEY_TAB, XK_Tab}};
  XLOCK();
  char down[32];
  if (_xwin.display && XQueryKeymap(_xwin.display, down)) {
    for (const auto& k : keys) {
      KeyCode code = XKeysymToKeycode(_xwin.display, k.x);
      if (code && !(down[code / 8] & (1 << (code % 8)))) key[k.allegro] = 0;
    }
  }
  XUNLOCK();
}

// Allegro draws the window from its own copy of the screen, for the game's
// updates and for an exposed part alike; for the second, the next
// presentation sends the whole picture too.
static void (*allegro_redraw)(int x, int y, int w, int h);
static thread_local bool updating = false;  // this thread is in show_written_region

static void redraw_exposed(int x, int y, int w, int h) {
  allegro_redraw(x, y, w, h);
  if (!updating) whole_frame_wanted = true;
}

static void watch_exposures() {
  XLOCK();
  if (_xwin_window_redrawer != redraw_exposed) {
    allegro_redraw = _xwin_window_redrawer;
    _xwin_window_redrawer = redraw_exposed;
  }
  XUNLOCK();
}

static bool try_display(int m) {
  int mx, my, mw, mh;
  find_monitor(&mx, &my, &mw, &mh);
  int w, h, k;
  if (m == 0) {
    k = forced_scale ? forced_scale : window_scale(mw, mh);
    w = 640 * k, h = 480 * k;
  } else {
    w = mw < 640 ? 640 : mw, h = mh < 480 ? 480 : mh;
    k = full_screen_scale(w, h);
  }
  bool first_show = _xwin.display && !window_shown();
  if (first_show) ask_full_screen(m == 1, mx, my, false);
  if (set_gfx_mode(screen_mode[m], w, h, 0, 0) != 0) return false;
  if (_xwin.display) {
    if (!first_show) ask_full_screen(m == 1, mx, my, true);
    settling_frames = frames_to_settle;
    watch_exposures();
  }
  scale = k;
  frame_x = (w - 640 * k) / 2;
  frame_y = (h - 480 * k) / 2;
  clear_to_color(screen, makecol(0, 0, 0));  // the margins, drawn once
  whole_frame_wanted = true;
  return true;
}

// Allegro's thread handles input only every 10 ms, so a key pressed just
// before a frame would wait a whole frame more. Only from the first frame
// on: during set_gfx_mode, Allegro waits for events of its window itself.
// Allegro's handler asks the X server for a round trip; a frame with no
// event come in spares the server and itself that.
void read_queued_input() {
  XLOCK();
  if (_xwin.display && XEventsQueued(_xwin.display, QueuedAfterReading) > 0) _xwin_handle_input();
  XUNLOCK();
}

void settle_keys() {
  if (settling_frames <= 0) return;
  settling_frames--;
  forget_lost_key_releases();
}

bool set_display(int m) {
  if (try_display(m)) {
    mode = m;
    return true;
  }
  fprintf(stderr, "plu-vesk: cannot open the %s display (%s), trying the %s\n",
          m ? "full-screen" : "windowed", allegro_error, m ? "window" : "full screen");
  if (try_display(1 - m)) {
    mode = 1 - m;
    return true;
  }
  fprintf(stderr, "plu-vesk: cannot open a display of 640x480 or more in 32-bit colour: %s\n",
          allegro_error);
  return false;
}

void show_written_region(int x, int y, int w, int h) {
  updating = true;
  _xwin_update_screen(x, y, w, h);
  updating = false;
}

// Allegro leaves the picture in Xlib's queue until its background thread
// next flushes it, up to 10 ms later and unevenly: sent now, every frame
// reaches the display the same time after it is drawn.
void send_to_display() {
  XLOCK();
  if (_xwin.display) XFlush(_xwin.display);
  XUNLOCK();
}
