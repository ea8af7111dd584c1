#include "audio/music.h"

#include <allegro.h>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <malloc.h>
#include <mutex>

#include "audio/music_driver.h"
#include "core/globals.h"
#include "core/threads.h"

// The main thread asks, the loader opens and closes. The main thread asks
// only once the tune is stopped, and starts it only once the loader has
// answered its last request: the two never touch the synthesizer at once.
static std::thread loader;          // from the first request for the tune until shut-down
static std::mutex lock;             // guards wanted, asked and ending
static std::condition_variable wake;  // the loader waits on it for a request
static bool wanted;                 // the last request: the tune or none
static int asked;                   // requests made; written by the main thread under the lock
static bool ending;                 // shut-down: the loader closes everything and ends
static std::atomic<int> answered{0};  // the request for the tune whose outcome is in load_result
static int load_result;             // MUSIC_OK, or why the open failed

// Main thread only.
static bool no_loader;  // no thread could be had for the loader: no music this run
static bool waiting;  // the tune was asked for and music_update has not yet taken the answer up
static bool playing;  // play_midi was called and stop_midi not since

static void close_and_trim() {
  music_close();
  // The SoundFont's samples go back to the system, not only to the heap.
  malloc_trim(0);
}

static void serve() {
  int served = 0;
  bool open = false;  // the synthesizer is open and ready
  std::unique_lock<std::mutex> hold(lock);
  for (;;) {
    wake.wait(hold, [&] { return ending || served != asked; });
    if (ending) break;
    served = asked;
    bool on = wanted;
    if (on) music_stop_load = false;  // set again, under the lock, by a request to stop
    if (on && open) {
      load_result = MUSIC_OK;  // switched off and on again before the close began
      answered = served;
      continue;
    }
    if (!on && !open) continue;
    hold.unlock();
    if (on) {
      int result = music_open(true, music);
      hold.lock();
      if (!music_stop_load) {
        open = result == MUSIC_OK;
        load_result = result;
        answered = served;
        continue;
      }
      // Switched off meanwhile: the load stopped at its next read, or
      // finished unwanted. The requests since decide what opens next.
      hold.unlock();
    }
    close_and_trim();
    open = false;
    hold.lock();
  }
  hold.unlock();
  music_close();
}

// A request from the main thread; the first one for the tune starts the loader.
static void ask(bool on) {
  waiting = on;
  if (!loader.joinable()) {
    if (on && !no_loader) no_loader = !start_thread(loader, serve, "music");
    if (!loader.joinable()) {  // nothing was ever opened, or nothing can be
      waiting = false;
      return;
    }
  }
  std::lock_guard<std::mutex> hold(lock);
  wanted = on;
  asked++;
  if (!on) music_stop_load = true;
  wake.notify_one();
}

void music_start() {
  if (music) ask(true);  // no tune, nothing to load it for
}

void music_update() {
  if (!waiting || answered != asked) return;
  waiting = false;
  if (load_result == MUSIC_OK) {
    play_midi(music, 1);
    playing = true;
  } else {
    fprintf(stderr, "plu-vesk: %s\n", music_problem);
  }
}

// The tune stops before the loader may close what it plays on.
static void stop_tune() {
  if (playing) stop_midi();
  playing = false;
}

void music_switch(bool on) {
  if (on && !music) return;
  if (!on) stop_tune();
  ask(on);
}

bool music_loading() { return waiting; }

void music_shut_down() {
  stop_tune();
  waiting = false;
  if (!loader.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock);
    ending = true;
    music_stop_load = true;
    wake.notify_one();
  }
  loader.join();
  ending = false;
  asked = 0;
  answered = 0;
}
