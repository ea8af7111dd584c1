#include "core/threads.h"

#include <chrono>
#include <cstdio>
#include <system_error>

bool start_thread(std::thread& thread, void (*body)(), const char* feature) {
  try {
    thread = std::thread(body);
    return true;
  } catch (const std::system_error& e) {
    fprintf(stderr, "plu-vesk: no %s: cannot start a thread (%s)\n", feature, e.code().message().c_str());
    return false;
  }
}

bool wait_for(const std::atomic<bool>& flag, bool value, int ms) {
  for (int waited = 0; flag != value && waited < ms; waited += 5)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return flag == value;
}
