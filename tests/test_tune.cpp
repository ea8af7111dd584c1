// The committed tune: Allegro loads it, it has real parts, it is long enough,
// it loops cleanly, and the generator still makes exactly this file. And the
// tune file's check, which refuses what Allegro would crash on.
#include "support/headless.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "audio/tune_file.h"

namespace {

const char* const tune_path = PV_ASSET_DIR "/sky.mid";

std::vector<unsigned char> file_bytes(const std::string& path) {
  std::string s = read_file(path);
  return std::vector<unsigned char>(s.begin(), s.end());
}

// What the tests need from a standard MIDI file, read by our own small
// parser so that the checks do not depend on Allegro's player.
struct midi_facts {
  bool ok = false;
  int format = -1;
  int division = 0;
  int bar_ticks = 0;                       // from the time signature, 4/4 if none
  std::vector<long> track_ends;            // tick of each track's End of Track
  std::map<long, long> tempo;              // tick -> microseconds per quarter
  std::set<int> note_channels;             // channels with at least one note-on
  int stuck_notes = 0;                     // note-ons with no note-off before End of Track
  int unmatched_offs = 0;                  // note-offs with no note sounding
};

unsigned be(const std::vector<unsigned char>& d, size_t p, int n) {
  unsigned v = 0;
  for (int i = 0; i < n; i++) v = (v << 8) | d[p + i];
  return v;
}

midi_facts parse_midi(const std::vector<unsigned char>& d) {
  midi_facts m;
  if (d.size() < 14 || be(d, 0, 4) != 0x4D546864 || be(d, 4, 4) != 6) return m;
  m.format = be(d, 8, 2);
  int tracks = be(d, 10, 2);
  m.division = be(d, 12, 2);
  if (m.division == 0 || (m.division & 0x8000)) return m;  // metrical time only
  m.bar_ticks = 4 * m.division;
  size_t p = 14;
  for (int t = 0; t < tracks; t++) {
    if (p + 8 > d.size() || be(d, p, 4) != 0x4D54726B) return m;
    size_t end = p + 8 + be(d, p + 4, 4);
    if (end > d.size()) return m;
    p += 8;
    long tick = 0;
    int status = 0;
    bool ended = false;
    std::map<int, int> sounding;  // channel * 128 + key -> count
    auto vlq = [&](long& v) {
      v = 0;
      for (int i = 0; i < 4 && p < end; i++) {
        unsigned char b = d[p++];
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) return true;
      }
      return false;
    };
    while (p < end && !ended) {
      long delta, len;
      if (!vlq(delta)) return m;
      tick += delta;
      if (d[p] == 0xFF) {
        if (p + 2 > end) return m;
        int type = d[p + 1];
        p += 2;
        if (!vlq(len) || p + len > end) return m;
        if (type == 0x2F) ended = true;
        if (type == 0x51 && len == 3) m.tempo[tick] = be(d, p, 3);
        if (type == 0x58 && len == 4) m.bar_ticks = d[p] * m.division * 4 / (1 << d[p + 1]);
        p += len;
        continue;
      }
      if (d[p] == 0xF0 || d[p] == 0xF7) {
        p++;
        if (!vlq(len) || p + len > end) return m;
        p += len;
        continue;
      }
      if (d[p] & 0x80) status = d[p++];
      if (!status) return m;
      int kind = status & 0xF0, ch = status & 0x0F;
      int size = (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
      if (p + size > end) return m;
      int key = d[p], vel = size == 2 ? d[p + 1] : 0;
      p += size;
      if (kind == 0x90 && vel > 0) {
        m.note_channels.insert(ch);
        sounding[ch * 128 + key]++;
      } else if (kind == 0x80 || kind == 0x90) {
        if (sounding[ch * 128 + key] > 0) sounding[ch * 128 + key]--;
        else m.unmatched_offs++;
      }
    }
    if (!ended) return m;
    for (auto& s : sounding) m.stuck_notes += s.second;
    m.track_ends.push_back(tick);
    p = end;
  }
  m.ok = true;
  return m;
}

// Seconds from the start to `ticks`, following the tempo map (120 bpm until
// the first tempo event, as the MIDI standard says).
double seconds_at(const midi_facts& m, long ticks) {
  double s = 0;
  long at = 0, us = 500000;
  for (auto& t : m.tempo) {
    if (t.first >= ticks) break;
    s += double(t.first - at) * us / m.division / 1e6;
    at = t.first;
    us = t.second;
  }
  return s + double(ticks - at) * us / m.division / 1e6;
}

}  // namespace

TEST(Tune, AllegroLoadsItAndItHasSeparateParts) {
  headless_start();
  MIDI* tune = load_midi(tune_path);
  ASSERT_NE(tune, nullptr) << tune_path;
  midi_facts m = parse_midi(file_bytes(tune_path));
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(m.format, 1);
  EXPECT_EQ(tune->divisions, m.division);
  int loaded_tracks = 0;
  for (int i = 0; i < MIDI_TRACKS; i++)
    if (tune->track[i].data) loaded_tracks++;
  EXPECT_EQ(loaded_tracks, (int)m.track_ends.size());
  destroy_midi(tune);

  // Melody, harmony and bass at the least, each on its own channel.
  EXPECT_GE(m.note_channels.size(), 3u);
}

// get_midi_length would be the natural call, but it needs Allegro's timer,
// which the headless system driver does not have; so the length comes from
// the file's ticks and tempo events.
TEST(Tune, LastsLongEnoughAndLoopsOnABarLine) {
  midi_facts m = parse_midi(file_bytes(tune_path));
  ASSERT_TRUE(m.ok);
  ASSERT_FALSE(m.track_ends.empty());
  ASSERT_FALSE(m.tempo.empty());
  long last = 0;
  for (long e : m.track_ends) last = std::max(last, e);
  EXPECT_GE(seconds_at(m, last), 45.0);

  // play_midi's loop restarts when the last track ends: every track must end
  // together on a bar line with nothing still sounding, or the loop stumbles.
  for (long e : m.track_ends) EXPECT_EQ(e, last);
  ASSERT_GT(m.bar_ticks, 0);
  EXPECT_EQ(last % m.bar_ticks, 0) << "end tick " << last << ", bar " << m.bar_ticks;
  EXPECT_EQ(m.stuck_notes, 0);
  EXPECT_EQ(m.unmatched_offs, 0);
}

TEST_F(HeadlessTest, TuneGeneratorRemakesTheCommittedFile) {
  std::string out = dir + "/sky.mid";
  std::string cmd = std::string("'") + PV_TOOLS_DIR + "/make_tune' '" + out + "'";
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
  std::string made = read_file(out), committed = read_file(tune_path);
  ASSERT_NE(committed, "<missing>");
  EXPECT_TRUE(made == committed) << "assets/sky.mid is stale: rerun make_tune";
}

// The checks above would be worthless if the parser missed a hanging note.
TEST(Tune, ParserCatchesAHangingNote) {
  const std::vector<unsigned char> hanging = {
      'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 1, 0x01, 0xE0,
      'M', 'T', 'r', 'k', 0, 0, 0, 16,
      0x00, 0x90, 60, 80,        // C4 on
      0x83, 0x60, 0x90, 64, 80,  // E4 on a beat later, running status after
      0x00, 60, 0,               // C4 off as a zero-velocity note-on
      0x00, 0xFF, 0x2F, 0x00};
  midi_facts m = parse_midi(hanging);
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(m.stuck_notes, 1);
  EXPECT_EQ(m.track_ends, std::vector<long>{480});
  EXPECT_EQ(m.note_channels.size(), 1u);
}

// The crafted tunes are the MIDI fuzzer's seeds.
TEST_F(HeadlessTest, TuneCheckRefusesCraftedFilesInOneLineAndKeepsSkyByteForByte) {
  const std::string seeds = PV_ASSET_DIR "/../tests/fuzz/tune-corpus/";
  const struct {
    std::string file;
    const char* reason;
  } refused[] = {
      {seeds + "bank-program-beyond-127", "track 1: a data byte 0xFF, not below 0x80"},
      {seeds + "sysex-past-its-track", "track 1: a sysex event runs past the end of its track"},
      {seeds + "division-zero", "its division is 0 ticks to the quarter note"},
      {seeds + "random-track-bytes", "track 1: it does not end with an End of Track event"},
      {seeds + "no-time", "it lasts no time: every event is on its first tick"},
      {seeds + "smpte-division", "its time is in SMPTE frames, which the game does not play"},
      {seeds + "format-2", "format 2, a set of separate songs, which the game does not play"},
      {seeds + "header-of-8-bytes", "its header is 8 bytes long, not 6"},
      {seeds + "thirty-three-tracks", "it has 33 tracks, more than the 32 the game plays"},
      {seeds + "data-before-status", "track 1: a data byte 0x3C with no running status in effect"},
      {seeds + "running-status-after-meta", "track 1: a data byte 0x3C with no running status in effect"},
      {seeds + "no-end-of-track", "track 1: it does not end with an End of Track event"},
      {seeds + "tempo-zero", "track 1: a tempo of 0"},
      {seeds + "long-delta-time", "track 1: a delta time is longer than 4 bytes"},
      {seeds + "system-common-in-track", "track 1: a status byte 0xF2, which no MIDI file holds"},
      {seeds + "too-long", "it lasts 6711 seconds, more than the 300 the game plays"},
      {seeds, "not a regular file"},
      {"fifo", "not a regular file"},  // opened without waiting for a writer
  };
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  for (const auto& c : refused) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(load_tune(c.file.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "plu-vesk: no music: \"" + c.file + "\" is not a tune that can be played (" + c.reason + ")\n");
  }
  EXPECT_FALSE(load_tune("missing.mid"));  // no tune, silently

  ASSERT_TRUE(load_tune(tune_path));
  EXPECT_TRUE(std::string((const char*)tune_bytes, tune_size) == read_file(tune_path));
  // A chunk other than a track, and what follows the last track, are left out.
  ASSERT_TRUE(load_tune((seeds + "foreign-chunk-between-tracks").c_str()));
  std::string file = read_file(seeds + "foreign-chunk-between-tracks");
  EXPECT_TRUE(std::string((const char*)tune_bytes, tune_size) == file.substr(0, 34) + file.substr(45, 20));
}
