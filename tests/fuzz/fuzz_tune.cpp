// libFuzzer target for the whole MIDI path: any bytes as "sky.mid" go through
// the tune check, and what it accepts must load in Allegro from memory as
// exactly the checked tracks, and get through the presets scan and Allegro's
// own player, looped as in the game, without a fault. The player runs on a
// timer of our own that calls it by hand; its bytes go through the game's
// MIDI parser. A hang (a tune Allegro would loop for ever) is a timeout.
#include <allegro.h>
#include <allegro/internal/aintern.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "audio/midi_parser.h"
#include "audio/tune_file.h"
#include "core/asset_file.h"

static void (*player)();  // what Allegro asked the timer to call next

static int hand_init() { return 0; }
static void hand_exit() {}
static int hand_install(void (*proc)(), long) {
  player = proc;
  return 0;
}
static void hand_remove(void (*proc)()) {
  if (player == proc) player = nullptr;
}
static TIMER_DRIVER hand_timer = {AL_ID('H', 'A', 'N', 'D'), "", "", "", hand_init, hand_exit, hand_install,
                                  hand_remove, nullptr, nullptr, nullptr, nullptr, nullptr};

static int raw_detect(int input) { return !input; }
static int raw_init(int input, int) { return input ? -1 : 0; }
static void raw_exit(int) {}
static void raw_byte(int byte) {
  midi_event e;
  if (midi_parse_byte((unsigned char)byte, &e) && ((e.data1 | e.data2) & 0x80)) abort();
}
static MIDI_DRIVER raw_driver = {
    AL_ID('F', 'U', 'Z', 'Z'), "", "", "", 0, 0, 0xFFFF, 0, -1, -1, raw_detect, raw_init, raw_exit, nullptr, nullptr,
    raw_byte, _dummy_load_patches, _dummy_adjust_patches, _dummy_key_on, _dummy_noop1, _dummy_noop2, _dummy_noop3,
    _dummy_noop2, _dummy_noop2};

static unsigned long big_endian(const unsigned char* d, int n) {
  unsigned long v = 0;
  for (int i = 0; i < n; i++) v = (v << 8) | d[i];
  return v;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = false;
  if (!started) {
    started = true;
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) abort();
    timer_driver = &hand_timer;
    if (install_sound(DIGI_NONE, MIDI_NONE, nullptr) != 0) abort();
    midi_driver = &raw_driver;
    load_midi_patches();  // as the game does
  }
  std::vector<unsigned char> bytes(data, data + size);
  long kept = long(size);
  if (!check_tune(bytes.data(), &kept)) return 0;

  PACKFILE* f = open_asset_bytes(bytes.data(), kept);
  MIDI* tune = load_midi_pf(f);
  pack_fclose(f);
  if (!tune || tune->divisions != int(big_endian(&bytes[12], 2))) abort();
  unsigned tracks = big_endian(&bytes[10], 2);
  long at = 14;
  bool used[midi_presets] = {};
  for (unsigned t = 0; t < MIDI_TRACKS; t++) {
    if (t >= tracks) {
      if (tune->track[t].data) abort();
      continue;
    }
    long length = long(big_endian(&bytes[at + 4], 4));
    if (tune->track[t].len != length || memcmp(tune->track[t].data, &bytes[at + 8], length) != 0) abort();
    at += 8 + length;
    midi_track_presets(tune->track[t].data, tune->track[t].len, used);
  }
  if (at != kept) abort();

  midi_parser_reset();
  play_midi(tune, 1);
  for (int call = 0; call < 300 && player; call++) player();  // the looped start of most tunes
  stop_midi();
  destroy_midi(tune);
  return 0;
}
