#include "audio/tune_file.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "core/asset_file.h"

unsigned char* tune_bytes;
long tune_size;
double tune_seconds;
char tune_problem[160];

// The tempo changes of the tune being checked, from every track: the tick
// and microseconds to the quarter note.
static std::vector<std::pair<unsigned long long, unsigned long>> tempos;

// Meta events whose data a player reads, and the length each must have.
static const struct {
  unsigned char type;
  unsigned long length;
} meta_lengths[] = {
    {0x2F, 0},  // End of Track
    {0x51, 3},  // tempo: three bytes, whatever the length says
    {0x58, 4},  // time signature
    {0x59, 2},  // key signature
};

static const char* const too_long = "is longer than 4 bytes";

static bool refuse(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(tune_problem, sizeof tune_problem, format, args);
  va_end(args);
  return false;
}

static unsigned long big_endian(const unsigned char* d, int n) {
  unsigned long v = 0;
  for (int i = 0; i < n; i++) v = (v << 8) | d[i];
  return v;
}

// A variable-length number at d[p]; null, or what is wrong with it. The
// standard allows four bytes at most.
static const char* varlen(const unsigned char* d, long& p, long end, unsigned long& v) {
  v = 0;
  for (int i = 0; i < 4; i++) {
    if (p >= end) return "runs past the end of its track";
    v = (v << 7) | (d[p] & 0x7F);
    if (!(d[p++] & 0x80)) return nullptr;
  }
  return too_long;
}

static long data_at;  // where the data of the event skip_data skipped begins

// A meta or system exclusive event's length and data, from d[p] on.
static bool skip_data(int track, const char* what, const unsigned char* d, long& p, long end) {
  unsigned long length;
  const char* wrong = varlen(d, p, end, length);
  if (wrong == too_long) return refuse("track %d: the length of a %s %s", track, what, wrong);
  if (wrong || length > (unsigned long)(end - p))
    return refuse("track %d: a %s runs past the end of its track", track, what);
  data_at = p;
  p += length;
  return true;
}

// Every event of one track. Sets *ticks to the track's length in ticks.
static bool check_track(int track, const unsigned char* d, long end, unsigned long long* ticks) {
  unsigned char status = 0;  // running status, 0 when none is in effect
  *ticks = 0;
  long p = 0;
  for (;;) {
    unsigned long delta;
    const char* wrong = p < end ? varlen(d, p, end, delta) : "";
    if (wrong == too_long) return refuse("track %d: a delta time %s", track, wrong);
    if (wrong || p >= end) return refuse("track %d: it does not end with an End of Track event", track);
    *ticks += delta;
    unsigned char b = d[p];
    if (b == 0xFF) {
      if (++p >= end) return refuse("track %d: a meta event runs past the end of its track", track);
      unsigned char type = d[p++];
      if (type & 0x80) return refuse("track %d: a meta event type 0x%02X, not below 0x80", track, type);
      if (!skip_data(track, "meta event", d, p, end)) return false;
      long length = p - data_at;
      for (const auto& m : meta_lengths)
        if (m.type == type && (unsigned long)length != m.length)
          return refuse("track %d: a meta event 0x%02X of %ld bytes, not %lu", track, type, length, m.length);
      // Everything after it would play in no time.
      if (type == 0x51 && big_endian(d + data_at, 3) == 0) return refuse("track %d: a tempo of 0", track);
      if (type == 0x51) tempos.push_back({*ticks, big_endian(d + data_at, 3)});
      if (type == 0x2F) {
        if (p != end) return refuse("track %d: bytes after its End of Track", track);
        return true;
      }
      status = 0;  // meta and system exclusive events end running status
      continue;
    }
    if (b == 0xF0 || b == 0xF7) {
      p++;
      if (!skip_data(track, "sysex event", d, p, end)) return false;
      status = 0;
      continue;
    }
    if (b > 0xF0) return refuse("track %d: a status byte 0x%02X, which no MIDI file holds", track, b);
    if (b & 0x80) {
      status = b;
      p++;
    } else if (!status) {
      return refuse("track %d: a data byte 0x%02X with no running status in effect", track, b);
    }
    int length = midi_data_length(status);
    if (length > end - p) return refuse("track %d: a channel message runs past the end of its track", track);
    for (int i = 0; i < length; i++)
      if (d[p + i] & 0x80) return refuse("track %d: a data byte 0x%02X, not below 0x80", track, d[p + i]);
    p += length;
  }
}

bool check_tune(unsigned char* d, long* size) {
  if (*size < 14 || memcmp(d, "MThd", 4) != 0) return refuse("it does not begin with a MIDI header");
  unsigned long header = big_endian(d + 4, 4);
  unsigned format = big_endian(d + 8, 2), tracks = big_endian(d + 10, 2), division = big_endian(d + 12, 2);
  if (header != 6) return refuse("its header is %lu bytes long, not 6", header);
  if (format > 2) return refuse("format %u, which is no MIDI file format", format);
  if (format == 2) return refuse("format 2, a set of separate songs, which the game does not play");
  if (tracks == 0) return refuse("it has no tracks");
  if (tracks > tune_max_tracks) return refuse("it has %u tracks, more than the %u the game plays", tracks, tune_max_tracks);
  // FluidSynth's player times ticks to the quarter note only.
  if (division & 0x8000) return refuse("its time is in SMPTE frames, which the game does not play");
  if (division == 0) return refuse("its division is 0 ticks to the quarter note");

  long at = 14, kept = 14;
  unsigned long long longest = 0;
  tempos.clear();
  for (unsigned track = 1; track <= tracks;) {
    if (*size - at < 8) return refuse("it ends before its track %u", track);
    unsigned long length = big_endian(d + at + 4, 4);
    bool is_track = memcmp(d + at, "MTrk", 4) == 0;
    if (length > (unsigned long)(*size - at - 8))
      return is_track ? refuse("track %u runs past the end of the file", track)
                      : refuse("a chunk runs past the end of the file");
    // Only tracks are played: other chunks are left out.
    if (is_track) {
      unsigned long long ticks;
      if (!check_track(track, d + at + 8, length, &ticks)) return false;
      if (ticks > longest) longest = ticks;
      memmove(d + kept, d + at, 8 + length);
      kept += 8 + length;
      track++;
    }
    at += 8 + length;
  }
  // Such a tune has no loop to play.
  if (longest == 0) return refuse("it lasts no time: every event is on its first tick");
  // 120 beats a minute until the first tempo change; a later track's change
  // on the same tick wins, as in the player.
  std::stable_sort(tempos.begin(), tempos.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  double seconds = 0, tempo = 500000;
  unsigned long long from = 0;
  for (const auto& [tick, us] : tempos) {
    if (tick >= longest) break;
    seconds += double(tick - from) * tempo / division / 1e6;
    from = tick;
    tempo = us;
  }
  seconds += double(longest - from) * tempo / division / 1e6;
  if (seconds > tune_max_seconds)
    return refuse("it lasts %.0f seconds, more than the %.0f the game plays", seconds, tune_max_seconds);
  tune_seconds = seconds;
  *size = kept;
  return true;
}

bool load_tune(const char* name) {
  free(tune_bytes);
  tune_bytes = nullptr;
  tune_size = 0;
  long size = 0;
  const char* why = nullptr;
  unsigned char* bytes = read_asset(name, &size, &why);
  if (!bytes && !why) return false;  // no tune: the game plays silent
  if (bytes && !check_tune(bytes, &size)) why = tune_problem;
  if (why) {
    fprintf(stderr, "plu-vesk: no music: \"%s\" is not a tune that can be played (%s)\n", name, why);
    free(bytes);
    return false;
  }
  tune_bytes = bytes;
  tune_size = size;
  return true;
}

void tune_presets(bool used[midi_presets]) {
  for (long at = 14; at + 8 <= tune_size; at += 8 + long(big_endian(tune_bytes + at + 4, 4)))
    midi_track_presets(tune_bytes + at + 8, int(big_endian(tune_bytes + at + 4, 4)), used);
}
