#include "core/screenshot.h"

#include <allegro.h>
#include <cerrno>
#include <fcntl.h>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <sys/resource.h>
#include <unistd.h>

#include "core/files.h"
#include "core/globals.h"
#include "core/threads.h"

const char* const screenshot_file = "Plu Vesk screenshot.bmp";
const long screenshot_bytes = 54 + 640L * 480 * 3;
std::atomic<int> screenshots_written{0};
std::atomic<int> screenshots_failed{0};

static const int shot_w = 640, shot_h = 480;  // the frame's size

// Between the hot keys and the writer, under shot_lock: the frame taken last
// and where it goes, and what the writer is doing.
static std::mutex shot_lock;
static std::condition_variable shot_changed;  // a frame taken, a write done, or stop asked
static uint32_t* shot_waiting;                // the frame taken last, shot_w by shot_h pixels
static char waiting_name[PATH_MAX];           // where it goes
static bool frame_waiting;                    // shot_waiting holds a frame not yet written
static bool writing;                          // a write is under way
static bool writer_running;                   // the thread is there to write
static bool stop_asked;

// The writer's own, swapped with shot_waiting when it takes a frame.
static uint32_t* shot_writing;
static char writing_name[PATH_MAX];
static std::thread writer;

// The whole file, made in memory so that it goes to the disk in one write.
static unsigned char* file_bytes;
static bool said_failure;  // a failure was said, and no write has worked since
static int red_shift, green_shift, blue_shift;  // the frames' pixel layout, read at start-up

// The file Allegro's save_bitmap makes of a 32-bit frame, made here so that
// the writer never enters Allegro, whose error number and palette the main
// thread's calls (a mode switch) write: a 24-bit BMP, rows bottom up, each
// pixel blue, green, red.
static void encode_bmp(const uint32_t* frame) {
  static const struct { unsigned long value; int bytes; } header[] = {
      {0x4D42, 2}, {screenshot_bytes, 4}, {0, 4}, {54, 4},  // "BM", file size, reserved, pixels' offset
      {40, 4}, {shot_w, 4}, {shot_h, 4}, {1, 2}, {24, 2},   // info size, width, height, planes, bits
      {0, 4}, {screenshot_bytes - 54, 4}, {0xB12, 4}, {0xB12, 4},  // no compression, pixels' size, 72 dpi
      {0, 4}, {0, 4}};                                       // no palette
  unsigned char* at = file_bytes;
  for (const auto& field : header)
    for (int i = 0; i < field.bytes; i++) *at++ = (unsigned char)(field.value >> (8 * i));
  for (int y = shot_h - 1; y >= 0; y--) {
    for (const uint32_t* p = frame + y * shot_w; p < frame + (y + 1) * shot_w; p++) {
      *at++ = (unsigned char)(*p >> blue_shift);
      *at++ = (unsigned char)(*p >> green_shift);
      *at++ = (unsigned char)(*p >> red_shift);
    }
  }
}

static void write_screenshot(const uint32_t* frame, const char* name) {
  encode_bmp(frame);
  // No fsync: a held Tab replaces the file every 10 ms.
  const char* failed = replace_file_at(AT_FDCWD, name, file_bytes, screenshot_bytes, false);
  int error = errno;
  if (!failed) {
    said_failure = false;
    screenshots_written++;
    return;
  }
  if (strcmp(failed, "create") == 0) failed = "create a file beside";
  screenshots_failed++;
  if (!said_failure) {
    fprintf(stderr, "plu-vesk: screenshot not saved (could not %s \"%s\": %s)\n", failed, name,
            strerror(error));
    said_failure = true;
  }
}

bool write_waiting_screenshot() {
  {
    std::lock_guard<std::mutex> hold(shot_lock);
    if (!frame_waiting) return false;
    std::swap(shot_waiting, shot_writing);
    memcpy(writing_name, waiting_name, sizeof writing_name);
    frame_waiting = false;
    writing = true;
  }
  write_screenshot(shot_writing, writing_name);
  {
    std::lock_guard<std::mutex> hold(shot_lock);
    writing = false;
  }
  shot_changed.notify_all();
  return true;
}

static void write_until_stopped() {
  // Encoding a frame takes milliseconds of processor: on a busy machine the
  // frame loop and the hot keys' timer go first.
  setpriority(PRIO_PROCESS, (id_t)gettid(), 10);
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(shot_lock);
      shot_changed.wait(hold, [] { return frame_waiting || stop_asked; });
      if (!frame_waiting) return;  // stop asked, nothing left to write
    }
    write_waiting_screenshot();
  }
}

void take_screenshot(const char* name) {
  // Only the copy holds the frame back; the writer does the rest.
  std::lock_guard<std::mutex> frame(frame_lock);
  std::lock_guard<std::mutex> hold(shot_lock);
  if (!shot_waiting) return;
  // Row by row from the 32-bit frame, with no Allegro call.
  for (int y = 0; y < shot_h; y++) memcpy(shot_waiting + y * shot_w, buffer2->line[y], shot_w * 4);
  snprintf(waiting_name, sizeof waiting_name, "%s", name);
  frame_waiting = true;
  shot_changed.notify_all();
}

void wait_screenshots_idle() {
  std::unique_lock<std::mutex> hold(shot_lock);
  shot_changed.wait(hold, [] { return !writing && !(frame_waiting && writer_running); });
}

bool start_screenshot_writer() {
  std::lock_guard<std::mutex> hold(shot_lock);
  if (!writer_running) {
    stop_asked = false;
    writer_running = start_thread(writer, write_until_stopped, "screenshots");
  }
  return writer_running;
}

void stop_screenshot_writer() {
  {
    std::lock_guard<std::mutex> hold(shot_lock);
    if (!writer_running) return;
    stop_asked = true;
  }
  shot_changed.notify_all();
  writer.join();
  std::lock_guard<std::mutex> hold(shot_lock);
  writer_running = false;
}

bool start_screenshots() {
  if (!shot_waiting) {
    shot_waiting = new (std::nothrow) uint32_t[shot_w * shot_h];
    shot_writing = new (std::nothrow) uint32_t[shot_w * shot_h];
    file_bytes = new (std::nothrow) unsigned char[screenshot_bytes];
    if (!shot_waiting || !shot_writing || !file_bytes) {
      stop_screenshots();
      return false;
    }
    red_shift = _rgb_r_shift_32;
    green_shift = _rgb_g_shift_32;
    blue_shift = _rgb_b_shift_32;
  }
  // With no writer the buffers go too, and Tab does nothing.
  if (!start_screenshot_writer()) stop_screenshots();
  return true;
}

void stop_screenshots() {
  stop_screenshot_writer();
  std::lock_guard<std::mutex> hold(shot_lock);
  delete[] shot_waiting;
  delete[] shot_writing;
  delete[] file_bytes;
  shot_waiting = shot_writing = nullptr;
  file_bytes = nullptr;
  frame_waiting = false;
}
