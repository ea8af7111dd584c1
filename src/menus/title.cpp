#include "menus/title.h"

#include <allegro.h>

#include "draw/damage.h"
#include "draw/frame.h"
#include "draw/sprites.h"
#include "core/globals.h"
#include "core/controls.h"
#include "core/replay_file.h"

const char* const title_credit = "Bounce from cloud to cloud - arrows steer, space jumps";
bool replay_chosen = false;

void title_frame() {
  // Entries 1 to 3 are numbered as the stages they lead to: play, options, quit
  if (menu_step(1, 3)) {
    stage = menu_selection;
    replay_chosen = false;
  } else if (held(REPLAY) && loop_num > 5 && replay_kept(best_run_file)) {
    // R, under the confirm's hold-off, watches the best run when there is one
    stage = STAGE_PLAY;
    replay_chosen = true;
  }

  // Sky, the cursor cloud under the highlighted entry, then the texts over
  // it; a still title is drawn once, as nothing else draws into buffer
  // between its frames
  static struct {
    int selection;
    BITMAP* into;
    FONT *title, *text;
    unsigned long drawings;
  } drawn;
  if (drawn.selection != menu_selection || drawn.into != buffer || drawn.title != title || drawn.text != text ||
      drawn.drawings != frame_drawings()) {
    clear_to_color(buffer, sky_colour());
    draw_cloud(buffer, 320, 224 + 20 * menu_selection, 45);
    textout_ex(buffer, title, "Plu", 190, 120, makecol(255, 255, 255), -1);
    textout_ex(buffer, title, "Vesk", 320, 120, makecol(255, 255, 255), -1);
    textout_centre_ex(buffer, text, "Start game", 320, 240, makecol(0, 0, 0), -1);
    textout_centre_ex(buffer, text, "Options", 320, 260, makecol(0, 0, 0), -1);
    textout_centre_ex(buffer, text, "Quit", 320, 280, makecol(0, 0, 0), -1);
    textout_centre_ex(buffer, text, title_credit, 320, 470, makecol(0, 0, 0), -1);
    drawn = {menu_selection, buffer, title, text, frame_drawings()};
  }

  end_menu_frame();
}
