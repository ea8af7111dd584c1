#include "desktop/display.h"

#include <allegro.h>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <xalleg.h>
#include <allegro/platform/aintunix.h>
#include <X11/Xatom.h>
#include <X11/keysym.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "core/globals.h"
#include "core/settings.h"
#include "core/timer_driver.h"
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

// The frame the X server reads where it lies, at 1x: its rows in a segment
// of memory shared with the server, in the window's own pixel format.
static XImage* shared_image;
static XShmSegmentInfo shared_segment;
static BITMAP* shared_frame;        // whose rows lie there
static int shown_x = -1, shown_y;   // where the window shows it, under XLOCK; -1 while it does not

static void send_part_shown(int x, int y, int w, int h) {
  XShmPutImage(_xwin.display, _xwin.window, _xwin.gc, shared_image, x, y, shown_x + x, shown_y + y, w, h, False);
}

static void redraw_exposed(int x, int y, int w, int h) {
  if (!updating) whole_frame_wanted = true;
  if (updating || shown_x < 0) {
    allegro_redraw(x, y, w, h);
    return;
  }
  // Allegro's image holds the margins, and none of the picture
  int x0 = std::max(x - shown_x, 0), y0 = std::max(y - shown_y, 0);
  int x1 = std::min(x + w - shown_x, 640), y1 = std::min(y + h - shown_y, 480);
  if (x0 != x - shown_x || y0 != y - shown_y || x1 != x + w - shown_x || y1 != y + h - shown_y)
    allegro_redraw(x, y, w, h);
  if (x0 < x1 && y0 < y1) send_part_shown(x0, y0, x1 - x0, y1 - y0);
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
  XLOCK();
  shown_x = -1;
  XUNLOCK();
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

// A key pressed and let go between two reads still shows as down to the
// frame after them, and only to that one: a quick tap is never lost between
// frames, the hot keys' included.
static bool went_down[KEY_MAX];  // a press came in during this read
static bool tap_shown[KEY_MAX];  // down in this frame for a tap already over

static void note_press(int scancode) {
  if (!(scancode & 0x80)) went_down[scancode & 0x7f] = true;
}

// Allegro's own thread handled input only every 10 ms, so a key pressed
// just before a frame waited a whole frame more; that thread is now held.
// Only from the first frame on: during set_gfx_mode, Allegro waits for
// events of its window itself. Allegro's handler asks the X server for a
// round trip; a frame with no event come in spares the server and itself that.
void read_queued_input() {
  for (int k = 0; k < KEY_MAX; k++)
    if (tap_shown[k]) key[k] = tap_shown[k] = false;
  XLOCK();
  if (_xwin.display && XEventsQueued(_xwin.display, QueuedAfterReading) > 0) _xwin_handle_input();
  XUNLOCK();
  for (int k = 0; k < KEY_MAX; k++) {
    if (went_down[k] && !key[k]) key[k] = tap_shown[k] = true;
    went_down[k] = false;
  }
  wake_timer();
}

static bool allegro_thread_held;

void hold_allegro_thread() {
  if (allegro_thread_held || !_unix_bg_man || !_unix_bg_man->multi_threaded) return;
  _unix_bg_man->disable_interrupts();
  allegro_thread_held = true;
  keyboard_lowlevel_callback = note_press;  // on the main thread from now on
}

void let_go_allegro_thread() {
  if (!allegro_thread_held) return;
  allegro_thread_held = false;
  keyboard_lowlevel_callback = nullptr;
  _unix_bg_man->enable_interrupts();
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

// The frames' own pixels, byte for byte: no conversion on the way.
static bool in_frame_format(const XImage* image) {
  const uint16_t one = 1;
  const int host_order = *(const unsigned char*)&one ? LSBFirst : MSBFirst;
  return image->bits_per_pixel == 32 && image->bytes_per_line == 640 * 4 && image->byte_order == host_order &&
         image->red_mask == 0xFFul << _rgb_r_shift_32 && image->green_mask == 0xFFul << _rgb_g_shift_32 &&
         image->blue_mask == 0xFFul << _rgb_b_shift_32;
}

// A 640x480 image in a segment of memory the X server shares; null when the
// display shares none or draws in another format.
static XImage* make_shared_image(Display* d) {
  XShmSegmentInfo& seg = shared_segment;
  XImage* image = XShmCreateImage(d, _xwin.visual, _xwin.window_depth, ZPixmap, nullptr, &seg, 640, 480);
  if (!image) return nullptr;
  seg.shmid = in_frame_format(image) ? shmget(IPC_PRIVATE, 640 * 480 * 4, IPC_CREAT | 0600) : -1;
  seg.shmaddr = image->data = seg.shmid < 0 ? (char*)-1 : (char*)shmat(seg.shmid, nullptr, 0);
  seg.readOnly = True;
  bool attached = seg.shmaddr != (char*)-1 && XShmAttach(d, &seg);
  if (attached) XSync(d, False);
  // Gone for good once the server and the game let go of it
  if (seg.shmid >= 0) shmctl(seg.shmid, IPC_RMID, nullptr);
  if (attached) return image;
  if (seg.shmaddr != (char*)-1) shmdt(seg.shmaddr);
  image->data = nullptr;
  XDestroyImage(image);
  return nullptr;
}

bool share_frame(BITMAP* frame) {
  static bool tried = false;
  if (frame == shared_frame) return true;
  if (!tried) {
    tried = true;
    XLOCK();
    // Allegro's own image of the screen lies in shared memory when the display allows it
    if (_xwin.display && _xwin.use_shm) shared_image = make_shared_image(_xwin.display);
    XUNLOCK();
  }
  if (!shared_image || frame->w != 640 || frame->h != 480 || bitmap_color_depth(frame) != 32) return false;
  for (int y = 0; y < 480; y++) {
    unsigned char* row = (unsigned char*)shared_image->data + y * 640 * 4;
    memcpy(row, frame->line[y], 640 * 4);
    frame->line[y] = row;
  }
  shared_frame = frame;
  return true;
}

void send_shared(int x, int y, int w, int h) {
  XLOCK();
  shown_x = frame_x, shown_y = frame_y;
  send_part_shown(x, y, w, h);
  XUNLOCK();
}

void show_written_region(int x, int y, int w, int h) {
  updating = true;
  _xwin_update_screen(x, y, w, h);
  updating = false;
}

// Allegro leaves the picture in Xlib's queue for its background thread to
// flush, which the game holds: sent now, every frame reaches the display
// the same time after it is drawn.
void send_to_display() {
  XLOCK();
  if (_xwin.display) XFlush(_xwin.display);
  XUNLOCK();
}
