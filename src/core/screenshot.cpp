#include "core/screenshot.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <unistd.h>

#include "core/globals.h"

const char* const screenshot_file = "Plu Vesk screenshot.bmp";

BITMAP* shot_frame;

bool save_screenshot(const char* name) {
  // The library picks the format from the ending, so the temporary name keeps ".bmp".
  std::string temp = std::string(name) + "." + std::to_string(getpid()) + ".tmp.bmp";
  // Only the copy holds the frame back: writing the file takes milliseconds.
  {
    std::lock_guard<std::mutex> hold(frame_lock);
    blit(buffer2, shot_frame, 0, 0, 0, 0, 640, 480);
  }
  int failed = save_bitmap(temp.c_str(), shot_frame, NULL);
  if (failed == 0 && rename(temp.c_str(), name) == 0) return true;
  unlink(temp.c_str());
  return false;
}
