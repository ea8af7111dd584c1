#include "core/game_random.h"

#include <cstdint>
#include <cstdlib>

// glibc's rand is random() on a state of this size (its TYPE_3 generator),
// and random_r on one of the same size gives the same numbers.
static char state_bytes[128];
static random_data state;  // random_r's view of state_bytes
static bool seeded;

void game_srand(unsigned seed) {
  state = random_data{};  // initstate_r wants it cleared
  initstate_r(seed, state_bytes, sizeof state_bytes, &state);
  seeded = true;
}

int game_rand() {
  if (!seeded) game_srand(1);
  int32_t n;
  random_r(&state, &n);
  return n;
}
