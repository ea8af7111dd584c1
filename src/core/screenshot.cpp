#include "core/screenshot.h"

#include <allegro.h>
#include <cerrno>
#include <fcntl.h>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "core/files.h"
#include "core/globals.h"

const char* const screenshot_file = "Plu Vesk screenshot.bmp";
const long screenshot_bytes = 54 + 640L * 480 * 3;
std::atomic<int> screenshots_written{0};
std::atomic<int> screenshots_failed{0};

// Between the hot keys and the writer, under shot_lock: the frame taken last
// and where it goes, and what the writer is doing.
static std::mutex shot_lock;
static std::condition_variable shot_changed;  // a frame taken, a write done, or stop asked
static BITMAP* shot_waiting;                  // the frame taken last
static char waiting_name[PATH_MAX];           // where it goes
static bool frame_waiting;                    // shot_waiting holds a frame not yet written
static bool writing;                          // a write is under way
static bool writer_running;                   // the thread is there to write
static bool stop_asked;

// The writer's own, swapped with shot_waiting when it takes a frame.
static BITMAP* shot_writing;
static char writing_name[PATH_MAX];
static std::thread writer;

// The whole file, made in memory so that it goes to the disk in one write.
static unsigned char* file_bytes;
static long file_used;   // bytes the encoder gave, counted past the end too
static PACKFILE* file_pack;  // Allegro's view of file_bytes, made once
static bool said_failure;    // a failure was said, and no write has worked since

static int memory_putc(int c, void*) {
  if (file_used < screenshot_bytes) file_bytes[file_used] = (unsigned char)c;
  file_used++;
  return c;
}

static long memory_fwrite(const void* p, long n, void*) {
  for (long i = 0; i < n; i++) memory_putc(((const unsigned char*)p)[i], nullptr);
  return n;
}

static int memory_fclose(void*) { return 0; }
static int memory_getc(void*) { return EOF; }
static int memory_ungetc(int, void*) { return EOF; }
static long memory_fread(void*, long, void*) { return 0; }
static int memory_fseek(void*, int) { return -1; }
static int memory_feof(void*) { return 1; }
static int memory_ferror(void*) { return 0; }

static PACKFILE_VTABLE to_memory = {memory_fclose, memory_getc, memory_ungetc, memory_fread, memory_putc,
                                    memory_fwrite, memory_fseek, memory_feof, memory_ferror};

static void write_screenshot(BITMAP* frame, const char* name) {
  file_used = 0;
  // Its result reads allegro_errnum, which the main thread's Allegro calls
  // write too; the byte count is the writer's own.
  save_bmp_pf(file_pack, frame, NULL);
  const char* failed = nullptr;
  int error = EINVAL;
  if (file_used != screenshot_bytes) {
    failed = "encode";
  } else {
    // No fsync: a held Tab replaces the file every 10 ms.
    failed = replace_file_at(AT_FDCWD, name, file_bytes, screenshot_bytes, false);
    error = errno;
    if (failed && strcmp(failed, "create") == 0) failed = "create a file beside";
  }
  if (!failed) {
    said_failure = false;
    screenshots_written++;
    return;
  }
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
  // frame loop and the timer thread, which plays the tune, go first.
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
  blit(buffer2, shot_waiting, 0, 0, 0, 0, 640, 480);
  snprintf(waiting_name, sizeof waiting_name, "%s", name);
  frame_waiting = true;
  shot_changed.notify_all();
}

void wait_screenshots_idle() {
  std::unique_lock<std::mutex> hold(shot_lock);
  shot_changed.wait(hold, [] { return !writing && !(frame_waiting && writer_running); });
}

void start_screenshot_writer() {
  std::lock_guard<std::mutex> hold(shot_lock);
  if (writer_running) return;
  stop_asked = false;
  writer_running = true;
  writer = std::thread(write_until_stopped);
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
    shot_waiting = create_bitmap(640, 480);
    shot_writing = create_bitmap(640, 480);
    file_bytes = new unsigned char[screenshot_bytes];
    file_pack = pack_fopen_vtable(&to_memory, nullptr);
    if (!shot_waiting || !shot_writing || !file_pack) {
      stop_screenshots();
      return false;
    }
  }
  start_screenshot_writer();
  return true;
}

void stop_screenshots() {
  stop_screenshot_writer();
  std::lock_guard<std::mutex> hold(shot_lock);
  if (file_pack) pack_fclose(file_pack);
  if (shot_waiting) destroy_bitmap(shot_waiting);
  if (shot_writing) destroy_bitmap(shot_writing);
  delete[] file_bytes;
  file_pack = nullptr;
  shot_waiting = shot_writing = nullptr;
  file_bytes = nullptr;
  frame_waiting = false;
}
