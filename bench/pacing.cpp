// Play-frame pacing and presentation in a real window.
//
// Pacing: a busy frame composed, presented and waited for, frame after frame,
// with the wait switched between blocks so that every kind sees the same
// machine noise: the game's own (a sleep to the deadline with the thread's
// timer slack lowered), the same sleep with the kernel's default slack, and a
// pure spin on the clock. Prints, per kind, the frame period (from
// steady_clock, not the millisecond clock the wait uses) and the processor
// time the process and its main thread burn per second of play.
//
// Presentation: the cost of present() alone (the copy into buffer2 and the
// picture brought to the window) in windows at 1x, 2x and 3x, and at 1x while
// Tab is held and a screenshot is taken every 10 ms.
//
// Music (--music): the tune played by Allegro's MIDI player into the game's
// MIDI driver, wrapped to note when each byte arrives, during play frames,
// first with Tab up and then with Tab held so that the hot keys on the timer
// thread take a screenshot every 10 ms. Prints how late each of the tune's
// channel messages arrives against the time the file gives it, and the play
// frames' period. pacing.sh runs it with the screenshot's temporary files
// slowed as a slow disk would (the pv_slow_io preload).
//
//   pacing [frames per kind, default 600]      (needs DISPLAY; see pacing.sh)
//   pacing --music [frames per run, default 600]
//   pacing --slow-io-library                   (prints the preload's path)
#include <allegro.h>
#include <allegro/platform/aintunix.h>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "audio/midi_parser.h"
#include "audio/music_driver.h"
#include "busy_frame.h"
#include "draw/frame.h"
#include "play/screen.h"
#include "core/clock.h"
#include "desktop/display.h"
#include "core/globals.h"
#include "core/hotkeys.h"
#include "core/screenshot.h"

namespace {

using steady = std::chrono::steady_clock;

const int block_frames = 50;   // frames in a row of one kind
const int warm_up_frames = 100;

double cpu_seconds(clockid_t which) {
  timespec t;
  clock_gettime(which, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

double ms_between(steady::time_point a, steady::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

enum wait_kind { game_wait, default_slack, spin };

struct kind_result {
  const char* label;
  wait_kind kind;
  std::vector<double> periods;  // ms
  double work_ms = 0;           // compose + present, summed
  double wall = 0, cpu = 0, main_cpu = 0;  // seconds, summed over its blocks
};

// One play frame as the game runs it, minus the update.
void play_frame() {
  start_time = ms_clock();
  draw_play();
  present();
}

void wait(wait_kind kind) {
  if (kind == spin) {
    while (ms_clock() < start_time + 20) {
    }
  } else {
    wait_play_frame();
  }
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, (size_t)(v.size() * p))];
}

double mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return sum / v.size();
}

// --- the tune's timing ---

// A channel message of the tune, with the time the file gives it.
struct due_message {
  double ms;  // from the tune's start, by its ticks and tempos
  unsigned char status, data1, data2;
};

std::vector<due_message> due;  // the whole tune, in time order

int var_len(const unsigned char*& p, const unsigned char* end) {
  int v = 0;
  while (p < end) {
    unsigned char c = *p++;
    v = (v << 7) | (c & 0x7F);
    if (!(c & 0x80)) break;
  }
  return v;
}

// Reads every track of the loaded tune: channel messages and tempo changes
// by tick, merged, then timed.
void read_due(const MIDI* m) {
  struct at_tick {
    long tick;
    int tempo;  // microseconds per quarter note, 0 for a channel message
    unsigned char status, data1, data2;
  };
  std::vector<at_tick> all;
  for (int t = 0; t < MIDI_TRACKS; t++) {
    const unsigned char* p = m->track[t].data;
    if (!p) continue;
    const unsigned char* end = p + m->track[t].len;
    long tick = 0;
    unsigned char running = 0;
    while (p < end) {
      tick += var_len(p, end);
      if (p >= end) break;
      unsigned char s = *p;
      if (s == 0xFF) {
        unsigned char type = p[1];
        p += 2;
        int len = var_len(p, end);
        if (type == 0x51 && len == 3) all.push_back({tick, (p[0] << 16) | (p[1] << 8) | p[2], 0, 0, 0});
        p += len;
        if (type == 0x2F) break;
      } else if (s == 0xF0 || s == 0xF7) {
        p++;
        p += var_len(p, end);
      } else {
        if (s & 0x80) {
          running = s;
          p++;
        }
        bool one = (running & 0xF0) == 0xC0 || (running & 0xF0) == 0xD0;
        all.push_back({tick, 0, running, p[0], one ? (unsigned char)0 : p[1]});
        p += one ? 1 : 2;
      }
    }
  }
  std::stable_sort(all.begin(), all.end(), [](const at_tick& a, const at_tick& b) { return a.tick < b.tick; });
  double ms = 0;
  long last = 0;
  int tempo = 500000;  // the standard's default until the first tempo
  for (const at_tick& e : all) {
    ms += (e.tick - last) * (tempo / 1000.0) / m->divisions;
    last = e.tick;
    if (e.tempo) tempo = e.tempo;
    else due.push_back({ms, e.status, e.data1, e.data2});
  }
}

// The player sends a note-off's velocity as 0, and resets of its own.
bool same_message(const due_message& d, const midi_event& e) {
  return d.status == e.status && d.data1 == e.data1 && ((d.status & 0xF0) == 0x80 || d.data2 == e.data2);
}

// Every byte the player sends the driver, with when it came; written on
// Allegro's timer thread, read on the main thread once the player stopped.
const int max_bytes = 1 << 20;
long long byte_ns[max_bytes];
unsigned char byte_value[max_bytes];
std::atomic<int> bytes_in{0};

long long now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(steady::now().time_since_epoch()).count();
}

void noted_raw_midi(int data) {
  int i = bytes_in.load(std::memory_order_relaxed);
  if (i < max_bytes) {
    byte_ns[i] = now_ns();
    byte_value[i] = (unsigned char)data;
    bytes_in.store(i + 1, std::memory_order_release);
  }
  music_raw_midi(data);
}

MIDI_DRIVER noted_driver;  // the game's driver, its raw_midi wrapped

struct music_run {
  // ms, per message of the tune due before the run ended; NAN for the rest.
  // A message that never came counts as late as the stopped tune left it.
  std::vector<double> late;
  std::vector<double> periods;  // play frames, ms
  int due_in_run = 0, missing = 0;
};

const int tab_after_frames = 50;  // the tune's start is never held up

// One run: the tune from its start and `frames` play frames, Tab held from
// the 51st frame or not at all. Lateness counts from the arrival of the
// tune's first message: Allegro's player starts on its thread's next wake,
// up to some 10 ms after play_midi, a different wait each run.
music_run play_tune(int frames, bool tab) {
  music_run run;
  bytes_in = 0;
  key[KEY_TAB] = 0;
  long long start = now_ns();
  play_midi(music, 0);
  steady::time_point top = steady::now();
  for (int i = 0; i < frames; i++) {
    if (i == tab_after_frames) key[KEY_TAB] = tab;
    play_frame();
    wait_play_frame();
    hit = 0;
    steady::time_point next = steady::now();
    run.periods.push_back(ms_between(top, next));
    top = next;
  }
  key[KEY_TAB] = 0;
  double end_ms = (now_ns() - start) / 1e6;
  stop_midi();  // waits while the timer thread is busy
  double stopped_ms = (now_ns() - start) / 1e6;

  // Each message the driver got, matched in order to the tune's next unmatched
  // one like it; the player's own resets match nothing.
  std::vector<double> came(due.size(), NAN);
  midi_parser_reset();
  size_t from = 0;
  int n = bytes_in.load(std::memory_order_acquire);
  for (int i = 0; i < n; i++) {
    midi_event e;
    if (!midi_parse_byte(byte_value[i], &e)) continue;
    size_t j = from;
    while (j < due.size() && j < from + 256 && (!std::isnan(came[j]) || !same_message(due[j], e))) j++;
    if (j >= due.size() || j >= from + 256) continue;
    came[j] = (byte_ns[i] - start) / 1e6;
    while (from < due.size() && !std::isnan(came[from])) from++;
  }
  run.late.assign(due.size(), NAN);
  if (due.empty() || std::isnan(came[0])) return run;
  double origin = came[0] - due[0].ms;
  for (size_t j = 0; j < due.size() && origin + due[j].ms < end_ms; j++) {
    run.due_in_run++;
    if (std::isnan(came[j])) run.missing++;
    run.late[j] = (std::isnan(came[j]) ? stopped_ms : came[j]) - origin - due[j].ms;
  }
  return run;
}

std::vector<double> present_values(const std::vector<double>& v) {
  std::vector<double> out;
  for (double x : v)
    if (!std::isnan(x)) out.push_back(x);
  return out;
}

int music_part(int frames) {
  // The game's own MIDI output, noting each byte as it comes.
  noted_driver = music_driver;
  noted_driver.id = AL_ID('N', 'O', 'T', 'E');
  noted_driver.raw_midi = noted_raw_midi;
  _unix_register_midi_driver(noted_driver.id, &noted_driver, TRUE, TRUE);
  if (install_sound(DIGI_NONE, MIDI_AUTODETECT, "") != 0 || midi_driver != &noted_driver) {
    fprintf(stderr, "pacing: the noting MIDI driver was not taken\n");
    return 1;
  }
  music = load_midi(PV_ASSET_DIR "/sky.mid");
  if (!music) {
    fprintf(stderr, "pacing: cannot load %s\n", PV_ASSET_DIR "/sky.mid");
    return 1;
  }
  read_due(music);

  // Screenshots go to a scratch directory.
  char shots[] = "/tmp/pv-pacing-XXXXXX";
  char here[4096];
  if (!mkdtemp(shots) || !getcwd(here, sizeof here) || chdir(shots) != 0) {
    fprintf(stderr, "pacing: no scratch directory\n");
    return 1;
  }
  const char* preload = getenv("LD_PRELOAD");
  const char* slow = preload && strstr(preload, "pv_slow_io") ? getenv("PV_SLOW_MS") : nullptr;

  for (int i = 0; i < warm_up_frames; i++) {
    play_frame();
    wait_play_frame();
    hit = 0;
  }
  music_run up = play_tune(frames, false);
  music_run held = play_tune(frames, true);
  wait_screenshots_idle();
  struct stat st;
  bool shot = stat(screenshot_file, &st) == 0 && st.st_size == 921654;
  music_run again = play_tune(frames, false);

  printf("Music while Tab is held: the tune from Allegro's MIDI player into the game's MIDI driver,\n"
         "%d play frames per run, Tab held from frame %d, each write of a screenshot slowed by %s ms%s.\n"
         "Lateness: when a message of the tune reached the driver, against when the file has it due\n"
         "after the tune's first message; one never delivered counts as late as the end of the run left it.\n"
         "The runs: Tab up, Tab held, Tab up again (the difference between two runs alike).\n\n",
         frames, tab_after_frames + 1, slow ? slow : "0", slow ? " (pv_slow_io)" : " (no preload)");
  printf("| Tab | messages due | never came | late p50 ms | late p99 ms | late max ms |"
         " frame mean ms | frame p99 ms | frame max ms |\n"
         "|---|---|---|---|---|---|---|---|---|\n");
  for (music_run* r : {&up, &held, &again}) {
    std::vector<double> late = present_values(r->late);
    printf("| %s | %d | %d | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f |\n",
           r == &up ? "up" : r == &held ? "held" : "up again", r->due_in_run, r->missing,
           percentile(late, 0.5), percentile(late, 0.99), percentile(late, 1.0), mean(r->periods),
           percentile(r->periods, 0.99), percentile(r->periods, 1.0));
  }
  // The same message in two runs: what the second added to it.
  printf("\n| against up | p99 lateness, more by ms | worst, more by ms |"
         " per message, more by: p50 ms | p99 ms | max ms |\n|---|---|---|---|---|---|\n");
  for (music_run* r : {&held, &again}) {
    std::vector<double> added;
    for (size_t j = 0; j < due.size(); j++)
      if (!std::isnan(up.late[j]) && !std::isnan(r->late[j])) added.push_back(r->late[j] - up.late[j]);
    printf("| %s | %+.3f | %+.3f | %.3f | %.3f | %.3f |\n", r == &held ? "held" : "up again",
           percentile(present_values(r->late), 0.99) - percentile(present_values(up.late), 0.99),
           percentile(present_values(r->late), 1.0) - percentile(present_values(up.late), 1.0),
           percentile(added, 0.5), percentile(added, 0.99), percentile(added, 1.0));
  }
  printf("\nThe last screenshot %s.\n"
         "Goals: p99 lateness with Tab held at most 2 ms above Tab up; frames 20.00 ms mean.\n",
         shot ? "was written whole" : "is missing");

  unlink(screenshot_file);
  if (chdir(here) != 0) return 1;
  rmdir(shots);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--slow-io-library") == 0) {
#ifdef PV_SLOW_IO
    puts(PV_SLOW_IO);
    return 0;
#else
    return 1;
#endif
  }
  bool music_only = argc > 1 && strcmp(argv[1], "--music") == 0;
  if (music_only) argv++, argc--;
  int frames = argc > 1 ? atoi(argv[1]) : 600;
  if (frames < block_frames) frames = block_frames;

  if (install_allegro(SYSTEM_AUTODETECT, &allegro_errnum, atexit) != 0) {
    fprintf(stderr, "pacing: cannot start Allegro (DISPLAY=%s)\n", getenv("DISPLAY") ? getenv("DISPLAY") : "");
    return 1;
  }
  install_keyboard();
  install_timer();
  set_color_depth(32);
  if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 640, 480, 0, 0) != 0) {
    fprintf(stderr, "pacing: cannot open a 640x480 window: %s\n", allegro_error);
    return 1;
  }
  title = load_bitmap_font(PV_ASSET_DIR "/bubble.pcx", NULL, NULL);
  if (!title) {
    fprintf(stderr, "pacing: cannot load %s\n", PV_ASSET_DIR "/bubble.pcx");
    return 1;
  }
  text = font;
  buffer = create_bitmap(640, 480);
  buffer2 = create_bitmap(640, 480);
  start_screenshots();
  // The hot keys run on the timer as in the game; only the music part presses Tab.
  install_int(global_keys, 10);
  set_busy_frame();
  if (music_only) {
    int status = music_part(frames);
    remove_int(global_keys);
    stop_screenshots();
    return status;
  }

  std::vector<kind_result> results = {{"game", game_wait, {}},
                                      {"default slack", default_slack, {}},
                                      {"spin", spin, {}}};
  for (auto& r : results) r.periods.reserve(frames + block_frames);

  // Warm-up: the window, the caches and the clock settle.
  for (int i = 0; i < warm_up_frames; i++) {
    play_frame();
    wait_play_frame();
    hit = 0;
  }

  // Round robin over the kinds, a block at a time.  A frame's period runs from
  // its top to the next frame's top, so it belongs to the kind of its own wait.
  steady::time_point top = steady::now();
  for (int done = 0; done < frames; done += block_frames) {
    for (auto& r : results) {
      prctl(PR_SET_TIMERSLACK, r.kind == default_slack ? 0 : 1);  // 0: the thread's default
      double cpu0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID), main0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
      steady::time_point block_start = top;
      for (int i = 0; i < block_frames; i++) {
        play_frame();
        r.work_ms += ms_between(top, steady::now());
        wait(r.kind);
        hit = 0;
        steady::time_point next = steady::now();
        r.periods.push_back(ms_between(top, next));
        top = next;
      }
      r.wall += ms_between(block_start, top) / 1000;
      r.cpu += cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
      r.main_cpu += cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - main0;
    }
  }
  prctl(PR_SET_TIMERSLACK, 1);

  printf("Play-frame pacing, busy frame in a 640x480 window, %d frames per kind of wait\n\n", frames);
  printf("| wait | mean ms | p50 ms | p99 ms | max ms | CPU s/s | main s/s | work ms |\n");
  printf("|---|---|---|---|---|---|---|---|\n");
  for (auto& r : results) {
    printf("| %s | %.3f | %.3f | %.3f | %.3f | %.4f | %.4f | %.3f |\n", r.label, mean(r.periods),
           percentile(r.periods, 0.5), percentile(r.periods, 0.99), percentile(r.periods, 1.0),
           r.cpu / r.wall, r.main_cpu / r.wall, r.work_ms / r.periods.size());
  }
  printf("\nGoals for the game's wait: mean 20.00 +- 0.02 ms, p99 <= 20.1 ms.\n");

  // Presentation alone at each scale, in a window of the scaled picture's
  // size: a frame like the last (nothing to send), and a whole frame sent,
  // as after a new mode or an Expose (every frame before changes were sought).
  printf("\npresent(): copy into buffer2 and bring it to the window, %d frames per scale\n\n", frames);
  printf("| scale | window | unchanged mean ms | unchanged p99 ms | whole mean ms | whole p99 ms |\n"
         "|---|---|---|---|---|---|\n");
  for (int k = 1; k <= 3; k++) {
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 640 * k, 480 * k, 0, 0) != 0) {
      printf("| %dx | cannot open: %s | | | | |\n", k, allegro_error);
      continue;
    }
    scale = k;
    frame_x = frame_y = 0;
    draw_play();
    std::vector<double> costs[2];
    for (int i = 0; i < 2 * (frames + warm_up_frames); i++) {
      bool whole = i % 2;
      whole_frame_wanted = whole;
      steady::time_point before = steady::now();
      present();
      if (i >= 2 * warm_up_frames) costs[whole].push_back(ms_between(before, steady::now()));
      rest(2);
    }
    printf("| %dx | %dx%d | %.3f | %.3f | %.3f | %.3f |\n", k, 640 * k, 480 * k, mean(costs[0]),
           percentile(costs[0], 0.99), mean(costs[1]), percentile(costs[1], 0.99));
  }

  // present() while Tab is held: a screenshot every 10 ms, as the hot key
  // takes them, against the copy into buffer2 they share a lock with.
  set_gfx_mode(GFX_AUTODETECT_WINDOWED, 640, 480, 0, 0);
  scale = 1;
  char shots[] = "/tmp/pv-pacing-XXXXXX";
  if (mkdtemp(shots)) {
    std::string shot = std::string(shots) + "/shot.bmp";
    printf("\npresent() at 1x while a screenshot is taken every 10 ms (Tab held), %d frames:\n"
           "its wait for the lock the screenshot's copy holds, and the whole of it; the writer\n"
           "writes the latest frame taken, dropping any it had no time for\n\n", frames);
    printf("| Tab | wait p50 ms | wait p99 ms | wait max ms | present mean ms | present p99 ms | screenshots |\n"
           "|---|---|---|---|---|---|---|\n");
    for (bool held : {false, true}) {
      std::atomic<bool> stop{false};
      int written = screenshots_written;
      std::thread tab([&] {
        while (held && !stop) {
          take_screenshot(shot.c_str());
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      });
      std::vector<double> waits, costs;
      for (int i = 0; i < frames; i++) {
        draw_play();
        // present(), step by step, to time the lock on its own.
        steady::time_point before = steady::now();
        {
          std::lock_guard<std::mutex> hold(frame_lock);
          waits.push_back(ms_between(before, steady::now()));
          blit(buffer, buffer2, 0, 0, 0, 0, 640, 480);
        }
        scale_blit(buffer2, screen, frame_x, frame_y, scale);
        costs.push_back(ms_between(before, steady::now()));
        rest(20);
      }
      stop = true;
      tab.join();
      wait_screenshots_idle();
      written = screenshots_written - written;
      printf("| %s | %.3f | %.3f | %.3f | %.3f | %.3f | %d |\n", held ? "held" : "up", percentile(waits, 0.5),
             percentile(waits, 0.99), percentile(waits, 1.0), mean(costs), percentile(costs, 0.99),
             written);
    }
    unlink(shot.c_str());
    rmdir(shots);
  }

  remove_int(global_keys);
  stop_screenshots();
  destroy_bitmap(buffer);
  destroy_bitmap(buffer2);
  destroy_font(title);
  return 0;
}
