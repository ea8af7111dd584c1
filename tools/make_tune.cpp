// make_tune: writes "sky.mid", the game's looping background tune, from the
// note tables below: a format-1 standard MIDI file with a conductor track and
// one track each for melody (flute), sparkle arpeggio (celesta), pad (strings),
// bass (fingered) and light drums (channel 10).
//
// The tune is 36 bars of 4/4 at 132 bpm (about 65 s) in F major, lifting to
// G major for its last statement and turning back to F in a four-bar tag, so
// that the game's looped playback runs on without a seam. Every track ends
// exactly on the last bar line with all its notes off.
//
// Rerun after changing the tables (output is byte-for-byte deterministic):
//   cmake --build build --target make_tune && build/tools/make_tune assets/sky.mid

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

const int ppq = 480;                // ticks per quarter note
const int step = ppq / 4;           // one sixteenth: the grid of every table
const int bar_ticks = 16 * step;
const int bpm = 132;

// Channels (0-based; 9 is General MIDI percussion) and their programs.
enum { MELODY_CH = 0, ARP_CH = 1, PAD_CH = 2, BASS_CH = 3, DRUM_CH = 9 };
const int flute = 73, celesta = 8, strings = 48, fingered_bass = 33;

// ---------------------------------------------------------------------------
// Melody phrases, one string per bar. A note is a name with optional # or b
// and an octave (C4 = middle C), then its length: s sixteenth, e eighth,
// q quarter, h half, w whole, a trailing '.' adds half again. "r" rests.

const char* const phrase_a1[4] = {  // the bounce: up a chord, hang, drop
    "re C5e F5e A5e C6q A5e F5e",
    "G5q. A5e E5q C5q",
    "D5e F5e Bb5e D6e C6q A5q",
    "G5q. A5e G5e E5e C5q",
};
const char* const phrase_a2[4] = {  // answer, home to the tonic
    "re C5e F5e A5e C6q D6e C6e",
    "A5q F5e A5e D6q. C6e",
    "Bb5e A5e G5e D5e E5e G5e Bb5e C6e",
    "A5q. G5e F5h",
};
const char* const phrase_a3[4] = {  // climbs higher, stops on the dominant
    "F5e A5e C6e D6e F6q D6q",
    "C6q. Bb5e A5q F5q",
    "G5e Bb5e D6e Bb5e A5e G5e F5e D5e",
    "F5q E5e D5e E5h",
};
const char* const phrase_b1[4] = {  // bridge: long floating notes
    "D6h. C6q",
    "Bb5q A5q G5h",
    "C6h E6q D6q",
    "C6q. A5e F5h",
};
const char* const phrase_b2[4] = {  // ...ending on D7 to lift the key a step
    "Bb5h. A5e Bb5e",
    "C6q. D6e E6q C6q",
    "D6q. C6e Bb5e A5e F5q",
    "D6q C6q A5q F#5q",
};
const char* const phrase_a4[4] = {  // last statement's peak (played a step up)
    "F5e A5e C6e D6e F6q. E6e",
    "D6q F6e D6e C6q A5q",
    "Bb5e C6e D6e Bb5e E6e C6e G5e Bb5e",
    "C6q. A5e F5h",
};
const char* const phrase_tag[4] = {  // back in F, settling; the loop's pickup follows
    "Bb5q. A5e G5q D5q",
    "C6q. Bb5e A5q E5q",
    "F5e A5e D6e C6e A5q F5q",
    "G5h E5q rq",
};

// Arpeggio patterns: one character per eighth, an index into the chord's
// tones counted upwards across octaves, '.' for silence.
const char* const arp_sparse = "0.2.3.2.";
const char* const arp_busy = "01232123";
const char* const arp_wide = "01234321";
const char* const arp_lift = "02132312";

// Bass patterns, one character per eighth: R root, F fifth, O octave,
// '-' holds the previous note, '.' rests. A chord change mid-bar always
// starts on its root.
const char* const bass_bounce = "R--RF-O-";
const char* const bass_float = "R-----F-";
const char* const bass_drive = "R-.RF-OF";

// Drum patterns, one character per sixteenth per instrument: x hit, X accent.
struct drum_pattern {
  const char* kick;   // 36 bass drum
  const char* stick;  // 37 side stick
  const char* hat;    // 42 closed hi-hat
};
const drum_pattern drums_light = {
    "x.......x.......",
    "....x.......x...",
    "..x...x...x...x.",
};
const drum_pattern drums_full = {
    "x.....x.x.......",
    "....x.......x...",
    "X.x.X.x.X.x.X.x.",
};
const drum_pattern drums_soft = {
    "x...............",
    "................",
    "....x.......x...",
};

// The song, four bars a row. Chords are written in F; `lift` transposes the
// whole row (melody, chords and all) by semitones.
struct row {
  const char* const* melody;
  const char* chords;  // bars split by '|', up to two chords per bar
  int lift;
  const char* arp;
  const char* bass;
  const drum_pattern* drums;
};
const row song[] = {
    // A
    {phrase_a1, "F | Am7 | Bbmaj7 | C7", 0, arp_sparse, bass_bounce, &drums_light},
    {phrase_a2, "F | Dm7 | Gm7 C7 | F", 0, arp_sparse, bass_bounce, &drums_light},
    // A'
    {phrase_a1, "F | Am7 | Bbmaj7 | C7", 0, arp_busy, bass_bounce, &drums_full},
    {phrase_a3, "Dm7 | Bbmaj7 | Gm7 | C7sus4 C7", 0, arp_busy, bass_bounce, &drums_full},
    // B
    {phrase_b1, "Bbmaj7 | C | Am7 | Dm7", 0, arp_wide, bass_float, &drums_soft},
    {phrase_b2, "Gm7 | Am7 | Bbmaj7 | D7", 0, arp_wide, bass_float, &drums_soft},
    // A'' in G
    {phrase_a1, "F | Am7 | Bbmaj7 | C7", 2, arp_lift, bass_drive, &drums_full},
    {phrase_a4, "Dm7 | Bbmaj7 | Gm7 C7 | F", 2, arp_lift, bass_drive, &drums_full},
    // tag, back to F for the loop
    {phrase_tag, "Gm7 | Am7 | Bbmaj7 | C7sus4 C7", 0, arp_sparse, bass_bounce, &drums_light},
};
const int rows = sizeof song / sizeof song[0];
const int song_ticks = rows * 4 * bar_ticks;

// Chord qualities as semitones above the root.
struct quality {
  const char* suffix;
  int tones[4];
  int count;
};
const quality qualities[] = {
    {"maj7", {0, 4, 7, 11}, 4}, {"7sus4", {0, 5, 7, 10}, 4}, {"sus4", {0, 5, 7, 0}, 3},
    {"m7", {0, 3, 7, 10}, 4},   {"m", {0, 3, 7, 0}, 3},      {"7", {0, 4, 7, 10}, 4},
    {"", {0, 4, 7, 0}, 3},
};

// ---------------------------------------------------------------------------

[[noreturn]] void fail(const char* what, const char* where) {
  fprintf(stderr, "make_tune: %s in \"%s\"\n", what, where);
  exit(1);
}

// Reads a note letter with accidentals at *s; returns its pitch class.
int read_pitch_class(const char*& s, const char* where) {
  static const int base[7] = {9, 11, 0, 2, 4, 5, 7};  // A..G
  if (*s < 'A' || *s > 'G') fail("bad note name", where);
  int pc = base[*s++ - 'A'];
  for (;; s++) {
    if (*s == '#') pc++;
    else if (*s == 'b') pc--;
    else break;
  }
  return (pc + 12) % 12;
}

struct chord {
  int root;  // pitch class
  const quality* q;
};

chord read_chord(const std::string& name, int lift) {
  const char* s = name.c_str();
  chord c;
  c.root = (read_pitch_class(s, name.c_str()) + lift) % 12;
  c.q = nullptr;
  for (const quality& q : qualities)
    if (strcmp(s, q.suffix) == 0) c.q = &q;
  if (!c.q) fail("unknown chord quality", name.c_str());
  return c;
}

// The chords of one bar of a row: one or two, each held for the bar or half.
std::vector<chord> bar_chords(const row& r, int bar) {
  std::string text = r.chords;
  size_t start = 0;
  for (int i = 0; i < bar; i++) {
    start = text.find('|', start);
    if (start == std::string::npos) fail("too few bars", r.chords);
    start++;
  }
  size_t end = text.find('|', start);
  std::string cell = text.substr(start, end == std::string::npos ? end : end - start);
  std::vector<chord> out;
  size_t p = 0;
  while ((p = cell.find_first_not_of(' ', p)) != std::string::npos) {
    size_t q = cell.find(' ', p);
    out.push_back(read_chord(cell.substr(p, q == std::string::npos ? q : q - p), r.lift));
    p = q;
  }
  if (out.empty() || out.size() > 2) fail("need one or two chords a bar", r.chords);
  return out;
}

const chord& chord_at(const std::vector<chord>& cs, int step_in_bar) {
  return cs[cs.size() == 2 && step_in_bar >= 8 ? 1 : 0];
}

// The key of pitch class pc in the octave [low, low + 12).
int place(int pc, int low) { return low + (pc - low % 12 + 12) % 12; }

// The chord's tones sorted upwards, each put in the octave [low, low + 12).
std::vector<int> voicing(const chord& c, int low) {
  std::vector<int> v;
  for (int i = 0; i < c.q->count; i++) v.push_back(place((c.root + c.q->tones[i]) % 12, low));
  std::sort(v.begin(), v.end());
  return v;
}

// ---------------------------------------------------------------------------
// A track is a list of timed events, sorted and delta-coded when written.

struct event {
  int tick;
  int order;  // at one tick: set-up first, then note-offs, then note-ons
  int seq;    // insertion order, to keep the sort stable and the output fixed
  std::vector<unsigned char> bytes;
};

struct track {
  std::vector<event> events;
};

void add(track& t, int tick, int order, std::vector<unsigned char> bytes) {
  t.events.push_back({tick, order, (int)t.events.size(), std::move(bytes)});
}

void note(track& t, int ch, int key, int vel, int start, int len) {
  if (key < 0 || key > 127 || len <= 0) fail("note out of range", "note");
  vel = std::min(127, std::max(1, vel));
  add(t, start, 2, {(unsigned char)(0x90 | ch), (unsigned char)key, (unsigned char)vel});
  add(t, start + len, 1, {(unsigned char)(0x80 | ch), (unsigned char)key, 64});
}

void meta_text(track& t, int type, const char* text) {
  std::vector<unsigned char> b = {0xFF, (unsigned char)type, (unsigned char)strlen(text)};
  b.insert(b.end(), text, text + strlen(text));
  add(t, 0, 0, b);
}

// Track name, program and mixer settings for one instrument channel.
void setup(track& t, const char* name, int ch, int program, int volume, int pan, int reverb) {
  meta_text(t, 0x03, name);
  unsigned char cc = (unsigned char)(0xB0 | ch);
  add(t, 0, 0, {cc, 7, (unsigned char)volume});
  add(t, 0, 0, {cc, 10, (unsigned char)pan});
  add(t, 0, 0, {cc, 91, (unsigned char)reverb});
  if (ch != DRUM_CH) add(t, 0, 0, {(unsigned char)(0xC0 | ch), (unsigned char)program});
}

void put_vlq(std::vector<unsigned char>& out, unsigned v) {
  unsigned char buf[5];
  int n = 0;
  do {
    buf[n++] = v & 0x7F;
    v >>= 7;
  } while (v);
  while (n > 1) out.push_back(buf[--n] | 0x80);
  out.push_back(buf[0]);
}

void put_be(std::vector<unsigned char>& out, unsigned v, int bytes) {
  for (int i = bytes - 1; i >= 0; i--) out.push_back((v >> (8 * i)) & 0xFF);
}

// The track chunk, its End of Track set on the song's last bar line.
std::vector<unsigned char> track_chunk(track& t) {
  std::sort(t.events.begin(), t.events.end(), [](const event& a, const event& b) {
    if (a.tick != b.tick) return a.tick < b.tick;
    if (a.order != b.order) return a.order < b.order;
    return a.seq < b.seq;
  });
  std::vector<unsigned char> body;
  int now = 0;
  for (const event& e : t.events) {
    if (e.tick > song_ticks) fail("event past the loop point", "track");
    put_vlq(body, e.tick - now);
    body.insert(body.end(), e.bytes.begin(), e.bytes.end());
    now = e.tick;
  }
  put_vlq(body, song_ticks - now);
  body.insert(body.end(), {0xFF, 0x2F, 0x00});
  std::vector<unsigned char> chunk = {'M', 'T', 'r', 'k'};
  put_be(chunk, body.size(), 4);
  chunk.insert(chunk.end(), body.begin(), body.end());
  return chunk;
}

// ---------------------------------------------------------------------------
// The parts.

int length_steps(const char*& s, const char* where) {
  int n;
  switch (*s++) {
    case 's': n = 1; break;
    case 'e': n = 2; break;
    case 'q': n = 4; break;
    case 'h': n = 8; break;
    case 'w': n = 16; break;
    default: fail("bad note length", where);
  }
  if (*s == '.') {
    n += n / 2;
    s++;
  }
  return n;
}

// Accent by position: downbeat, mid-bar, other beats, off-beats.
int accent(int step_in_bar) {
  if (step_in_bar == 0) return 6;
  if (step_in_bar == 8) return 3;
  if (step_in_bar % 4 == 0) return 0;
  return -4;
}

void write_melody(track& t, const row& r, int first_bar) {
  for (int b = 0; b < 4; b++) {
    const char* bar_text = r.melody[b];
    const char* s = bar_text;
    int pos = 0;  // in steps within the bar
    while (*s) {
      if (*s == ' ') {
        s++;
        continue;
      }
      bool rest = *s == 'r';
      int key = 0;
      if (rest) {
        s++;
      } else {
        int pc = read_pitch_class(s, bar_text);
        if (*s < '0' || *s > '9') fail("missing octave", bar_text);
        key = 12 * (*s++ - '0' + 1) + pc + r.lift;
      }
      int len = length_steps(s, bar_text);
      if (!rest) {
        // Short notes are detached so the line bounces; long ones breathe a little.
        int ticks = len * step - (len <= 2 ? 50 : 30);
        note(t, MELODY_CH, key, 80 + accent(pos), (first_bar + b) * bar_ticks + pos * step, ticks);
      }
      pos += len;
    }
    if (pos != 16) fail("melody bar is not four beats", bar_text);
  }
}

void write_harmony(track& arp, track& pad, track& bass, const row& r, int first_bar) {
  for (int b = 0; b < 4; b++) {
    int bar_start = (first_bar + b) * bar_ticks;
    std::vector<chord> cs = bar_chords(r, b);

    // Pad: the chord held in a fixed window, which keeps the voices close.
    for (size_t i = 0; i < cs.size(); i++) {
      int len = bar_ticks / (int)cs.size();
      for (int key : voicing(cs[i], 52)) note(pad, PAD_CH, key, 54, bar_start + (int)i * len, len);
    }

    // Arpeggio above the pad, below most of the melody.
    for (int e = 0; e < 8; e++) {
      char c = r.arp[e];
      if (c == '.') continue;
      std::vector<int> v = voicing(chord_at(cs, e * 2), 64);
      int idx = c - '0';
      int key = v[idx % v.size()] + 12 * (idx / (int)v.size());
      note(arp, ARP_CH, key, 58 + accent(e * 2) / 2, bar_start + e * 2 * step, 2 * step - 20);
    }

    // Bass.
    int key = -1, start = 0, vel = 0;
    for (int e = 0; e <= 8; e++) {
      char c = e < 8 ? r.bass[e] : '.';
      if (e == 4 && cs.size() == 2 && c != '.') c = 'R';
      if (c == '-') continue;
      if (key >= 0) note(bass, BASS_CH, key, vel, start, bar_start + e * 2 * step - start - 20);
      key = -1;
      if (c == '.') continue;
      key = place(chord_at(cs, e * 2).root, 35) + (c == 'F' ? 7 : c == 'O' ? 12 : 0);
      start = bar_start + e * 2 * step;
      vel = 74 + accent(e * 2);
    }
  }
}

void write_drums(track& t, const row& r, int first_bar) {
  struct voice {
    const char* pattern;
    int key, vel;
  };
  const voice voices[] = {
      {r.drums->kick, 36, 68}, {r.drums->stick, 37, 56}, {r.drums->hat, 42, 50}};
  for (int b = 0; b < 4; b++)
    for (const voice& v : voices)
      for (int i = 0; i < 16; i++) {
        char c = v.pattern[i];
        if (c == '.') continue;
        note(t, DRUM_CH, v.key, v.vel + (c == 'X' ? 10 : 0), (first_bar + b) * bar_ticks + i * step,
             step / 2);
      }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_tune <out.mid>\n");
    return 2;
  }

  track conductor, melody, arp, pad, bass, drums;
  meta_text(conductor, 0x03, "Plu Vesk: sky");
  add(conductor, 0, 0, {0xFF, 0x58, 4, 4, 2, 24, 8});  // 4/4
  unsigned us = 60000000 / bpm;
  add(conductor, 0, 0, {0xFF, 0x51, 3, (unsigned char)(us >> 16), (unsigned char)(us >> 8), (unsigned char)us});

  setup(melody, "Melody", MELODY_CH, flute, 100, 64, 50);
  setup(arp, "Sparkle", ARP_CH, celesta, 84, 84, 60);
  setup(pad, "Pad", PAD_CH, strings, 80, 44, 60);
  setup(bass, "Bass", BASS_CH, fingered_bass, 100, 64, 20);
  setup(drums, "Drums", DRUM_CH, 0, 100, 64, 30);

  for (int i = 0; i < rows; i++) {
    write_melody(melody, song[i], 4 * i);
    write_harmony(arp, pad, bass, song[i], 4 * i);
    write_drums(drums, song[i], 4 * i);
  }

  track* tracks[] = {&conductor, &melody, &arp, &pad, &bass, &drums};
  std::vector<unsigned char> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1};
  put_be(file, sizeof tracks / sizeof tracks[0], 2);
  put_be(file, ppq, 2);
  for (track* t : tracks) {
    std::vector<unsigned char> chunk = track_chunk(*t);
    file.insert(file.end(), chunk.begin(), chunk.end());
  }

  FILE* f = fopen(argv[1], "wb");
  if (!f || fwrite(file.data(), 1, file.size(), f) != file.size() || fclose(f) != 0) {
    fprintf(stderr, "make_tune: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
