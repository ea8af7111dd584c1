// The tune file, read once and checked whole before Allegro or FluidSynth
// sees a byte of it: Allegro's loader and player trust every length, count
// and data byte a MIDI file holds, so a crafted one could crash the game.
#pragma once

#include <allegro.h>

extern unsigned char* tune_bytes;  // the checked tune: its header and tracks, null when none
extern long tune_size;             // the length of tune_bytes
extern char tune_problem[160];     // what check_tune last found wrong

// Checks a standard MIDI file in bytes[0, *size): the header, every chunk
// and every event of every track, as Allegro's loader and player need them.
// Chunks other than tracks are dropped and anything after the last track is
// left out: the tune then is bytes[0, *size). False when it cannot be
// played, with tune_problem saying why.
bool check_tune(unsigned char* bytes, long* size);

// Reads and checks the tune, keeps the checked bytes in tune_bytes, and has
// Allegro load the tune from them. Null when the file is missing, or, said in
// one line on stderr, when it is not a tune that can be played.
MIDI* load_tune(const char* name);
