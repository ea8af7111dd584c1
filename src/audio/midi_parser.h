// What the game reads of a MIDI file's tracks: message lengths, variable-
// length numbers, and the instruments a track plays.
#pragma once

// Data bytes after a channel message's status byte (0x80 to 0xEF).
int midi_data_length(unsigned char status);

// A variable-length number of a MIDI file at d[p], 7 bits a byte, most
// significant first; p moves past it, never beyond end.
unsigned long midi_varlen(const unsigned char* d, int& p, int end);

const int midi_presets = 129 * 128;  // banks 0 to 128 (percussion, as FluidSynth has it) of 128 programs

// Marks in used[bank * 128 + program] every instrument one track of a MIDI
// file selects or plays a note on; the percussion channel is bank 128. It
// stops at the first event a MIDI file may not hold, whatever the bytes.
void midi_track_presets(const unsigned char* data, int length, bool used[midi_presets]);
