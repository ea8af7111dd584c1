#include "core/threads.h"

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
