#include "audio/midi_parser.h"

unsigned char midi_status;
int midi_needed;
int midi_count;
unsigned char midi_data[2];

void midi_parser_reset() {
  midi_status = 0;
  midi_needed = 0;
  midi_count = 0;
}

int midi_data_length(unsigned char status) {
  switch (status & 0xF0) {
    case 0xC0:
    case 0xD0: return 1;
    case 0xF0: break;
    default: return 2;
  }
  switch (status) {
    case 0xF1:
    case 0xF3: return 1;
    case 0xF2: return 2;
    default: return 0;  // F0 runs to F7 and is skipped byte by byte
  }
}

bool midi_parse_byte(unsigned char byte, midi_event* out) {
  if (byte >= 0xF8) return false;  // realtime: may come anywhere, changes nothing
  if (byte & 0x80) {
    midi_count = 0;
    midi_needed = midi_data_length(byte);
    // System messages cancel running status; F7 ends a system exclusive.
    midi_status = byte >= 0xF4 ? 0 : byte;
    return false;
  }
  if (!midi_status || midi_status == 0xF0) return false;  // stray data, or inside a sysex
  midi_data[midi_count++] = byte;
  if (midi_count < midi_needed) return false;
  midi_count = 0;
  if (midi_status >= 0xF0) {  // system common: no running status after it
    midi_status = 0;
    return false;
  }
  out->status = midi_status;
  out->data1 = midi_data[0];
  out->data2 = midi_needed == 2 ? midi_data[1] : 0;
  return true;
}

unsigned long midi_varlen(const unsigned char* d, int& p, int end) {
  unsigned long v = 0;
  while (p < end) {
    unsigned char b = d[p++];
    v = (v << 7) | (b & 0x7F);
    if (!(b & 0x80)) break;
  }
  return v;
}

void midi_track_presets(const unsigned char* d, int end, bool used[midi_presets]) {
  int bank[16] = {0}, program[16] = {0};
  unsigned char status = 0;
  int p = 0;
  while (d && p < end) {
    midi_varlen(d, p, end);  // the delta time
    if (p < end && (d[p] & 0x80)) status = d[p++];
    if (status == 0xFF || status == 0xF0 || status == 0xF7) {
      if (status == 0xFF) p++;  // the meta event's type
      unsigned long skip = midi_varlen(d, p, end);
      p = skip > (unsigned long)(end - p) ? end : p + (int)skip;
      status = 0;
      continue;
    }
    if (status < 0x80 || status > 0xEF) return;  // not a file this reads
    int channel = status & 0x0F, kind = status & 0xF0;
    int length = midi_data_length(status);
    if (p + length > end) return;
    int data1 = d[p], data2 = length == 2 ? d[p + 1] : 0;
    // Data bytes are below 0x80, which keeps bank * 128 + program inside used[].
    if ((data1 | data2) & 0x80) return;
    p += length;
    if (kind == 0xB0 && data1 == 0) bank[channel] = data2;
    if (kind == 0xC0) program[channel] = data1;
    if (kind == 0xC0 || (kind == 0x90 && data2 > 0))
      used[(channel == 9 ? 128 : bank[channel]) * 128 + program[channel]] = true;
  }
}
