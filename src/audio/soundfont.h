// The General MIDI SoundFont the tune is rendered with: which one (the
// player's choice, the system's default, the usual files by name), and
// reading it through a reader of the game's own, so that a render no longer
// wanted stops at its next read of the disk.
#pragma once

#include <atomic>

#include "audio/fluid_library.h"

extern const char* const soundfont_variable;  // "PLU_VESK_SOUNDFONT"
extern const char* const soundfont_default;   // the system's default General MIDI SoundFont
extern char soundfont_file[1024];  // the SoundFont the last choose_soundfont picked, "" for none

// Picks the SoundFont into soundfont_file; false when there is none to try.
bool choose_soundfont();
// Loads soundfont_file into the synthesizer through the game's reader, which
// fails at its next read once *stop is set. The SoundFont's id, or FLUID_FAILED.
int load_soundfont(fluid_synth_t* synth, fluid_settings_t* settings, const std::atomic<bool>* stop);
