// The platform's MIDI output device: an Allegro MIDI driver that plays the
// player's raw bytes on FluidSynth with a General MIDI SoundFont. The library
// is opened at run time, so a machine without it runs silent instead of not
// starting at all.
#pragma once

#include <allegro.h>
#include <atomic>
#include <fluidsynth.h>

#include "audio/midi_parser.h"

// Why start-up found no music; music_problem holds the whole sentence.
const int MUSIC_OK = 0;
const int MUSIC_NO_LIBRARY = 1;
const int MUSIC_NO_SOUNDFONT = 2;
const int MUSIC_NO_AUDIO = 3;

extern const char* const soundfont_variable;  // "PLU_VESK_SOUNDFONT"
extern MIDI_DRIVER music_driver;      // our driver as Allegro sees it
extern fluid_settings_t* music_settings;  // FluidSynth settings, null when closed
extern fluid_synth_t* music_synth;    // the synthesizer, null when closed
extern fluid_audio_driver_t* music_audio;  // audio output, null when closed or rendering by hand
extern std::atomic<bool> music_ready;  // the synth is open and takes the tune's bytes
extern std::atomic<bool> music_stop_load;  // set, the SoundFont's next read fails: a load no longer wanted
extern char soundfont_file[1024];     // the SoundFont chosen by the last music_open
extern char music_problem[512];       // why there is no music, empty when there is

// Plays one channel message on the synthesizer.
void midi_apply(fluid_synth_t* synth, const midi_event* event);

// Loads FluidSynth, the SoundFont (with the samples of the tune's
// instruments, when given one) and, when audio_output is true, opens the
// desktop's audio output. Returns MUSIC_OK or the reason it failed, with
// music_problem set and everything opened closed again. May run on a thread
// of its own while nothing plays; fails early once music_stop_load is set.
int music_open(bool audio_output, const MIDI* tune = NULL);
void music_close();
// Renders frames of interleaved 16-bit stereo synchronously; for a synth
// opened without audio output.
void music_render(short* samples, int frames);

// Allegro's methods of music_driver.
int music_detect(int input);
int music_init(int input, int voices);
void music_exit(int input);
void music_raw_midi(int data);

// Names the music's stream in the desktop's mixer "Plu Vesk", as a game's,
// through the environment: call it before any other thread runs.
void name_music_stream();
// Routes FluidSynth's and alsa-lib's messages away from stderr.
void quiet_sound_libraries();
// Puts music_driver first in Allegro's list, so MIDI_AUTODETECT picks it.
// Call after install_allegro and before install_sound.
void register_music_driver();
