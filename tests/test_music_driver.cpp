// The MIDI driver over FluidSynth: the byte parser, the synthesizer rendered
// into memory (no audio device), and start-up failing quietly when there is no
// SoundFont or no audio output.
#include "support/headless.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audio/music.h"
#include "audio/music_driver.h"
#include "core/globals.h"

namespace {

const int rate = 44100;  // FluidSynth's default sample rate

std::vector<midi_event> parse_all(const std::vector<unsigned char>& bytes) {
  std::vector<midi_event> events;
  midi_parser_reset();
  midi_event e;
  for (unsigned char b : bytes)
    if (midi_parse_byte(b, &e)) events.push_back(e);
  return events;
}

bool same(const midi_event& e, int status, int data1, int data2) {
  return e.status == status && e.data1 == data1 && e.data2 == data2;
}

double rms(const std::vector<short>& s, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; i++) sum += double(s[i]) * s[i];
  return to > from ? std::sqrt(sum / double(to - from)) : 0;
}

// Renders seconds of stereo onto the end of out.
void render(std::vector<short>& out, double seconds) {
  int frames = int(seconds * rate);
  size_t at = out.size();
  out.resize(at + 2 * size_t(frames));
  music_render(&out[at], frames);
}

void raw(const std::vector<unsigned char>& bytes) {
  for (unsigned char b : bytes) music_raw_midi(b);
}

// What stop_midi sends a raw driver: all notes off, then all sound off, on every channel.
void allegro_stop() {
  for (int c = 0; c < 16; c++) raw({(unsigned char)(0xB0 + c), 123, 0, (unsigned char)(0xB0 + c), 120, 0});
}

void open_synth(const MIDI* tune = nullptr) {
  ASSERT_EQ(music_open(false, tune), MUSIC_OK) << music_problem;
  ASSERT_NE(music_synth, nullptr);
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

// The channel events of Allegro's loaded tune up to a time, merged across
// tracks and timed by the tune's tempo changes.
std::vector<timed_event> tune_events(MIDI* tune, double until) {
  std::vector<timed_event> events;
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
  std::vector<timed_event> timed;
  for (timed_event& e : events) {
    while (next_tempo < tempos.size() && tempos[next_tempo].first <= e.tick) {
      seconds += double(tempos[next_tempo].first - last_tick) * tempo / 1e6 / tune->divisions;
      last_tick = tempos[next_tempo].first;
      tempo = tempos[next_tempo++].second;
    }
    e.seconds = seconds + double(e.tick - last_tick) * tempo / 1e6 / tune->divisions;
    if (e.seconds > until) break;
    timed.push_back(e);
  }
  return timed;
}

// Plays the start of the tune through Allegro's own MIDI player code (midi_out
// turns each event into the driver's raw bytes, with the MIDI volume applied
// as Allegro does), rendering in step with the events.
void play_tune(MIDI* tune, int volume, double seconds, std::vector<short>& out) {
  set_volume(-1, volume);
  MIDI_DRIVER* before = midi_driver;
  midi_driver = &music_driver;
  double rendered = 0;
  for (timed_event& e : tune_events(tune, seconds)) {
    if (e.seconds > rendered) {
      render(out, e.seconds - rendered);
      rendered = e.seconds;
    }
    midi_out(e.bytes, e.length);
  }
  render(out, seconds - rendered);
  midi_driver = before;
}

}  // namespace

TEST(MusicDriver, ParserTurnsAByteStreamIntoChannelMessages) {
  std::vector<midi_event> e = parse_all({
      0x40, 0x41,              // data before any status: dropped
      0x90, 60, 100,           // note-on
      64, 90,                  // running status: another note-on
      60, 0,                   // running status, velocity 0: the note's end
      0xC5, 73, 74,            // program change, then one by running status
      0xB1, 7, 100,            // controller
      0xE2, 0x00, 0x40,        // pitch bend centre, low 7 bits first
      0x93, 62, 0xF8, 0xFE, 80,  // realtime bytes inside a message change nothing
      50, 0xFA, 70,            // nor do they break running status
      0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7,  // system exclusive: skipped whole
      1, 2,                    // it ended running status: data dropped
      0x84, 62, 64,            // note-off
      0xF2, 0x10, 0x20,        // song position (two data bytes), no running status after
      30, 40,
      0xE0, 0x7F,              // an unfinished message at the end reports nothing
  });
  ASSERT_EQ(e.size(), 10u);
  EXPECT_TRUE(same(e[0], 0x90, 60, 100));
  EXPECT_TRUE(same(e[1], 0x90, 64, 90));
  EXPECT_TRUE(same(e[2], 0x90, 60, 0));
  EXPECT_TRUE(same(e[3], 0xC5, 73, 0));
  EXPECT_TRUE(same(e[4], 0xC5, 74, 0));
  EXPECT_TRUE(same(e[5], 0xB1, 7, 100));
  EXPECT_TRUE(same(e[6], 0xE2, 0x00, 0x40));
  EXPECT_TRUE(same(e[7], 0x93, 62, 80));
  EXPECT_TRUE(same(e[8], 0x93, 50, 70));
  EXPECT_TRUE(same(e[9], 0x84, 62, 64));

  // A status byte in the middle of a message starts over.
  e = parse_all({0x90, 60, 0xB0, 64, 127});
  ASSERT_EQ(e.size(), 1u);
  EXPECT_TRUE(same(e[0], 0xB0, 64, 127));
}

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

TEST(MusicDriver, LoadStopsWhenToldAndAHandMadeStreamSoundsAndEndsOnVelocityZero) {
  // A load no longer wanted gives up at its first read, and FluidSynth's own
  // loader does not read the SoundFont in its place.
  music_stop_load = true;
  EXPECT_EQ(music_open(false), MUSIC_NO_SOUNDFONT);
  EXPECT_EQ(music_synth, nullptr);
  music_stop_load = false;

  open_synth();
  std::vector<short> out;
  raw({0xC0, 73, 0x90, 72, 100});  // flute, C5
  render(out, 0.5);
  double sounding = rms(out, 0, out.size());
  raw({72, 0});  // running status, velocity 0: the note ends
  render(out, 1.5);
  double after = rms(out, size_t(2 * rate * 1.5), out.size());
  printf("flute RMS %.1f, 1-2 s after its velocity-0 end %.1f\n", sounding, after);
  EXPECT_GT(sounding, 100);
  EXPECT_LT(after, sounding / 20);
  music_close();
}

TEST(MusicDriver, SkyTunePlaysStopsSilentAndHonoursTheMidiVolume) {
  headless_start();
  install_sound(DIGI_NONE, MIDI_NONE, NULL);  // the player's channel state, as in the game
  MIDI* tune = load_midi(PV_ASSET_DIR "/sky.mid");
  ASSERT_NE(tune, nullptr);

  // The instruments the tune plays: the four programs its tracks select and
  // the percussion kit.
  std::vector<int> presets;
  bool used[midi_presets] = {};
  for (int t = 0; t < MIDI_TRACKS; t++) midi_track_presets(tune->track[t].data, tune->track[t].len, used);
  for (int i = 0; i < midi_presets; i++)
    if (used[i]) presets.push_back(i);
  EXPECT_EQ(presets, (std::vector<int>{8, 33, 48, 73, 128 * 128}));

  // The game's volume: several seconds of real music. The samples of its
  // instruments came with the SoundFont: it plays with no reads allowed.
  open_synth(tune);
  music_stop_load = true;
  std::vector<short> out;
  play_tune(tune, 150, 4.0, out);
  double playing = rms(out, 0, out.size());
  size_t stop_at = out.size();
  allegro_stop();
  render(out, 1.0);
  double tail = rms(out, stop_at, stop_at + size_t(2 * rate * 0.25));
  double after = rms(out, stop_at + size_t(2 * rate * 0.5), out.size());
  music_stop_load = false;
  music_close();

  // Volume 0 on Allegro's scale: the same notes, nothing to hear.
  open_synth();
  out.clear();
  play_tune(tune, 0, 4.0, out);
  double muted = rms(out, 0, out.size());
  music_close();

  printf("sky.mid RMS: playing %.1f, first 0.25 s after stop %.1f, 0.5-1 s after stop %.1f, "
         "volume 0 %.2f\n", playing, tail, after, muted);
  EXPECT_GT(playing, 300);
  EXPECT_LT(after, 10);
  EXPECT_LT(after, playing / 100);
  EXPECT_LT(muted, 2);
  destroy_midi(tune);
}

TEST(MusicDriver, SwitchedOnWithoutSoundFontOrAudioOutputSaysWhyInOneLine) {
  headless_start();
  MIDI* tune = load_midi(PV_ASSET_DIR "/sky.mid");
  ASSERT_NE(tune, nullptr);
  music = tune;
  // Allegro takes the driver whatever the machine has; nothing opens yet.
  EXPECT_TRUE(music_detect(FALSE));
  EXPECT_EQ(music_init(FALSE, 0), 0);
  EXPECT_EQ(music_synth, nullptr);

  // The frames go on while the switch loads; the one that finds it done says why.
  auto switched_on = [](std::string& said) {
    testing::internal::CaptureStderr();
    music_switch(true);
    for (int frame = 0; frame < 400 && music_loading(); frame++) {
      music_update();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    said = testing::internal::GetCapturedStderr();
    return music_ready.load();
  };
  std::string said;

  // A SoundFont named by the player that is not there.
  setenv(soundfont_variable, "/nonexistent/missing.sf2", 1);
  EXPECT_FALSE(switched_on(said));
  EXPECT_EQ(music_synth, nullptr);
  EXPECT_EQ(said.rfind("plu-vesk: no music: ", 0), 0u) << said;
  EXPECT_NE(said.find("PLU_VESK_SOUNDFONT=\"/nonexistent/missing.sf2\""), std::string::npos) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  music_switch(false);

  // A file that is not a SoundFont at all.
  setenv(soundfont_variable, PV_ASSET_DIR "/sky.mid", 1);
  EXPECT_FALSE(switched_on(said));
  EXPECT_NE(said.find("PLU_VESK_SOUNDFONT="), std::string::npos) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  music_switch(false);
  unsetenv(soundfont_variable);

  // Every audio output out of reach, whatever this machine has: nothing of
  // the synthesizer stays behind.
  setenv("PULSE_SERVER", "unix:/nonexistent/pulse", 1);
  setenv("PIPEWIRE_REMOTE", "/nonexistent/pipewire", 1);
  setenv("ALSA_CONFIG_PATH", "/nonexistent/alsa.conf", 1);
  EXPECT_FALSE(switched_on(said));
  EXPECT_EQ(music_synth, nullptr);
  EXPECT_EQ(music_audio, nullptr);
  EXPECT_EQ(said.rfind("plu-vesk: no music: no audio output", 0), 0u) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  printf("%s", said.c_str());
  music_switch(false);

  // Switched on and off faster than the loader follows: only the last switch
  // on is answered, once; shut-down in the middle of a load leaves nothing open.
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
  EXPECT_FALSE(music_ready);
  EXPECT_EQ(music_synth, nullptr);
  EXPECT_EQ(music_audio, nullptr);

  // The same at start-up, where the load runs on its own thread and the
  // frames go on meanwhile: said once, by the frame that finds it done.
  testing::internal::CaptureStderr();
  music_start();
  for (int frame = 0; frame < 400 && music_loading(); frame++) {
    music_update();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(music_loading());
  for (int frame = 0; frame < 10; frame++) music_update();
  said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.rfind("plu-vesk: no music: no audio output", 0), 0u) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  music_shut_down();
  music = nullptr;
  destroy_midi(tune);
}
