#include "play/pause.h"

#include <allegro.h>

#include "audio/music.h"
#include "core/globals.h"
#include "core/hotkeys.h"
#include "desktop/display.h"
#include "desktop/screensaver.h"
#include "desktop/session.h"
#include "draw/frame.h"
#include "pads/pads.h"
#include "play/update.h"

bool paused;

bool run_held() { return paused || !window_focused; }

void start_pause_watch() {
  paused = false;
  pause_pressed();
}

void watch_pause_key() {
  if (alive && loop_num > 0 && pause_pressed()) paused = true;
}

// "Paused" over the frame the run stopped on, which buffer still holds.
static void show_paused() {
  textout_centre_ex(buffer, title, "Paused", 320, 240 - text_height(title) / 2,
                    makecol(255, 255, 255), -1);
  present();
}

void hold_run() {
  keep_screen_awake(false);
  music_pause();
  if (paused) show_paused();
  while (run_held() && !quit_asked && stage == STAGE_PLAY) {
    rest(20);
    read_queued_input();
    read_pads(!alive, window_focused);
    if (paused && pause_pressed()) paused = false;
  }
  music_resume();
}
