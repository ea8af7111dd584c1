// The tune file, read once and checked whole before FluidSynth sees a byte
// of it: a crafted MIDI file must not reach a parser that trusts its lengths
// and counts, nor ask for a render without end.
#pragma once

#include "audio/midi_parser.h"

const unsigned tune_max_tracks = 32;    // tracks a tune may have
const double tune_max_seconds = 300;    // the longest tune: its render is held in memory whole

extern unsigned char* tune_bytes;  // the checked tune: its header and tracks, null when none
extern long tune_size;             // the length of tune_bytes
extern double tune_seconds;        // how long the checked tune lasts, to its last End of Track
extern char tune_problem[160];     // what check_tune last found wrong

// Checks a standard MIDI file in bytes[0, *size): the header, every chunk
// and every event of every track, and how long it lasts. Chunks other than
// tracks are dropped and anything after the last track is left out: the
// tune then is bytes[0, *size), lasting tune_seconds. False when it cannot
// be played, with tune_problem saying why.
bool check_tune(unsigned char* bytes, long* size);

// Reads and checks the tune and keeps the checked bytes in tune_bytes. False
// when the file is missing, or, said in one line on stderr, when it is not a
// tune that can be played.
bool load_tune(const char* name);

// Marks in used[] every instrument the checked tune plays.
void tune_presets(bool used[midi_presets]);
