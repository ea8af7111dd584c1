// libFuzzer target for the settings reader: any bytes in "PV settings.dat" must
// load without a fault and never leave a mode or music switch other than 0 or 1.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "core/settings.h"

static std::string path;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (path.empty()) {
    path = "/tmp/pv-fuzz-settings-" + std::to_string(getpid()) + ".dat";
    atexit([] { unlink(path.c_str()); });
  }
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) abort();
  if (size && fwrite(data, 1, size, f) != size) abort();
  fclose(f);

  mode = 1;
  music_on = 1;
  high_score = 0;
  load_settings(path.c_str());
  if (mode != 0 && mode != 1) abort();
  if (music_on != 0 && music_on != 1) abort();
  return 0;
}
