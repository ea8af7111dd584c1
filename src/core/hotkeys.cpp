#include "core/hotkeys.h"

#include <allegro.h>

#include "core/globals.h"
#include "core/screenshot.h"

void global_keys() {
  if (key[KEY_ESC]) stage = STAGE_TITLE;
  if (key[KEY_TAB]) take_screenshot(screenshot_file);
}
