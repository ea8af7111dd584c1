#include "menus/options.h"

#include <allegro.h>
#include <cstdlib>

#include "audio/music.h"
#include "draw/frame.h"
#include "draw/sprites.h"
#include "core/controls.h"
#include "desktop/display.h"
#include "core/globals.h"
#include "core/screenshot.h"
#include "core/settings.h"

const char* const options_credit = "Plu Vesk - a small game of sky, clouds and orbs";

void options_frame() {
  // Entries 0 to 2, each acting on every frame the confirm key is down
  if (menu_step(0, 2)) {
    if (menu_selection == 0) {
      kept_mode = -1;  // the player's choice now, whatever the command line said
      // A mode that cannot be set gives way to the one before: no screen at all would crash
      if (!set_display((mode + 1) % 2)) {
        music_shut_down();
        stop_screenshot_writer();  // exit() must not meet a thread still running
        exit(1);
      }
    } else if (menu_selection == 1) {
      music_on = (music_on + 1) % 2;
      music_switch(music_on);
    } else {
      stage = STAGE_TITLE;
      kept_mode = -1;
      save_settings(settings_file);
    }
    rest(100);
  }

  // Sky, cursor cloud, heading, lines
  clear_to_color(buffer, sky_colour());
  draw_cloud(buffer, 325, 244 + 20 * menu_selection, 55);
  textout_ex(buffer, title, "Options", 200, 120, makecol(255, 255, 255), -1);
  textprintf_centre_ex(buffer, text, 320, 240, makecol(0, 0, 0), -1, "Fullscreen: %s", on_off[mode]);
  textprintf_centre_ex(buffer, text, 320, 260, makecol(0, 0, 0), -1, "Music: %s", on_off[music_on]);
  textprintf_centre_ex(buffer, text, 320, 200, makecol(0, 0, 0), -1, "High Score: %i", high_score);
  textout_centre_ex(buffer, text, options_credit, 320, 460, makecol(0, 0, 0), -1);
  textout_centre_ex(buffer, text, "Return", 320, 280, makecol(0, 0, 0), -1);

  end_menu_frame();
}
