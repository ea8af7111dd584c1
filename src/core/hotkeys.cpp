#include "core/hotkeys.h"

#include <allegro.h>

#include "core/globals.h"
#include "core/screenshot.h"

std::atomic<bool> pad_escape{false};
bool pad_pause;

void global_keys() {
  if (key[KEY_ESC] || pad_escape) stage = STAGE_TITLE;
  if (key[KEY_TAB]) take_screenshot(screenshot_file);
}

bool hot_keys_up() { return !key[KEY_ESC] && !key[KEY_TAB] && !pad_escape; }

bool pause_pressed() {
  // A press, not a hold: the key that pauses must be let go before it resumes.
  static bool was_down = false;
  bool down = key[KEY_P] || key[KEY_PAUSE] || pad_pause;
  bool pressed = down && !was_down;
  was_down = down;
  return pressed;
}
