// The MIDI byte stream Allegro's player sends a raw driver, turned back into
// channel messages: running status, system messages and realtime bytes. And
// the instruments a track of a MIDI file plays.
#pragma once

// One channel message, status byte with its channel and up to two data bytes.
struct midi_event {
  unsigned char status;
  unsigned char data1;
  unsigned char data2;
};

extern unsigned char midi_status;     // running status, 0 when there is none
extern int midi_needed;               // data bytes the current message takes
extern int midi_count;                // data bytes of it received so far
extern unsigned char midi_data[2];    // those data bytes

// Forgets any partial message and the running status.
void midi_parser_reset();
// Data bytes after a status byte: channel messages by their high nibble,
// system common messages by the whole byte (a system exclusive's run to F7
// counts as none).
int midi_data_length(unsigned char status);
// Takes one byte of the stream; true when it completes a channel message,
// which is then in *out. System messages are consumed and never reported.
bool midi_parse_byte(unsigned char byte, midi_event* out);

// A variable-length number of a MIDI file at d[p], 7 bits a byte, most
// significant first; p moves past it, never beyond end.
unsigned long midi_varlen(const unsigned char* d, int& p, int end);

const int midi_presets = 129 * 128;  // banks 0 to 128 (percussion, as FluidSynth has it) of 128 programs

// Marks in used[bank * 128 + program] every instrument one track of a MIDI
// file selects or plays a note on; the percussion channel is bank 128. It
// stops at the first event a MIDI file may not hold, whatever the bytes.
void midi_track_presets(const unsigned char* data, int length, bool used[midi_presets]);
