#include "app/app.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>
#include <unistd.h>

#include "audio/music.h"
#include "audio/music_driver.h"
#include "draw/frame.h"
#include "menus/options.h"
#include "menus/title.h"
#include "play/screen.h"
#include "play/update.h"
#include "core/clock.h"
#include "desktop/command_line.h"
#include "desktop/display.h"
#include "core/globals.h"
#include "core/hotkeys.h"
#include "core/screenshot.h"
#include "desktop/session.h"
#include "core/settings.h"

static const long allegro_thread_slack_ns = 4000000;

static int stop_loading(const char* what, const char* file) {
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) snprintf(cwd, sizeof cwd, "(unknown)");
  fprintf(stderr, "plu-vesk: cannot %s \"%s\" in the working directory %s\n", what, file, cwd);
  return 1;
}

// The stage loop's test: the close button or a signal ends whatever screen is up.
static bool on_stage(int s) {
  if (quit_asked) stage = STAGE_QUIT;
  return stage == s;
}

// Between frames, on every screen: what the tune and the keys need.
static void after_frame() {
  music_update();
  settle_keys();
}

// A run holds still while the window is away from the keyboard: no frame is
// run or counted and the tune pauses, until the focus comes back or the game
// is asked to end.
static void hold_run() {
  midi_pause();
  while (!window_focused && !quit_asked && stage == STAGE_PLAY) rest(20);
  midi_resume();
}

// The temporary files of saves and screenshots cut short by a crash: beside
// the settings file, and beside its target when it is a link elsewhere.
static void tidy_up() {
  remove_stale_temporaries(".");
  char real[PATH_MAX];
  if (!follow_links(settings_file, real, sizeof real)) return;
  char* slash = strrchr(real, '/');
  if (!slash) return;
  *slash = 0;
  remove_stale_temporaries(real[0] ? real : "/");
}

int _mangled_main(int argc, char** argv) {
  // The command line first: --help and a wrong argument need no display.
  int status = read_command_line(argc, argv);
  if (status >= 0) return status;

  // Start-up, settings first so the saved mode and music switch govern it
  screen_mode[0] = GFX_AUTODETECT_WINDOWED;
  screen_mode[1] = GFX_AUTODETECT_WINDOWED;  // full screen too is a window (set_display says why)
  load_settings(settings_file);
  tidy_up();
  if (forced_mode >= 0) {
    kept_mode = mode;  // this run only: saves keep the file's mode
    mode = forced_mode;
  }
  catch_signals();

  name_window();
  name_music_stream();
  // Allegro's background thread wakes every millisecond only to look at the
  // clock, and handles input every 10 ms: threads inherit the timer slack,
  // so it is started with 4 ms of it, a third of its processor time. The
  // timer thread, started later, keeps the precise default.
  prctl(PR_SET_TIMERSLACK, allegro_thread_slack_ns);
  if (install_allegro(SYSTEM_AUTODETECT, &allegro_errnum, atexit) != 0) {
    fprintf(stderr, "plu-vesk: cannot start the Allegro library (is there a display? DISPLAY=%s)\n",
            getenv("DISPLAY") ? getenv("DISPLAY") : "");
    return 1;
  }
  prctl(PR_SET_TIMERSLACK, 0);  // back to the default
  watch_session();
  set_window_title(window_title);
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
  shot_frame = create_bitmap(640, 480);
  if (!buffer || !buffer2 || !shot_frame) {
    fprintf(stderr, "plu-vesk: cannot make the 640x480 frame bitmaps\n");
    return 1;
  }
  on_off[0] = "-";
  on_off[1] = "+";
  step_latch = false;
  set_volume(0, 150);
  if (music_on == 1) music_start();
  install_int(global_keys, 10);

  // Stage loop: title, play, options, round again until Quit
  for (;;) {
    loop_num = 0;
    menu_selection = 1;
    while (on_stage(STAGE_TITLE)) {
      title_frame();
      after_frame();
    }

    reset_play();
    while (on_stage(STAGE_PLAY)) {
      if (!window_focused) {
        hold_run();
        continue;
      }
      update_play();
      draw_play();
      present();
      wait_play_frame();
      loop_num += 1;
      after_frame();
    }

    loop_num = 0;
    menu_selection = 0;
    while (on_stage(STAGE_OPTIONS)) {
      options_frame();
      after_frame();
    }

    if (quit_asked || stage == STAGE_QUIT) break;
  }

  // Shut-down: the hot keys stop before the bitmaps they read go
  music_shut_down();
  remove_int(global_keys);
  destroy_bitmap(buffer);
  destroy_bitmap(buffer2);
  destroy_bitmap(shot_frame);
  destroy_font(title);
  destroy_midi(music);
  return 0;
}
