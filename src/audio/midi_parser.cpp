#include "audio/midi_parser.h"

int midi_data_length(unsigned char status) {
  int kind = status & 0xF0;
  return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
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
