#include "pads/pads.h"

#include <SDL.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/controls.h"
#include "core/hotkeys.h"

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
};

// Filled by start_pads; every pointer set or the whole record null.
static sdl_api sdl;

const char* const pads_library = "libSDL2-2.0.so.0";
const char* input_devices_file = "/proc/bus/input/devices";
bool pads_on;
int pads_connected;
char pads_problem[256];

// The open pads; a slot is free while null.
static SDL_GameController* pads[max_pads];
// SDL numbers the joysticks it finds in order: one above this is new.
static SDL_JoystickID newest_seen = -1;
// While no pad is open SDL looks for one only this often: the look (at
// sockets and device lists) costs a frame far more than reading open pads.
static const int look_ms = 500;
static int next_look;  // ms clock of the next look

#define FIND(entry, symbol)                                                     \
  found.entry = reinterpret_cast<decltype(found.entry)>(dlsym(lib, #symbol)); \
  if (!found.entry) {                                                           \
    dlclose(lib);                                                               \
    return false;                                                               \
  }

static bool load_sdl(const char* library) {
  void* lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!lib) return false;
  sdl_api found;
  FIND(set_hint, SDL_SetHint);
  FIND(init_subsystem, SDL_InitSubSystem);
  FIND(quit, SDL_Quit);
  FIND(get_error, SDL_GetError);
  FIND(joystick_event_state, SDL_JoystickEventState);
  FIND(controller_event_state, SDL_GameControllerEventState);
  FIND(update, SDL_GameControllerUpdate);
  FIND(num_joysticks, SDL_NumJoysticks);
  FIND(device_instance, SDL_JoystickGetDeviceInstanceID);
  FIND(is_game_controller, SDL_IsGameController);
  FIND(open, SDL_GameControllerOpen);
  FIND(close, SDL_GameControllerClose);
  FIND(attached, SDL_GameControllerGetAttached);
  FIND(button, SDL_GameControllerGetButton);
  FIND(axis, SDL_GameControllerGetAxis);
  sdl = found;
  return true;
}
#undef FIND

bool start_pads(const char* library) {
  if (pads_on) return true;
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
  pads_on = true;
  return true;
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

static bool look_given_up;  // SDL could not come up: no more looks
static int next_pad_look;   // ms clock of the next look at the devices

void look_for_pads() {
  if (pads_on || look_given_up || ms_clock() < next_pad_look) return;
  next_pad_look = ms_clock() + 1000;
  if (!pad_may_be_there()) return;
  if (!start_pads(pads_library)) {
    fprintf(stderr, "plu-vesk: %s\n", pads_problem);
    look_given_up = true;
  }
}

static void close_pad(SDL_GameController*& p) {
  sdl.close(p);
  p = nullptr;
  pads_connected--;
}

// Closes the pads pulled out and opens those plugged in, while slots last.
static void take_in_pads() {
  for (SDL_GameController*& p : pads)
    if (p && !sdl.attached(p)) close_pad(p);
  SDL_JoystickID newest = newest_seen;
  int count = sdl.num_joysticks();
  for (int i = 0; i < count; i++) {
    SDL_JoystickID id = sdl.device_instance(i);
    if (id <= newest_seen) continue;
    if (id > newest) newest = id;
    if (!sdl.is_game_controller(i)) continue;  // no mapping: not a pad SDL can lay out
    for (SDL_GameController*& p : pads) {
      if (p) continue;
      p = sdl.open(i);
      if (p) pads_connected++;
      break;
    }
  }
  newest_seen = newest;
}

static bool down(SDL_GameController* c, SDL_GameControllerButton b) { return sdl.button(c, b) != 0; }

void read_pads(bool start_confirms, bool heed) {
  bool held[5] = {false, false, false, false, false};
  bool start = false, back = false;
  if (pads_on) {
    if (pads_connected > 0 || ms_clock() >= next_look) {
      sdl.update();
      next_look = ms_clock() + look_ms;
    }
    take_in_pads();
    for (SDL_GameController* c : pads) {
      if (!c) continue;
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
}

void stop_pads() {
  look_given_up = false;
  next_pad_look = 0;
  if (!pads_on) return;
  for (SDL_GameController*& p : pads)
    if (p) close_pad(p);
  sdl.quit();
  pads_on = false;
  newest_seen = -1;
  next_look = 0;
  read_pads(false, false);
}
