// Esc and Tab, polled from the library's timer every 10 ms.
#pragma once

#include <allegro.h>
#include <mutex>

extern const char* const screenshot_file;  // "Plu Vesk screenshot.bmp"

// Held around the copy into buffer2 and around the screenshot's copy of it,
// so a saved picture is always one whole frame.
extern std::mutex frame_lock;
extern BITMAP* shot_frame;  // the screenshot's copy of buffer2, written out after the lock

void global_keys();

// Writes buffer2 to name through a temporary file; returns false on failure.
bool save_screenshot(const char* name);
