#include "shell/app.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include "draw/frame.h"
#include "menus/options.h"
#include "menus/title.h"
#include "play/screen.h"
#include "play/update.h"
#include "shell/clock.h"
#include "shell/hotkeys.h"
#include "shell/music_driver.h"
#include "shell/settings.h"

std::atomic<int> stage{0};
int loop_num;
int menu_selection;
bool step_latch;

int screen_mode[2];
const char* on_off[2];

MIDI* music;
FONT* title;
FONT* text;
BITMAP* buffer;
BITMAP* buffer2;

bool set_display(int m) {
  if (set_gfx_mode(screen_mode[m], 640, 480, 0, 0) == 0) {
    mode = m;
    return true;
  }
  fprintf(stderr, "plu-vesk: cannot open the %s display (%s), trying the %s\n",
          m ? "full-screen" : "windowed", allegro_error, m ? "window" : "full screen");
  if (set_gfx_mode(screen_mode[1 - m], 640, 480, 0, 0) == 0) {
    mode = 1 - m;
    return true;
  }
  fprintf(stderr, "plu-vesk: cannot open a 640x480 display in 32-bit colour: %s\n", allegro_error);
  return false;
}

static int stop_loading(const char* what, const char* file) {
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) snprintf(cwd, sizeof cwd, "(unknown)");
  fprintf(stderr, "plu-vesk: cannot %s \"%s\" in the working directory %s\n", what, file, cwd);
  return 1;
}

int _mangled_main() {
  // Start-up, settings first so the saved mode and music switch govern it
  screen_mode[0] = GFX_AUTODETECT_WINDOWED;
  screen_mode[1] = GFX_AUTODETECT_FULLSCREEN;
  load_settings(settings_file);

  if (install_allegro(SYSTEM_AUTODETECT, &errno, atexit) != 0) {
    fprintf(stderr, "plu-vesk: cannot start the Allegro library (is there a display? DISPLAY=%s)\n",
            getenv("DISPLAY") ? getenv("DISPLAY") : "");
    return 1;
  }
  install_keyboard();
  install_mouse();
  install_timer();
  set_color_depth(32);
  if (!set_display(mode)) return 1;
  srand(time(NULL) + ms_clock());
  register_music_driver();
  install_sound(DIGI_NONE, MIDI_AUTODETECT, "");
  load_midi_patches();
  music = load_midi("sky.mid");
  title = load_bitmap_font("bubble.pcx", NULL, NULL);
  if (!title) return stop_loading("load the title font", "bubble.pcx");
  text = font;
  buffer = create_bitmap(640, 480);
  buffer2 = create_bitmap(640, 480);
  if (!buffer || !buffer2) {
    fprintf(stderr, "plu-vesk: cannot make the 640x480 frame bitmaps\n");
    return 1;
  }
  on_off[0] = "-";
  on_off[1] = "+";
  step_latch = false;
  set_volume(0, 150);
  if (music_on == 1) play_midi(music, 1);
  install_int(global_keys, 10);

  // Stage loop: title, play, options, round again until Quit
  for (;;) {
    loop_num = 0;
    menu_selection = 1;
    while (stage == 0) title_frame();

    reset_play();
    while (stage == 1) {
      update_play();
      draw_play();
      present();
      wait_play_frame();
      loop_num += 1;
    }

    loop_num = 0;
    menu_selection = 0;
    while (stage == 2) options_frame();

    if (stage > 2) break;
  }

  // Shut-down: the hot keys stop before the bitmaps they read go
  stop_midi();
  remove_int(global_keys);
  destroy_bitmap(buffer);
  destroy_bitmap(buffer2);
  destroy_font(title);
  destroy_midi(music);
  return 0;
}
