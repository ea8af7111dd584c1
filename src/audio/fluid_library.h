// FluidSynth, opened at run time: a machine without it plays silent instead
// of not starting. It is loaded for a render of the tune and unloaded after
// it, with the libraries it brought in, since what plays is the render.
#pragma once

#include <fluidsynth.h>

// FluidSynth's entry points, looked up in the library. The types come from
// its header, so a changed signature fails to compile here.
struct fluid_api {
  decltype(&new_fluid_settings) new_settings;
  decltype(&delete_fluid_settings) delete_settings;
  decltype(&fluid_settings_setstr) settings_setstr;
  decltype(&fluid_settings_setnum) settings_setnum;
  decltype(&fluid_settings_setint) settings_setint;
  decltype(&fluid_set_log_function) set_log_function;
  decltype(&fluid_is_soundfont) is_soundfont;
  decltype(&new_fluid_synth) new_synth;
  decltype(&delete_fluid_synth) delete_synth;
  decltype(&fluid_synth_sfload) sfload;
  decltype(&new_fluid_defsfloader) new_defsfloader;
  decltype(&fluid_sfloader_set_callbacks) sfloader_set_callbacks;
  decltype(&fluid_synth_add_sfloader) add_sfloader;
  decltype(&fluid_synth_write_float) write_float;
  decltype(&fluid_synth_cc) cc;
  decltype(&fluid_synth_handle_midi_event) handle_midi_event;
  decltype(&fluid_midi_event_get_type) event_type;
  decltype(&fluid_midi_event_get_channel) event_channel;
  decltype(&fluid_midi_event_get_control) event_control;
  decltype(&fluid_midi_event_get_value) event_value;
  decltype(&new_fluid_player) new_player;
  decltype(&delete_fluid_player) delete_player;
  decltype(&fluid_player_set_playback_callback) set_playback_callback;
  decltype(&fluid_player_add_mem) add_mem;
  decltype(&fluid_player_play) play;
  decltype(&fluid_synth_pin_preset) pin_preset;  // null before FluidSynth 2.2
};

extern fluid_api fluid;  // every entry point, or all null while the library is not loaded

// Loads the library and quiets its log; false where it is not installed.
bool load_fluid_library();
// Once nothing of FluidSynth is in use any more, on any thread.
void unload_fluid_library();
