#include "pads/pads.h"

#include <SDL.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/clock.h"
#include "core/controls.h"
#include "core/hotkeys.h"
#include "core/library_entries.h"
#include "core/threads.h"
#include "core/timer_driver.h"

// SDL's entry points, looked up in the library at run time. The types come
// from its header, so a changed signature fails to compile here.
struct sdl_api {
  decltype(&SDL_SetHint) set_hint;
  decltype(&SDL_InitSubSystem) init_subsystem;
  decltype(&SDL_Quit) quit;
  decltype(&SDL_GetError) get_error;
  decltype(&SDL_JoystickEventState) joystick_event_state;
  decltype(&SDL_GameControllerEventState) controller_event_state;
  decltype(&SDL_GameControllerUpdate) update;
  decltype(&SDL_NumJoysticks) num_joysticks;
  decltype(&SDL_JoystickGetDeviceInstanceID) device_instance;
  decltype(&SDL_IsGameController) is_game_controller;
  decltype(&SDL_GameControllerOpen) open;
  decltype(&SDL_GameControllerClose) close;
  decltype(&SDL_GameControllerGetAttached) attached;
  decltype(&SDL_GameControllerGetButton) button;
  decltype(&SDL_GameControllerGetAxis) axis;
  decltype(&SDL_TLSCleanup) thread_cleanup;  // null before SDL 2.0.16
};

// Filled by bring_up_sdl; every pointer set (thread_cleanup aside) or the whole record null.
static sdl_api sdl;

const char* pads_library = "libSDL2-2.0.so.0";
const char* input_devices_file = "/proc/bus/input/devices";
bool pads_on;
int pads_connected;
char pads_problem[256];
std::atomic<bool> pads_loading{false};

// An open pad, and the instance id SDL gave its joystick.
struct open_pad {
  SDL_GameController* controller;
  SDL_JoystickID id;
};
// SDL 2.26 keeps its joysticks in lists with no limit of its own (only the
// kernel's input devices and the open files are counted), so this table has
// none either.
static std::vector<open_pad> pads;
// Devices tried since the last look that did not open.
static std::vector<SDL_JoystickID> passed_over;
static int next_look;  // ms clock of the next look

static bool find_entries(void* lib, sdl_api& found) {
  FIND_ENTRY(set_hint, SDL_SetHint);
  FIND_ENTRY(init_subsystem, SDL_InitSubSystem);
  FIND_ENTRY(quit, SDL_Quit);
  FIND_ENTRY(get_error, SDL_GetError);
  FIND_ENTRY(joystick_event_state, SDL_JoystickEventState);
  FIND_ENTRY(controller_event_state, SDL_GameControllerEventState);
  FIND_ENTRY(update, SDL_GameControllerUpdate);
  FIND_ENTRY(num_joysticks, SDL_NumJoysticks);
  FIND_ENTRY(device_instance, SDL_JoystickGetDeviceInstanceID);
  FIND_ENTRY(is_game_controller, SDL_IsGameController);
  FIND_ENTRY(open, SDL_GameControllerOpen);
  FIND_ENTRY(close, SDL_GameControllerClose);
  FIND_ENTRY(attached, SDL_GameControllerGetAttached);
  FIND_ENTRY(button, SDL_GameControllerGetButton);
  FIND_ENTRY(axis, SDL_GameControllerGetAxis);
  return true;
}

static bool load_sdl(const char* library) {
  void* lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!lib) return false;
  sdl_api found;
  if (!find_entries(lib, found)) {
    dlclose(lib);
    return false;
  }
  found.thread_cleanup = reinterpret_cast<decltype(found.thread_cleanup)>(dlsym(lib, "SDL_TLSCleanup"));
  sdl = found;
  return true;
}

// The work of start_pads, on whichever thread: fills sdl and pads_problem.
static bool bring_up_sdl(const char* library) {
  pads_problem[0] = 0;
  if (!load_sdl(library)) {
    snprintf(pads_problem, sizeof pads_problem,
             "no gamepads, keyboard only: the SDL2 library (%s) is not installed; "
             "install libsdl2-2.0-0 to play with a gamepad", library);
    return false;
  }
  // The game has its own SIGINT and SIGTERM handling.
  sdl.set_hint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (sdl.init_subsystem(SDL_INIT_GAMECONTROLLER) != 0) {
    snprintf(pads_problem, sizeof pads_problem,
             "no gamepads, keyboard only: SDL could not start its game controllers (%s)",
             sdl.get_error());
    sdl.quit();
    return false;
  }
  // Nothing reads SDL's event queue: the pads are read directly, so no
  // event of theirs may pile up in it.
  sdl.joystick_event_state(SDL_IGNORE);
  sdl.controller_event_state(SDL_IGNORE);
  return true;
}

bool start_pads(const char* library) {
  if (!pads_on) pads_on = bring_up_sdl(library);
  return pads_on;
}

// The buttons that make a device a joystick or a gamepad to the kernel:
// BTN_JOYSTICK to BTN_THUMBR, and the extra buttons of dance mats and guitars.
static bool pad_button(int code) { return (code >= 0x120 && code <= 0x13f) || (code >= 0x2c0 && code <= 0x2e7); }

bool lists_a_pad(const char* devices) {
  const int word_bits = (int)sizeof(long) * 8;  // the kernel writes its bitmaps in longs
  for (const char* line = devices; *line;) {
    const char* end = strchr(line, '\n');
    if (!end) end = line + strlen(line);
    // "H: Handlers=kbd event3" names js<N> for a joystick the joydev driver took
    if (strncmp(line, "H: Handlers=", 12) == 0) {
      for (const char* h = line + 12; h < end; h++)
        if ((h == line + 12 || h[-1] == ' ') && strncmp(h, "js", 2) == 0) return true;
    }
    // "B: KEY=7cdb000000000000 0 0 0 0": the key bitmap, highest word first
    if (strncmp(line, "B: KEY=", 7) == 0) {
      unsigned long words[32];
      int n = 0;
      for (const char* w = line + 7; n < 32;) {
        while (w < end && *w == ' ') w++;
        if (w >= end || !isxdigit((unsigned char)*w)) break;
        char* next;
        words[n++] = strtoul(w, &next, 16);
        w = next;
      }
      for (int i = 0; i < n; i++)
        for (int bit = 0; bit < word_bits; bit++)
          if ((words[i] >> bit & 1) && pad_button((n - 1 - i) * word_bits + bit)) return true;
    }
    line = *end ? end + 1 : end;
  }
  return false;
}

// Whether a pad may be plugged in now.
static bool pad_may_be_there() {
  const char* named = getenv("SDL_JOYSTICK_DEVICE");
  if (named && *named) return true;
  int fd = open(input_devices_file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno != ENOENT;  // no input devices at all, or no telling
  static char devices[65536];
  size_t got = 0;
  ssize_t n;
  while (got < sizeof devices - 1 && (n = read(fd, devices + got, sizeof devices - 1 - got)) > 0) got += n;
  close(fd);
  devices[got] = 0;
  return got == sizeof devices - 1 || lists_a_pad(devices);  // a list too long to read holds anything
}

static bool look_given_up;     // SDL could not come up: no more looks
static int next_pad_look;      // ms clock of the next look at the devices
static bool loader_out;        // a loader thread was started and not yet heard from
static bool loader_brought_up; // what it came to, set before pads_loading clears
// How long the shut-down waits for a load under way.
static const int loader_wait_ms = 250;

static void load_sdl_alone() {
  loader_brought_up = bring_up_sdl(pads_library);
  // SDL keeps a thread's last error until that thread frees it.
  if (sdl.thread_cleanup) sdl.thread_cleanup();
  pads_loading = false;
}

static void give_up() {
  fprintf(stderr, "plu-vesk: %s\n", pads_problem);
  look_given_up = true;
}

void look_for_pads() {
  if (pads_on || look_given_up) return;
  if (loader_out) {
    if (pads_loading) return;
    loader_out = false;
    if (loader_brought_up) pads_on = true;
    else give_up();
    return;
  }
  if (ms_clock() < next_pad_look) return;
  next_pad_look = ms_clock() + 1000;
  if (!pad_may_be_there()) return;
  pads_loading = true;
  loader_out = true;
  std::thread loader;
  if (!start_thread(loader, load_sdl_alone, "gamepads")) {
    pads_loading = false;
    loader_out = false;
    look_given_up = true;  // said by start_thread: keyboard only
    return;
  }
  loader.detach();  // the shut-down waits for it only a moment
}

static bool is_open(SDL_JoystickID id) {
  for (const open_pad& p : pads)
    if (p.id == id) return true;
  return false;
}

// Closes the pads pulled out and opens every device SDL lists that it can
// lay out as a pad: a new one at once, one that did not open at the next
// look (a mapping may have come, or the device may have become readable).
static void take_in_pads(bool look) {
  for (size_t k = 0; k < pads.size();) {
    if (sdl.attached(pads[k].controller)) {
      k++;
      continue;
    }
    sdl.close(pads[k].controller);
    pads[k] = pads.back();
    pads.pop_back();
  }
  if (look) passed_over.clear();
  int count = sdl.num_joysticks();
  for (int i = 0; i < count; i++) {
    SDL_JoystickID id = sdl.device_instance(i);
    if (is_open(id) || std::find(passed_over.begin(), passed_over.end(), id) != passed_over.end()) continue;
    SDL_GameController* c = sdl.is_game_controller(i) ? sdl.open(i) : nullptr;
    if (c) pads.push_back({c, id});
    else passed_over.push_back(id);
  }
  pads_connected = (int)pads.size();
}

static bool down(SDL_GameController* c, SDL_GameControllerButton b) { return sdl.button(c, b) != 0; }

void read_pads(bool start_confirms, bool heed) {
  bool held[5] = {false, false, false, false, false};
  bool start = false, back = false;
  if (pads_on) {
    bool look = ms_clock() >= next_look;
    if (look) next_look = ms_clock() + pad_look_ms;
    if (look || !pads.empty()) sdl.update();
    take_in_pads(look);
    for (const open_pad& p : pads) {
      SDL_GameController* c = p.controller;
      int sx = sdl.axis(c, SDL_CONTROLLER_AXIS_LEFTX), sy = sdl.axis(c, SDL_CONTROLLER_AXIS_LEFTY);
      held[LEFT] |= down(c, SDL_CONTROLLER_BUTTON_DPAD_LEFT) || sx < -stick_half;
      held[RIGHT] |= down(c, SDL_CONTROLLER_BUTTON_DPAD_RIGHT) || sx > stick_half;
      held[UP] |= down(c, SDL_CONTROLLER_BUTTON_DPAD_UP) || sy < -stick_half;
      held[DOWN] |= down(c, SDL_CONTROLLER_BUTTON_DPAD_DOWN) || sy > stick_half;
      held[JUMP] |= down(c, SDL_CONTROLLER_BUTTON_A);
      start |= down(c, SDL_CONTROLLER_BUTTON_START);
      back |= down(c, SDL_CONTROLLER_BUTTON_BACK);
    }
  }
  if (start_confirms) held[JUMP] |= start;
  for (int control = 0; control < 5; control++) pad_held[control] = heed && held[control];
  pad_pause = heed && start;
  pad_escape = heed && back;
  wake_timer();
}

void stop_pads() {
  look_given_up = false;
  next_pad_look = 0;
  if (!wait_for(pads_loading, false, loader_wait_ms)) return;  // left to itself, and SDL untouched: the game is ending
  if (loader_out) {  // done, not yet taken up
    loader_out = false;
    pads_on = pads_on || loader_brought_up;
  }
  if (!pads_on) return;
  for (const open_pad& p : pads) sdl.close(p.controller);
  pads.clear();
  passed_over.clear();
  pads_connected = 0;
  sdl.quit();
  pads_on = false;
  next_look = 0;
  read_pads(false, false);
}
