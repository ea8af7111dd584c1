#include "app/app.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "audio/music.h"
#include "audio/tune_file.h"
#include "core/clock.h"
#include "core/files.h"
#include "core/game_random.h"
#include "core/globals.h"
#include "core/hotkeys.h"
#include "core/replay_file.h"
#include "core/screenshot.h"
#include "core/settings.h"
#include "core/timer_driver.h"
#include "desktop/command_line.h"
#include "desktop/display.h"
#include "desktop/screensaver.h"
#include "desktop/session.h"
#include "draw/frame.h"
#include "draw/title_font.h"
#include "menus/options.h"
#include "menus/title.h"
#include "pads/pads.h"
#include "play/pause.h"
#include "play/replay.h"
#include "play/screen.h"
#include "play/update.h"

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

// Between frames, on every screen: what the tune, the keys and the pads need.
static void after_frame() {
  music_update();
  settle_keys();
  // After the frame: once a second a look at the kernel's list of devices.
  look_for_pads();
}

// The end of a watched run: its last frame, the panel, stands 2 s unless Esc,
// Back or the close button end it sooner; then the title.
static void hold_panel() {
  for (int f = 0; f < 100 && on_stage(STAGE_PLAY); f++) {
    rest(20);
    read_queued_input();
    read_pads(true, window_focused);
    after_frame();
  }
  if (stage == STAGE_PLAY) stage = STAGE_TITLE;
}

// Allegro loads every module its modules.lst names: ALSA sound and MIDI, and
// DGA full screen. The game uses none of them (its music does not go through
// Allegro, its window is plain X11), so the list beside the
// executable, which names none, is the one Allegro is pointed at.
static void skip_allegro_modules() {
  if (getenv("ALLEGRO_MODULES")) return;  // the player's own
  char dir[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", dir, sizeof dir - 1);
  if (n <= 0) return;
  dir[n] = 0;
  char* slash = strrchr(dir, '/');
  if (!slash) return;
  *slash = 0;
  char list[PATH_MAX + 16];
  snprintf(list, sizeof list, "%s/modules.lst", dir);
  if (access(list, R_OK) == 0) setenv("ALLEGRO_MODULES", dir, 1);
}

int _mangled_main(int argc, char** argv) {
  // The command line first: --help and a wrong argument need no display.
  int status = read_command_line(argc, argv);
  if (status >= 0) return status;
  // Verifying needs no display; a replay to watch is checked before one opens.
  if (replay_to_verify) return verify_replay(replay_to_verify);
  if (replay_to_watch && !load_replay(replay_to_watch)) return 2;

  // Start-up, settings first so the saved mode and music switch govern it
  screen_mode[0] = GFX_AUTODETECT_WINDOWED;
  screen_mode[1] = GFX_AUTODETECT_WINDOWED;  // full screen too is a window (set_display says why)
  load_settings(settings_file);
  // What saves and screenshots cut short by a crash left
  remove_stale_temporaries_of(settings_file);
  remove_stale_temporaries_of(screenshot_file);
  remove_stale_temporaries_of(last_run_file);
  remove_stale_temporaries_of(best_run_file);
  if (forced_mode >= 0) {
    kept_mode = mode;  // this run only: saves keep the file's mode
    mode = forced_mode;
  }
  catch_signals();

  name_window();
  skip_compose_table();
  skip_allegro_modules();
  if (install_allegro(SYSTEM_AUTODETECT, &allegro_errnum, atexit) != 0) {
    fprintf(stderr, "plu-vesk: cannot start the Allegro library (is there a display? DISPLAY=%s)\n",
            getenv("DISPLAY") ? getenv("DISPLAY") : "");
    return 1;
  }
  watch_session();
  set_window_title(window_title);
  install_keyboard();
  install_mouse();
  use_own_timer();
  install_timer();
  set_color_depth(32);
  if (!set_display(mode)) return 1;
  game_srand(time(NULL) + ms_clock());
  load_tune("sky.mid");
  title = load_title_font("bubble.pcx");
  if (!title) return stop_loading("load the title font", "bubble.pcx");
  text = font;
  buffer = create_bitmap(640, 480);
  buffer2 = create_bitmap(640, 480);
  if (!buffer || !buffer2 || !start_screenshots()) {
    fprintf(stderr, "plu-vesk: cannot make the 640x480 frame bitmaps\n");
    return 1;
  }
  on_off[0] = "-";
  on_off[1] = "+";
  step_latch = false;
  if (music_on == 1) music_start();
  install_int(global_keys, 10);
  let_timer_rest(global_keys, hot_keys_up);  // the keys change only when the main thread reads them
  hold_allegro_thread();
  atexit(let_go_allegro_thread);  // before Allegro's own exit, which joins it

  // Stage loop: title, play, options, round again until Quit; a replay on
  // the command line is one run, watched
  int end_status = 0;
  if (replay_to_watch) stage = STAGE_PLAY;
  for (;;) {
    loop_num = 0;
    menu_selection = 1;
    while (on_stage(STAGE_TITLE)) {
      read_queued_input();
      read_pads(true, window_focused);
      title_frame();
      after_frame();
    }

    // A run from the title's R, or the command line's, is watched; any other
    // is recorded from a seed of its own, drawn from the game's sequence
    if (stage == STAGE_PLAY && replay_chosen && !load_replay(best_run_file)) stage = STAGE_TITLE;
    if (stage == STAGE_PLAY && (replay_chosen || replay_to_watch)) {
      start_watching();
    } else if (stage == STAGE_PLAY) {
      unsigned seed = game_rand();
      game_srand(seed);
      start_recording(seed);
    }
    reset_play();
    start_pause_watch();
    while (on_stage(STAGE_PLAY)) {
      read_queued_input();
      read_pads(!alive, window_focused);
      watch_pause_key();
      if (run_held()) {
        hold_run();
        continue;
      }
      update_play();
      keep_screen_awake(alive);
      draw_play();
      present();
      wait_play_frame();
      loop_num += 1;
      after_frame();
      if (watching && replay_over()) hold_panel();
    }
    keep_screen_awake(false);  // the menus let the screensaver come
    if (watching) {
      stop_watching();
      if (replay_to_watch) {
        end_status = watched_status();
        break;
      }
    } else {
      end_recording();
    }

    loop_num = 0;
    menu_selection = 0;
    while (on_stage(STAGE_OPTIONS)) {
      read_queued_input();
      read_pads(true, window_focused);
      options_frame();
      after_frame();
    }

    if (quit_asked || stage == STAGE_QUIT) break;
  }

  // Shut-down: the hot keys, then the screenshot's writer, stop before the
  // bitmaps they read go
  screensaver_shut_down();
  music_shut_down();
  remove_int(global_keys);
  stop_screenshots();
  stop_pads();
  destroy_bitmap(buffer);
  destroy_bitmap(buffer2);
  destroy_font(title);
  return end_status;
}
