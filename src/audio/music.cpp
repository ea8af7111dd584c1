#include "audio/music.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

#include "audio/fluid_library.h"
#include "audio/sound_server.h"
#include "audio/tune_file.h"
#include "audio/tune_loop.h"
#include "audio/tune_render.h"
#include "core/clock.h"
#include "core/threads.h"

// Between the main thread and the music thread: requests one way, lines for
// stderr the other. Nothing here is freed at the end, so that a music
// thread left behind then never meets a destroyed object.
static std::thread music_thread;         // from the first request for the tune to shut-down
static int wake = -1;                    // eventfd that wakes the music thread
static std::atomic<int> request_word{0};  // requests made, times two, plus one when the last wants the tune
static std::atomic<int> answered{0};     // the last request for the tune that was answered: it plays, or was said why not
static std::atomic<bool> ending{false};  // shut-down: the music thread closes everything and ends
static std::atomic<bool> ended{false};   // the music thread has ended
static std::mutex said_lock;             // guards said
static char said[1024];                  // lines for stderr the main thread has not yet printed

static const int exit_wait_ms = 200;     // the longest shut-down waits for the music thread
static const int render_wait_ms = 100;   // the longest the music thread then waits for a render
static const int retry_max_ms = 5000;    // the longest between two attempts at the server
static const int stream_head = loop_rate / 2;  // rendered frames the stream starts with

// Main thread only.
static int requests;    // requests made
static bool no_thread;  // none could be had: no music this run
static bool waiting;    // a request for the tune has no answer yet

// The render thread, started and joined by the music thread. Never
// destroyed: it may be running still when the process ends.
static std::thread* render_thread = new std::thread;
static std::atomic<bool> render_done{false};  // render_tune has returned
static std::atomic<int> render_result{RENDER_OK};
static bool render_left;  // one was still running when the music thread ended: no more renders

// Music thread only.
static bool sound_loop;      // libpulse and its main loop are there
static int request;          // the request served, as in request_word
static bool on;              // it wants the tune
static bool gave_up;         // it can have no music, and was said why
static bool rendering;       // the render thread runs, or has not been joined
static int rendered_for;     // the request it renders for
static bool heard;           // the tune has played since the request
static bool server_missing;  // the server failed and has not answered since
static bool said_missing;    // ... and that was said
static int failures;         // attempts at the server in a row that failed
static int retry_at;         // ms_clock of the next attempt

static void say(const char* line) {
  std::lock_guard<std::mutex> hold(said_lock);
  size_t used = strlen(said);
  snprintf(said + used, sizeof said - used, "plu-vesk: %s\n", line);
}

static void wake_music() {
  uint64_t one = 1;
  ssize_t n = write(wake, &one, sizeof one);
  (void)n;  // can only fail on an overflowing count, which still wakes it
}

// Named, so that the processor time of each shows per thread.
static void render_body() {
  pthread_setname_np(pthread_self(), "tune render");
  render_result = render_tune(wake_music);
  render_done = true;
  wake_music();
}

static void give_up() {
  gave_up = true;
  answered = request / 2;
  disconnect_server();
  render_stop = true;
}

static void start_render() {
  if (!make_loop(std::max(1LL, llround(tune_seconds * loop_rate)))) {
    say("no music: there is no memory for the tune");
    give_up();
    return;
  }
  loop_position = 0;
  render_stop = false;
  render_done = false;
  rendered_for = request;
  if (!start_thread(*render_thread, render_body, "music")) {
    give_up();  // start_thread said why
    return;
  }
  rendering = true;
}

// Once the render thread is done: FluidSynth goes, and with it all it loaded.
static void finish_render() {
  render_thread->join();
  rendering = false;
  unload_fluid_library();
  bool current = on && !gave_up && rendered_for == request;
  if (current && render_result != RENDER_OK) {
    say(render_problem);
    give_up();
  }
  if (!current || gave_up) free_loop();
  if (on && !gave_up && !current) start_render();
}

static void begin(int word) {
  request = word;
  on = word % 2;
  gave_up = heard = server_missing = said_missing = false;
  failures = 0;
  retry_at = ms_clock();
  disconnect_server();
  render_stop = true;  // a render under way is for an earlier request
  if (!rendering) free_loop();
  if (!on) return;
  if (!sound_loop) {
    say("no music: the PulseAudio client library (libpulse.so.0) is not installed; install libpulse0");
    give_up();
  } else if (!rendering) {
    start_render();  // else once the last render has stopped
  }
}

static void server_failed() {
  if (stream_started()) loop_position = stream_heard();
  disconnect_server();
  server_missing = true;
  failures++;
  retry_at = ms_clock() + std::min(retry_max_ms, 250 << std::min(failures, 5));
}

static void step() {
  if (rendering && render_done) finish_render();
  if (!on || gave_up || rendered_for != request) return;
  int state = server_state();
  bool head = music_loop.rendered >= std::min<int64_t>(stream_head, music_loop.frames);
  if (state == SERVER_FAILED) {
    server_failed();
  } else if (state == SERVER_NONE && ms_clock() >= retry_at) {
    connect_server();
  } else if (state == SERVER_READY && !stream_started() && head) {
    if (!start_stream(loop_held)) server_failed();
  } else if (state == SERVER_READY && stream_ready()) {
    if (said_missing) say("the sound server answers: the music plays on");
    server_missing = said_missing = false;
    failures = 0;
    hold_stream(loop_held);
    feed_stream();
    stream_heard();
    if (!heard) answered = request / 2;
    heard = true;
  }
  // Said once the render shows it has a tune to give: else why there is no
  // tune at all is what there is to say.
  if (server_missing && !said_missing && head) {
    say(heard ? "the music stopped: its sound server went away; trying again every few seconds"
              : "no music for now: no sound server answers (PulseAudio, or PipeWire's PulseAudio "
                "service); trying again every few seconds");
    said_missing = true;
    answered = request / 2;
  }
}

// How long the music thread may sleep: events wake it, and a render's
// progress, but a retry or a step toward the server runs on the clock.
static int sleep_ms() {
  if (!on || gave_up) return -1;
  if (server_state() == SERVER_NONE) return std::clamp(retry_at - ms_clock(), 0, 250);
  return stream_ready() ? -1 : 250;
}

static void serve() {
  pthread_setname_np(pthread_self(), "music");
  sound_loop = open_sound_loop(wake);
  int served = 0;
  while (!ending) {
    int word = request_word;
    if (word != served) begin(served = word);
    step();
    wait_for_sound(wake, sleep_ms());
  }
  on = false;
  disconnect_server();
  render_stop = true;
  if (rendering) wait_for(render_done, true, render_wait_ms);
  if (rendering && render_done) finish_render();
  if (rendering) {
    render_thread->detach();  // still in FluidSynth: it keeps the loop and the library
    render_left = true;
    rendering = false;
  }
  if (!render_left) free_loop();
  ended = true;
}

// A request from the main thread; the first one for the tune starts the music thread.
static void ask(bool want) {
  waiting = want;
  if (!music_thread.joinable()) {
    if (!want || no_thread || render_left) {
      waiting = false;
      return;
    }
    if (wake < 0) wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0 || !start_thread(music_thread, serve, "music")) {
      no_thread = true;
      waiting = false;
      return;
    }
  }
  requests++;
  request_word = requests * 2 + want;
  wake_music();
}

void music_start() {
  if (tune_bytes) ask(true);  // no tune, nothing to render
}

void music_switch(bool on) {
  if (on && !tune_bytes) return;
  ask(on);
}

void music_pause() {
  loop_held = true;
  if (music_thread.joinable()) wake_music();
}

void music_resume() {
  loop_held = false;
  if (music_thread.joinable()) wake_music();
}

void music_update() {
  bool done = answered == requests;
  char lines[sizeof said];
  {
    std::lock_guard<std::mutex> hold(said_lock);
    memcpy(lines, said, strlen(said) + 1);
    said[0] = 0;
  }
  fputs(lines, stderr);
  if (done) waiting = false;
}

bool music_loading() { return waiting; }

void music_shut_down() {
  waiting = false;
  loop_held = false;
  if (!music_thread.joinable()) return;
  ending = true;
  wake_music();
  if (!wait_for(ended, true, exit_wait_ms)) {
    music_thread.detach();  // stuck: the process's end takes it
    no_thread = true;
    return;
  }
  music_thread.join();
  ending = false;
  ended = false;
}
