// The music: the tune rendered into memory against the same tune played the
// old way, through Allegro's player into a synthesizer in real time; the loop
// and its seam; the hold; and switching on without a SoundFont or a sound
// server, said in one line.
#include "support/headless.h"

#include <algorithm>
#include <allegro/internal/aintern.h>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fluidsynth.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/fluid_library.h"
#include "audio/music.h"
#include "audio/soundfont.h"
#include "audio/tune_file.h"
#include "audio/tune_loop.h"
#include "audio/tune_render.h"

namespace {

const int rate = 44100;  // FluidSynth's default sample rate

double rms(const std::vector<short>& s, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; i++) sum += double(s[i]) * s[i];
  return to > from ? std::sqrt(sum / double(to - from)) : 0;
}

// The synthesizer the old way plays into: as the game had it, gain 1.
fluid_synth_t* reference_synth;
unsigned char message[3];  // the message Allegro's player is sending
int message_length;

void reference_byte(int byte) {
  if (byte & 0x80) message_length = 0;
  if (message_length < 3) message[message_length++] = (unsigned char)byte;
  if (message_length != 1 + midi_data_length(message[0])) return;
  int c = message[0] & 0x0F, d1 = message[1], d2 = message[2];
  switch (message[0] & 0xF0) {
    case 0x80: fluid_synth_noteoff(reference_synth, c, d1); break;
    case 0x90: fluid_synth_noteon(reference_synth, c, d1, d2); break;
    case 0xB0: fluid_synth_cc(reference_synth, c, d1, d2); break;
    case 0xC0: fluid_synth_program_change(reference_synth, c, d1); break;
    case 0xE0: fluid_synth_pitch_bend(reference_synth, c, d1 | (d2 << 7)); break;
  }
}
int reference_detect(int input) { return !input; }
int reference_init(int input, int) { return input ? -1 : 0; }
void reference_exit(int) {}
MIDI_DRIVER reference_driver = {
    AL_ID('R', 'E', 'F', 'S'), "", "", "", 0, 0, 0xFFFF, 0, -1, -1, reference_detect, reference_init,
    reference_exit, nullptr, nullptr, reference_byte, _dummy_load_patches, _dummy_adjust_patches,
    _dummy_key_on, _dummy_noop1, _dummy_noop2, _dummy_noop3, _dummy_noop2, _dummy_noop2};

// Renders stereo onto the end of out up to the time given.
void render_until(std::vector<short>& out, double seconds) {
  size_t at = out.size(), to = 2 * size_t(std::llround(seconds * rate));
  if (to <= at) return;
  out.resize(to);
  fluid_synth_write_s16(reference_synth, int(to - at) / 2, &out[at], 0, 2, &out[at], 1, 2);
}

// One event of the tune with its running status expanded, at its time.
struct timed_event {
  double seconds;
  long tick;
  int track;
  int order;
  unsigned char bytes[3];
  int length;
};

// The channel events of Allegro's loaded tune, merged across tracks and
// timed by the tune's tempo changes; *end the time of its last End of Track.
std::vector<timed_event> tune_events(MIDI* tune, double* end) {
  std::vector<timed_event> events;
  long end_tick = 0;
  std::vector<std::pair<long, long>> tempos;  // tick, microseconds per quarter
  for (int t = 0; t < MIDI_TRACKS; t++) {
    const unsigned char* d = tune->track[t].data;
    int end = tune->track[t].len, p = 0, order = 0;
    unsigned char status = 0;
    long tick = 0;
    while (d && p < end) {
      tick += midi_varlen(d, p, end);
      unsigned char b = d[p];
      if (b & 0x80) {
        status = b;
        p++;
      }
      if (b == 0xFF) {
        int type = d[p++];
        int len = int(midi_varlen(d, p, end));
        if (type == 0x51 && len == 3) tempos.push_back({tick, (d[p] << 16) | (d[p + 1] << 8) | d[p + 2]});
        if (type == 0x2F) end_tick = std::max(end_tick, tick);
        p += len;
        status = 0;
      } else if (b == 0xF0 || b == 0xF7) {
        p += int(midi_varlen(d, p, end));
        status = 0;
      } else {
        int kind = status & 0xF0;
        timed_event e{0, tick, t, order++, {status, 0, 0}, kind == 0xC0 || kind == 0xD0 ? 2 : 3};
        for (int i = 1; i < e.length; i++) e.bytes[i] = d[p++];
        events.push_back(e);
      }
    }
  }
  std::sort(events.begin(), events.end(), [](const timed_event& a, const timed_event& b) {
    if (a.tick != b.tick) return a.tick < b.tick;
    return a.track != b.track ? a.track < b.track : a.order < b.order;
  });
  std::sort(tempos.begin(), tempos.end());
  long tempo = 500000, last_tick = 0;
  double seconds = 0;
  size_t next_tempo = 0;
  auto at = [&](long tick) {
    while (next_tempo < tempos.size() && tempos[next_tempo].first <= tick) {
      seconds += double(tempos[next_tempo].first - last_tick) * tempo / 1e6 / tune->divisions;
      last_tick = tempos[next_tempo].first;
      tempo = tempos[next_tempo++].second;
    }
    return seconds + double(tick - last_tick) * tempo / 1e6 / tune->divisions;
  };
  for (timed_event& e : events) e.seconds = at(e.tick);
  *end = at(end_tick);
  return events;
}

// The tune as the game played it before it was rendered ahead: Allegro's
// own MIDI player code (midi_out turns each event into a driver's raw bytes,
// with the channel volumes scaled by the MIDI volume of 150) feeding a
// synthesizer in real time, rendered in step with the events. *end is where
// Allegro's player looped it.
std::vector<short> play_tune_the_old_way(MIDI* tune, double* end) {
  fluid_settings_t* settings = new_fluid_settings();
  fluid_settings_setnum(settings, "synth.gain", 1.0);
  // As the render loads them: FluidSynth loads a whole SoundFont on OpenMP's
  // threads, whose locks ThreadSanitizer cannot see.
  fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
  reference_synth = new_fluid_synth(settings);
  EXPECT_TRUE(choose_soundfont());
  EXPECT_NE(fluid_synth_sfload(reference_synth, soundfont_file, 1), FLUID_FAILED);
  install_sound(DIGI_NONE, MIDI_NONE, NULL);  // the player's channel state, as in the game
  set_volume(-1, 150);
  MIDI_DRIVER* before = midi_driver;
  midi_driver = &reference_driver;
  std::vector<short> out;
  for (timed_event& e : tune_events(tune, end)) {
    render_until(out, e.seconds);
    midi_out(e.bytes, e.length);
  }
  render_until(out, *end);
  midi_driver = before;
  delete_fluid_synth(reference_synth);
  delete_fluid_settings(settings);
  return out;
}

// Renders the checked tune into the loop, as the music thread has it done.
void render_the_tune() {
  ASSERT_TRUE(load_tune(PV_ASSET_DIR "/sky.mid"));
  ASSERT_TRUE(make_loop(std::llround(tune_seconds * rate)));
  render_stop = false;
  ASSERT_EQ(render_tune([] {}), RENDER_OK) << render_problem;
  unload_fluid_library();
}

}  // namespace

TEST(MusicDriver, PresetsScanStaysInsideItsTableWhateverTheTrack) {
  const struct {
    std::vector<unsigned char> track;
    std::vector<int> used;
  } cases[] = {
      {{0, 0xB0, 0, 0xFF, 0, 0xC0, 0x7F}, {}},  // bank 255: the scan stops there
      {{0, 0xC3, 0x80}, {}},
      {{0, 0x99, 0x80, 0x40}, {}},
      {{0, 0xB0, 0, 0x7F, 0, 0xC0, 0x7F}, {127 * 128 + 127}},
      {{0, 0xC9, 0x7F}, {midi_presets - 1}},  // the percussion bank's last kit
  };
  for (const auto& c : cases) {
    bool used[midi_presets] = {};
    midi_track_presets(c.track.data(), int(c.track.size()), used);
    std::vector<int> marked;
    for (int i = 0; i < midi_presets; i++)
      if (used[i]) marked.push_back(i);
    EXPECT_EQ(marked, c.used) << testing::PrintToString(c.track);
  }
}

TEST(MusicDriver, LoopGivesBackEverySampleItWasGivenAndNoneBeyond) {
  // Blocks the coding must give back sample for sample: silence, the
  // largest steps there are, noise, and a short last block.
  std::vector<short> tune;
  for (int i = 0; i < loop_block; i++) tune.insert(tune.end(), {0, 0});
  for (int i = 0; i < loop_block; i++)
    tune.insert(tune.end(), {short(i % 2 ? 32767 : -32768), short(i % 3 ? -32768 : 32767)});
  std::mt19937 noise(7);
  for (int i = 0; i < loop_block + 1000; i++) tune.insert(tune.end(), {short(noise()), short(noise() % 200)});
  int64_t frames = int64_t(tune.size() / 2);
  ASSERT_TRUE(make_loop(frames));
  std::vector<short> back(tune.size());
  for (int64_t at = 0; at < frames; at += loop_block) {
    EXPECT_EQ(read_loop(0, back.data(), int(frames)), at) << "read past what was rendered";
    add_to_loop(&tune[2 * at], int(std::min<int64_t>(loop_block, frames - at)));
  }
  EXPECT_EQ(read_loop(0, back.data(), int(frames)), frames);
  EXPECT_TRUE(back == tune);
  free_loop();
}

TEST(MusicDriver, RenderedLoopMatchesTheOldPlayerAndLoopsWithoutAStep) {
  headless_start();
  MIDI* tune = load_midi(PV_ASSET_DIR "/sky.mid");
  ASSERT_NE(tune, nullptr);
  double end;
  std::vector<short> old = play_tune_the_old_way(tune, &end);
  destroy_midi(tune);
  render_the_tune();
  const tune_loop& l = music_loop;

  // As long as Allegro's loop, and as loud, second by second.
  ASSERT_EQ(l.frames, std::llround(end * rate));
  ASSERT_EQ(int64_t(old.size()), 2 * l.frames);
  std::vector<short> rendered(2 * l.frames);
  ASSERT_EQ(read_loop(0, rendered.data(), int(l.frames)), l.frames);
  double worst = 0;
  for (size_t at = 0; at + 2 * rate <= old.size(); at += 2 * rate) {
    double want = rms(old, at, at + 2 * rate), got = rms(rendered, at, at + 2 * rate);
    EXPECT_NEAR(got, want, want * 0.1 + 2) << "second " << at / (2 * rate);
    worst = std::max(worst, std::abs(got - want) / want);
  }
  printf("%.2f s rendered, coded in %.2f MB; RMS %.1f against %.1f the old way, 1 s windows at most %.1f%% "
         "apart; tail %d frames\n", double(l.frames) / rate, l.blocks[(l.frames - 1) / loop_block].bit / 8e6,
         rms(rendered, 0, rendered.size()), rms(old, 0, old.size()), 100 * worst, l.tail_frames);

  // The seam: no larger a step from the last frame to the first than any
  // inside the tune, the tail of the last notes laid over the start.
  int inside = 0;
  for (size_t i = 2; i < rendered.size(); i++) inside = std::max(inside, std::abs(rendered[i] - rendered[i - 2]));
  short seam[4];
  ASSERT_EQ(read_loop(l.frames - 1, seam, 2), 2);
  int step = std::max(std::abs(seam[2] - seam[0]), std::abs(seam[3] - seam[1]));
  printf("step at the seam %d, largest inside %d\n", step, inside);
  EXPECT_GT(l.tail_frames, 0);
  EXPECT_LE(step, inside);
  EXPECT_EQ(seam[2], std::clamp(rendered[0] + l.tail[0], -32768, 32767));

  // The hold, at a known sample: nothing is taken, and the tune goes on from the same one.
  short got[2 * 512];
  loop_position = 3 * rate;
  ASSERT_EQ(take_from_loop(got, 256), 256);
  music_pause();
  EXPECT_EQ(take_from_loop(got + 512, 256), 0);
  EXPECT_EQ(loop_position, 3 * rate + 256);
  music_resume();
  ASSERT_EQ(take_from_loop(got + 512, 256), 256);
  EXPECT_TRUE(std::equal(got, got + 2 * 512, &rendered[2 * 3 * rate]));
  free_loop();

  // A render no longer wanted gives up at its first read of the SoundFont,
  // and FluidSynth's own loader does not read it in its place.
  render_stop = true;
  ASSERT_TRUE(make_loop(rate));
  EXPECT_EQ(render_tune([] {}), RENDER_STOPPED);
  EXPECT_EQ(music_loop.rendered, 0);
  ASSERT_TRUE(load_fluid_library());
  fluid_settings_t* settings = fluid.new_settings();
  fluid_synth_t* synth = fluid.new_synth(settings);
  EXPECT_EQ(load_soundfont(synth, settings, &render_stop), FLUID_FAILED);
  fluid.delete_synth(synth);
  fluid.delete_settings(settings);
  unload_fluid_library();
  free_loop();
  render_stop = false;
}

TEST(MusicDriver, SwitchedOnWithoutSoundFontOrSoundServerSaysWhyInOneLine) {
  headless_start();
  ASSERT_TRUE(load_tune(PV_ASSET_DIR "/sky.mid"));
  // No sound server, whatever this machine has.
  setenv("PULSE_SERVER", "unix:/nonexistent/pulse", 1);

  // The frames go on while the switch loads; the one that finds it done says why.
  auto switched_on = [](std::string& said) {
    testing::internal::CaptureStderr();
    music_switch(true);
    for (int frame = 0; frame < 400 && music_loading(); frame++) {
      music_update();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(music_loading());
  };
  std::string said;

  // A SoundFont named by the player that is not there, and a file that is
  // not a SoundFont at all: that is what is said, not the missing server.
  for (const char* font : {"/nonexistent/missing.sf2", PV_ASSET_DIR "/sky.mid"}) {
    setenv(soundfont_variable, font, 1);
    switched_on(said);
    EXPECT_EQ(said, std::string("plu-vesk: no music: PLU_VESK_SOUNDFONT=\"") + font +
                        "\" is not a SoundFont that can be loaded; point it to a General MIDI .sf2 file, or unset it\n");
    music_switch(false);
  }
  unsetenv(soundfont_variable);

  // No server: said once the tune is there to play, and tried again.
  switched_on(said);
  EXPECT_EQ(said.rfind("plu-vesk: no music for now: no sound server answers", 0), 0u) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  printf("%s", said.c_str());
  music_switch(false);

  // Switched on and off faster than the music thread follows: only the last
  // switch on is answered, once; shut-down in the middle of a render leaves
  // nothing behind, FluidSynth included.
  testing::internal::CaptureStderr();
  for (int i = 0; i < 21; i++) music_switch(i % 2 == 0);
  for (int frame = 0; frame < 400 && music_loading(); frame++) {
    music_update();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  said = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(music_loading());
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  music_switch(false);
  music_switch(true);
  music_shut_down();
  EXPECT_FALSE(music_loading());
  EXPECT_EQ(music_loop.codes, nullptr);
  EXPECT_EQ(fluid.new_synth, nullptr);

  // The same at start-up, where the frames go on meanwhile: said once, by
  // the frame that finds it.
  testing::internal::CaptureStderr();
  music_start();
  for (int frame = 0; frame < 400 && music_loading(); frame++) {
    music_update();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(music_loading());
  for (int frame = 0; frame < 10; frame++) music_update();
  said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.rfind("plu-vesk: no music for now: no sound server answers", 0), 0u) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  music_shut_down();
  unsetenv("PULSE_SERVER");
}
