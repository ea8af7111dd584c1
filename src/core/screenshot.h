// The screenshot: the last presented frame written to a BMP file.
#pragma once

#include <allegro.h>

extern const char* const screenshot_file;  // "Plu Vesk screenshot.bmp"
extern BITMAP* shot_frame;  // the screenshot's copy of buffer2, written out after the lock

// Writes buffer2 to name through a temporary file; returns false on failure.
bool save_screenshot(const char* name);
