#include "core/controls.h"

#include <allegro.h>

#include "core/globals.h"

const int b[6] = {KEY_LEFT, KEY_RIGHT, KEY_DOWN, KEY_UP, KEY_SPACE, KEY_R};
bool pad_held[6];

bool held(int control) { return key[b[control]] != 0 || pad_held[control]; }

bool menu_step(int first, int last) {
  // The latch clears only on a frame that took no step, so a held key steps
  // every second frame; up is tested first and wins.
  bool stepped = false;
  if (held(UP) && !step_latch) {
    menu_selection -= 1;
    step_latch = true;
    stepped = true;
  }
  if (held(DOWN) && !step_latch) {
    menu_selection += 1;
    step_latch = true;
    stepped = true;
  }
  if (!stepped) step_latch = false;

  if (menu_selection > last) menu_selection = first;
  if (menu_selection < first) menu_selection = last;

  return held(JUMP) && loop_num > 5;
}
