#include "app/app.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>
#include <unistd.h>

#include "audio/music.h"
#include "audio/tune_file.h"
#include "core/clock.h"
#include "core/files.h"
#include "core/globals.h"
#include "core/hotkeys.h"
#include "core/screenshot.h"
#include "core/settings.h"
#include "desktop/command_line.h"
#include "desktop/display.h"
#include "desktop/screensaver.h"
#include "desktop/session.h"
#include "draw/frame.h"
#include "draw/title_font.h"
#include "menus/options.h"
#include "menus/title.h"
#include "pads/pads.h"
#include "play/screen.h"
#include "play/update.h"

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

// Between frames, on every screen: what the tune, the keys and the pads need.
static void after_frame() {
  music_update();
  settle_keys();
  // After the frame: SDL takes longer to load than all the rest of start-up.
  look_for_pads();
}

static bool paused;  // the player paused the run

// The one place that decides whether the run holds still: paused, or the
// window away from the keyboard.
static bool run_held() { return paused || !window_focused; }

// Once a frame of a run: P, Pause or a pad's Start pauses it while the ball
// is alive, from its second frame on (buffer then holds a frame of this run
// to show); on the game-over panel Start is the confirm key.
static void read_run_controls() {
  read_pads(!alive, window_focused);
  if (alive && loop_num > 0 && pause_pressed()) paused = true;
}

// "Paused" over the frame the run stopped on, which buffer still holds.
static void show_paused() {
  textout_centre_ex(buffer, title, "Paused", 320, 240 - text_height(title) / 2,
                    makecol(255, 255, 255), -1);
  present();
}

// While the run is held no frame is run or counted, the tune pauses and the
// screensaver may come, until the same key resumes it, the focus comes back,
// or Esc or the game's end ends the run. A focus that comes and goes leaves a
// pause as it is.
static void hold_run() {
  keep_screen_awake(false);
  music_pause();
  if (paused) show_paused();
  while (run_held() && !quit_asked && stage == STAGE_PLAY) {
    rest(20);
    read_pads(!alive, window_focused);
    if (paused && pause_pressed()) paused = false;
  }
  music_resume();
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

  // Start-up, settings first so the saved mode and music switch govern it
  screen_mode[0] = GFX_AUTODETECT_WINDOWED;
  screen_mode[1] = GFX_AUTODETECT_WINDOWED;  // full screen too is a window (set_display says why)
  load_settings(settings_file);
  // What saves and screenshots cut short by a crash left
  remove_stale_temporaries_of(settings_file);
  remove_stale_temporaries_of(screenshot_file);
  if (forced_mode >= 0) {
    kept_mode = mode;  // this run only: saves keep the file's mode
    mode = forced_mode;
  }
  catch_signals();

  name_window();
  skip_compose_table();
  skip_allegro_modules();
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

  // Stage loop: title, play, options, round again until Quit
  for (;;) {
    loop_num = 0;
    menu_selection = 1;
    while (on_stage(STAGE_TITLE)) {
      read_pads(true, window_focused);
      title_frame();
      after_frame();
    }

    reset_play();
    paused = false;
    pause_pressed();  // a key already down when the run begins pauses nothing
    while (on_stage(STAGE_PLAY)) {
      read_run_controls();
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
    }
    keep_screen_awake(false);  // the menus let the screensaver come

    loop_num = 0;
    menu_selection = 0;
    while (on_stage(STAGE_OPTIONS)) {
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
  return 0;
}
