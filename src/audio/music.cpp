#include "audio/music.h"

#include <allegro.h>
#include <atomic>
#include <cstdio>
#include <malloc.h>
#include <thread>

#include "audio/music_driver.h"
#include "core/globals.h"

static std::thread loader;             // the start-up load, while it runs or until joined
static std::atomic<bool> loaded{false};  // the loader has finished
static int load_result;                // its outcome, written before loaded

static void load() {
  load_result = music_open(true);
  loaded = true;
}

// The tune from its beginning once the load succeeded, else why there is none.
static void play_or_say_why() {
  if (load_result == MUSIC_OK) play_midi(music, 1);
  else fprintf(stderr, "plu-vesk: %s\n", music_problem);
}

void music_start() {
  if (!music) return;  // no tune, nothing to load it for
  loaded = false;
  loader = std::thread(load);
}

void music_update() {
  if (!loader.joinable() || !loaded) return;
  loader.join();
  play_or_say_why();
}

void music_switch(bool on) {
  if (on) {
    if (!music) return;
    if (loader.joinable()) {
      loader.join();  // the start-up load, still going
    } else if (!music_ready) {
      load_result = music_open(true);
    }
    play_or_say_why();
  } else {
    music_shut_down();
    // The SoundFont's samples go back to the system, not only to the heap.
    malloc_trim(0);
  }
}

bool music_loading() { return loader.joinable(); }

void music_shut_down() {
  if (loader.joinable()) loader.join();
  stop_midi();
  music_close();
}
