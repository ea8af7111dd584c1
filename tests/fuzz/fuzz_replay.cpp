// libFuzzer target for the replay reader: any bytes are refused or taken
// without a fault, and what it takes codes back to the very same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/replay_file.h"

static unsigned char again[replay_most_bytes];

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  replay r;
  if (decode_replay(data, size, &r)) return 0;
  if (encode_replay(r, again, sizeof again) != size || memcmp(again, data, size) != 0) abort();
  return 0;
}
