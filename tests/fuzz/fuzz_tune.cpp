// libFuzzer target for the whole MIDI path: any bytes as "sky.mid" go through
// the tune check, and what it accepts must hold exactly the tracks its header
// counts, last a time within the game's limit, and get through the presets
// scan and FluidSynth's own player, reading the checked bytes from memory and
// timed by the samples rendered as in the game's render, without a fault. A
// hang is a timeout.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fluidsynth.h>
#include <vector>

#include "audio/midi_parser.h"
#include "audio/tune_file.h"

static void quiet(int, const char*, void*) {}

static unsigned long big_endian(const unsigned char* d, int n) {
  unsigned long v = 0;
  for (int i = 0; i < n; i++) v = (v << 8) | d[i];
  return v;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fluid_synth_t* synth;
  if (!synth) {
    for (int level = FLUID_PANIC; level <= FLUID_DBG; level++) fluid_set_log_function(level, quiet, nullptr);
    fluid_settings_t* settings = new_fluid_settings();
    fluid_settings_setstr(settings, "player.timing-source", "sample");
    fluid_settings_setint(settings, "synth.threadsafe-api", 0);
    synth = new_fluid_synth(settings);  // no SoundFont: the events are what is fuzzed
    if (!synth) abort();
  }
  std::vector<unsigned char> bytes(data, data + size);
  long kept = long(size);
  if (!check_tune(bytes.data(), &kept)) return 0;
  if (!(tune_seconds > 0 && tune_seconds <= tune_max_seconds)) abort();

  unsigned tracks = big_endian(&bytes[10], 2);
  long at = 14;
  for (unsigned t = 0; t < tracks; t++) {
    if (at + 8 > kept || memcmp(&bytes[at], "MTrk", 4) != 0) abort();
    at += 8 + long(big_endian(&bytes[at + 4], 4));
  }
  if (at != kept) abort();
  tune_bytes = bytes.data();
  tune_size = kept;
  static bool used[midi_presets];
  tune_presets(used);
  tune_bytes = nullptr;

  // The start of the tune, as the render plays it.
  fluid_player_t* player = new_fluid_player(synth);
  if (fluid_player_add_mem(player, bytes.data(), size_t(kept)) != FLUID_OK || fluid_player_play(player) != FLUID_OK)
    abort();
  static float left[4096], right[4096];
  for (int block = 0; block < 16; block++) fluid_synth_write_float(synth, 4096, left, 0, 1, right, 0, 1);
  delete_fluid_player(player);
  fluid_synth_system_reset(synth);
  return 0;
}
