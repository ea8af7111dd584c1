// The screenshot: the last presented frame written to a BMP file. The hot
// keys only take the frame; a thread of its own writes it, so a slow disk
// never holds up the hot keys' timer.
#pragma once

#include <atomic>

extern const char* const screenshot_file;  // "Plu Vesk screenshot.bmp"
extern const long screenshot_bytes;        // a 640x480 frame as a 24-bit BMP: 921,654
extern std::atomic<int> screenshots_written;  // files put in place since start-up
extern std::atomic<int> screenshots_failed;   // writes that failed since start-up

// Start-up, once the frame bitmaps exist: the writer's buffers, then its
// thread. False when the buffers cannot be made; with no thread to be had
// the game goes on without screenshots.
bool start_screenshots();
// Shut-down, with the hot keys stopped and before the frame bitmaps go:
// writes a frame still waiting, ends the thread and frees the buffers.
void stop_screenshots();

// The writer's thread alone, for shut-downs that cannot wait for a frame
// bitmap to go and for tests that take its steps by hand.
bool start_screenshot_writer();  // false when no thread could be had
void stop_screenshot_writer();

// Copies buffer2 under frame_lock and hands it to the writer, to be written
// to name; a frame still waiting is dropped for it. Returns at once.
void take_screenshot(const char* name);

// Writes the frame waiting, if one is; false when none was. The writer's step.
bool write_waiting_screenshot();

// Waits until no frame waits for the running writer and no write is under way.
void wait_screenshots_idle();
